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

// The file a chain of symbolic links ends at, existing or not, so that a link stays one
// when its target is replaced.
std::string resolveLinks(std::string path);

// True when path names a regular file or nothing at all: only such a file is replaced.
bool isMissingOrRegular(const std::string& path);

// Gives the regular file at target, whose content is old (or which is missing), the new
// content: written to a new file beside it, which keeps target's mode and, where we may,
// its owner, and renamed over it; where no file can be made or renamed beside it,
// rewritten in place, and put back as it was when that fails part-way. A failed write
// (a full disk, a file-size limit) leaves the old content. locked: the caller holds
// target's FileLock, so one fixed temporary name serves.
void replaceContent(const std::string& target, const std::string& old, const std::string& content,
                    bool locked);

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
