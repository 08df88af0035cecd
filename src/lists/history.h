#pragma once

#include <cstdint>
#include <string>
#include <vector>

// The commands run before, from $HOME/.pellacorvine.history, oldest first.
class History {
public:
    History();

    std::string previous();
    std::string next();
    // Rewrites the file with command appended; reports nothing, never loses the old content.
    void save(const std::string& command);

private:
    std::string path;
    std::vector<std::string> entries;
    std::int64_t current = -1;
};

// The file's content split at line feeds, empty pieces dropped.
std::vector<std::string> splitHistory(const std::string& content);

// Every entry with its line feed, then command unless it repeats the last entry.
std::string serializeHistory(const std::vector<std::string>& entries, const std::string& command);
