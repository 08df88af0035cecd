#pragma once

#include <chrono>
#include <functional>
#include <string>

// How reading a whole file went.
enum class ReadResult { Ok, Missing, Unreadable };

// Reads the whole file into content with plain read(2) calls. Anything but a regular file
// (a FIFO, a device, a directory) is Unreadable, found so without blocking. On Unreadable,
// content holds whatever was read before the error.
ReadResult readWholeFile(const std::string& path, std::string& content);

bool isRegularFile(int descriptor);

// Reads the whole of an open file from its current offset; false on a read error.
bool readAll(int descriptor, std::string& content);

// Reads an open file from its current offset to its end, handing each piece to take,
// without holding the whole file at once; false on a read error.
bool readPieces(int descriptor, const std::function<void(const char*, std::size_t)>& take);

// length bytes from offset on (fewer at the end of the file); false on a read error.
bool readAt(int descriptor, std::size_t offset, std::size_t length, std::string& bytes);

// Writes data from index from on, at the same offset in the file, retrying short writes.
bool writeAll(int descriptor, const std::string& data, std::size_t from = 0);

// The file a chain of symbolic links ends at, existing or not, so that a link stays one
// when its target is replaced.
std::string resolveLinks(std::string path);

// True when path names a regular file or nothing at all: only such a file is replaced.
bool isMissingOrRegular(const std::string& path);

// Appends data to the regular file at path (made 0600 when missing) and syncs it. A
// write that fails part-way is left as it is: without the lock nothing is cut back.
void appendToFile(const std::string& path, const std::string& data);

// Appends data through the locked descriptor of a file length bytes long, and syncs it.
// A write that fails part-way (a full disk, a file-size limit) is cut back to length.
void appendUnderLock(int descriptor, std::size_t length, const std::string& data);

// Gives the regular file at target, whose content is old (or which is missing), the new
// content: written to a new file beside it, which keeps target's mode and, where we may,
// its owner or else its group, and renamed over it; where no file can be made or renamed
// beside it, rewritten in place, and put back as it was when that fails part-way. A
// failed write leaves the old content. locked is target's FileLock descriptor: under it
// one fixed temporary name serves, and what savers without the lock appended to it
// meanwhile is carried over to the new file.
void replaceContent(const std::string& target, const std::string& old, const std::string& content,
                    int locked);

// An exclusive flock on the file a path names, made empty (0600) when missing, waited for
// at most timeout. Held only when the path still names the locked file, since another
// holder may have renamed a new file over it meanwhile. Closing releases it. The file is
// open for reading and appending.
class FileLock {
public:
    FileLock(const std::string& path, std::chrono::milliseconds timeout);
    ~FileLock();
    FileLock(const FileLock&) = delete;
    FileLock& operator=(const FileLock&) = delete;

    // False when the wait ran out, the file system refuses flock, or the path names
    // something that is not a regular file.
    bool held() const { return held_; }
    int descriptor() const { return descriptor_; }

private:
    int descriptor_ = -1;
    bool held_ = false;
};
