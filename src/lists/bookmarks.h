#pragma once

// The bookmarks: single keys bound to one-word commands.
#include <map>
#include <string>

#include "helper/helper.h"

// Single keys bound to one-word commands, from $HOME/.pellacorvine.bookmarks. The file is
// read once: in a helper process after startLoad, or else at the first lookup.
class Bookmarks {
public:
    Bookmarks();

    // Reads the file in a helper process, so that a dead HOME holds neither the keyboard
    // nor the keys. No process to be had: no bindings.
    void startLoad();
    // Takes in what the read has sent so far; true when lookup would not wait for it.
    bool ready();
    // Readable while the read has more to send; -1 when no read is under way.
    int readyDescriptor() const { return loading.helper().descriptor(); }
    // Ends a read still under way; lookup then finds nothing.
    void stopLoad() { loading.helper().stop(); }

    // The command bound to key, or the empty string.
    std::string lookup(char key);

private:
    std::string path;
    LoadOnce loading;
    std::map<char, std::string> commands;
};

// Binds each key byte to the word after it; the last binding of a key wins.
std::map<char, std::string> parseBookmarks(const std::string& content);
