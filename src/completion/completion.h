#pragma once

// Tab completion: the executables found through PATH, and the cycle through those that match.
#include <sys/types.h>

#include <cstddef>
#include <string>
#include <vector>

#include "helper/helper.h"

// The sorted index of the executables in the colon-separated directory list.
std::vector<std::string> scanPath(const std::string& searchPath, uid_t user, gid_t group);

// Sorted names of the executables found through PATH, with cycling prefix completion.
// The directories are read once: in a helper process after startScan, or else at the
// first call that needs the index.
class Completion {
public:
    using Scanner = std::vector<std::string> (*)(const std::string&, uid_t, gid_t);

    Completion();

    // Reads the PATH directories in a helper process. A scan that fails (out of memory,
    // say), or no process to be had, gives no names.
    void startScan(Scanner scan = scanPath);
    // Takes in what the scan has sent so far; true when complete would not wait for it.
    bool ready();
    // Readable while the scan has more to send; -1 when no scan is under way.
    int readyDescriptor() const { return scan.helper().descriptor(); }
    // Ends a scan still under way; complete then finds nothing.
    void stopScan() { scan.helper().stop(); }
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
    LoadOnce scan;
    std::string prefix;
    std::vector<std::string> entries;
    std::size_t current = 0;
};
