#pragma once

#include <chrono>
#include <string>

// How reading a whole file went.
enum class ReadResult { Ok, Missing, Unreadable };

// Reads the whole file into content with plain read(2) calls. Anything but a regular file
// (a FIFO, a device, a directory) is Unreadable, found so without blocking. On Unreadable,
// content holds whatever was read before the error.
ReadResult readWholeFile(const std::string& path, std::string& content);

bool isRegularFile(int descriptor);

// Writes data from index from on, at the same offset in the file, retrying short writes.
bool writeAll(int descriptor, const std::string& data, std::size_t from = 0);

// An exclusive flock on the file a path names, made empty (0600) when missing, waited for
// at most timeout. Held only when the path still names the locked file, since another
// holder may have renamed a new file over it meanwhile. Closing releases it.
class FileLock {
public:
    FileLock(const std::string& path, std::chrono::milliseconds timeout);
    ~FileLock();
    FileLock(const FileLock&) = delete;
    FileLock& operator=(const FileLock&) = delete;

    // False when the wait ran out, the file system refuses flock, or the path names
    // something that is not a regular file.
    bool held() const { return held_; }

private:
    int descriptor_ = -1;
    bool held_ = false;
};
