#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "helper/helper.h"

// The commands run before, from $HOME/.pellacorvine.history, oldest first. The file is
// read once: in a helper process after startLoad, or else at the first Up or Down.
class History {
public:
    History();

    // Reads the file in a helper process, which closes xDescriptor first, so that a dead
    // HOME holds neither the keyboard nor the keys. No process to be had: no entries.
    void startLoad(int xDescriptor = -1);
    // Takes in what the read has sent so far; true when Up and Down would not wait for it.
    bool ready();
    // Readable while the read has more to send; -1 when no read is under way.
    int readyDescriptor() const { return loading.descriptor(); }
    // Ends a read still under way; Up and Down then find nothing.
    void stopLoad() { loading.stop(); }

    std::string previous();
    std::string next();
    // Records command in the file; reports nothing, never loses what the file held.
    void save(const std::string& command);

private:
    void awaitLoad();
    void takeContent(std::string read);
    std::string entry(std::int64_t index) const;

    std::string path;
    HelperOutput loading;
    bool loadStarted = false;
    bool loaded = false;
    // The file as read, and where each of its non-empty lines begins: one buffer and an
    // offset per entry, however long the history.
    std::string content;
    std::vector<std::size_t> starts;
    std::int64_t current = -1;
};

// The file's content split at line feeds, empty pieces dropped.
std::vector<std::string> splitHistory(const std::string& content);

// Every entry with its line feed, then command unless it repeats the last entry.
std::string serializeHistory(const std::vector<std::string>& entries, const std::string& command);
