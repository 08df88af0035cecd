#pragma once

#include <map>
#include <string>

// Single keys bound to one-word commands, from $HOME/.pellacorvine.bookmarks.
class Bookmarks {
public:
    Bookmarks();

    // The command bound to key, or the empty string.
    std::string lookup(char key) const;

private:
    std::string path;
    std::map<char, std::string> commands;
};

// Binds each key byte to the word after it; the last binding of a key wins.
std::map<char, std::string> parseBookmarks(const std::string& content);
