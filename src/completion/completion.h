#pragma once

#include <sys/types.h>

#include <cstddef>
#include <string>
#include <vector>

// Sorted names of the executables found through PATH, with cycling prefix completion.
class Completion {
public:
    Completion();

    // The next name in the cycle that starts with the prefix, or text when none matches.
    std::string complete(const std::string& text);
    // Ends the cycle; the next complete starts again from its text.
    void reset();

    const std::vector<std::string>& index() const { return entries; }

private:
    void scanDirectory(const std::string& directory, uid_t user, gid_t group);
    bool findMatch(std::size_t from, std::string& match);

    std::string prefix;
    std::vector<std::string> entries;
    std::size_t current = 0;
};
