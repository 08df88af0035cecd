#pragma once

#include <sys/types.h>

#include <cstddef>
#include <future>
#include <string>
#include <vector>

// The sorted index of the executables in the colon-separated directory list.
std::vector<std::string> scanPath(const std::string& searchPath, uid_t user, gid_t group);

// Sorted names of the executables found through PATH, with cycling prefix completion.
// The directories are read once: on a thread of their own after startScan, or else at
// the first call that needs the index.
class Completion {
public:
    using Scanner = std::vector<std::string> (*)(const std::string&, uid_t, gid_t);

    Completion();
    ~Completion();
    Completion(const Completion&) = delete;
    Completion& operator=(const Completion&) = delete;

    // Reads the PATH directories beside the caller; the index is handed over when done.
    // A scan that throws (out of memory, say) hands over an empty index.
    void startScan(Scanner scan = scanPath);
    // True when complete would not wait for the scan.
    bool ready() const;
    // Readable once the scan has handed the index over; -1 when no scan runs beside us.
    int readyDescriptor() const { return indexReady; }
    // The next name in the cycle that starts with the prefix, or text when none matches.
    // Waits for the whole index, so the result never depends on how far the scan got.
    std::string complete(const std::string& text);
    // Ends the cycle; the next complete starts again from its text.
    void reset();

    const std::vector<std::string>& index();

private:
    void awaitIndex();
    bool findMatch(std::size_t from, std::string& match);

    std::string searchPath;
    uid_t user;
    gid_t group;
    std::future<std::vector<std::string>> pendingScan;
    int indexReady = -1;
    bool indexed = false;
    std::string prefix;
    std::vector<std::string> entries;
    std::size_t current = 0;
};
