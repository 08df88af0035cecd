#pragma once

// The history of commands run: its read, its recall and its save.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "helper/helper.h"

// When a file was last modified and changed, to the nanosecond the file system keeps.
struct FileStamps {
    std::int64_t modified[2] = {0, 0};  // seconds, nanoseconds
    std::int64_t changed[2] = {0, 0};
    bool operator==(const FileStamps&) const = default;
};

// What a save needs of the file it adds to, as a read of it saw it: the file, its stamps
// (trusted when they were older than the file system's clock can blur at the read), its
// length, whether its lines are separated by single line feeds with none first, its last
// byte, and the line before its end (the last entry, in that form).
struct FileEnd {
    bool identified = false;
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
    FileStamps stamps;
    bool stampsTrusted = false;
    std::size_t length = 0;
    bool inSavedForm = true;
    char last = 0;
    std::string lastEntry;
};

// The commands run before, from $HOME/.pellacorvine.history, oldest first. The file is
// read once: in a helper process after startLoad, or else at the first Up or Down.
class History {
public:
    History();

    // Reads the file in a helper process, so that a dead HOME holds neither the keyboard
    // nor the keys. No process to be had: no entries.
    void startLoad();
    // Takes in what the read has sent so far; true when Up and Down would not wait for it.
    bool ready();
    // Readable while the read has more to send; -1 when no read is under way.
    int readyDescriptor() const { return loading.helper().descriptor(); }
    // Ends a read still under way; Up and Down then find nothing.
    void stopLoad() { loading.helper().stop(); }

    std::string previous();
    std::string next();
    // Records command in the file; reports nothing, never loses what the file held.
    void save(const std::string& command);

private:
    void awaitLoad();
    void takeContent(std::string read);
    std::optional<FileEnd> seenByTheRead();
    std::string entry(std::int64_t index) const;

    std::string path;
    LoadOnce loading;
    // The read's summary and the file as read, and where each of its non-empty lines
    // begins: one buffer and an offset per entry, however long the history.
    std::optional<FileEnd> seen;
    std::string content;
    std::vector<std::size_t> starts;
    std::int64_t current = -1;
};

// The file at path as the key handling takes it: a summary of what a save needs, then
// the bytes, left mapped in place. A file that cannot be read gives a summary of no file.
HelperOutput::Reply mapHistoryFile(const std::string& path);
// The same, read here and now into one string.
std::string readHistoryFile(const std::string& path);

// Whether stamps taken now still tell every later write: a write within the clock tick
// of the last one can leave them as they were, so two ticks must have passed. Stamps with
// no nanoseconds come from a file system that keeps whole seconds, and blur over two.
bool stampsSettled(const FileStamps& stamps, std::int64_t nowSeconds, std::int64_t nowNanoseconds,
                   std::int64_t tick);

// The file's content split at line feeds, empty pieces dropped.
std::vector<std::string> splitHistory(const std::string& content);

// Every entry with its line feed, then command unless it repeats the last entry.
std::string serializeHistory(const std::vector<std::string>& entries, const std::string& command);
