#pragma once

// File work below the lists: reads, appends, the lock, and the rewrite of a history. Every
// open goes through a ResolvedPath.
#include <signal.h>
#include <sys/types.h>

#include <chrono>
#include <deque>
#include <functional>
#include <string>

#include "lists/resolved_path.h"

// How reading a whole file went.
enum class ReadResult { Ok, Missing, Unreadable };

// Reads the whole file into content with plain read(2) calls. Anything but a regular file
// (a FIFO, a device, a directory) is Unreadable, found so without blocking. On Unreadable,
// content holds whatever was read before the error.
ReadResult readWholeFile(const std::string& path, std::string& content);

bool isRegularFile(int descriptor);

// The open file's size; 0 when it cannot be told.
std::size_t sizeOf(int descriptor);

// Reads the whole of an open file from its current offset into content from index from
// on; false on a read error.
bool readAll(int descriptor, std::string& content, std::size_t from = 0);

// Reads an open file from offset to its end, handing each piece to take, without holding
// the whole file at once; false on a read error.
bool readPieces(int descriptor, std::size_t offset,
                const std::function<void(const char*, std::size_t)>& take);

// length bytes from offset on (fewer at the end of the file); false on a read error.
bool readAt(int descriptor, std::size_t offset, std::size_t length, std::string& bytes);

// Writes data from index from on, at the same offset in the file, retrying short writes.
bool writeAll(int descriptor, const std::string& data, std::size_t from = 0);

// True when file names a regular file or nothing at all: only such a file is replaced.
bool isMissingOrRegular(const ResolvedPath& file);

// Appends data to the regular file (made 0600 when missing) without the lock, and syncs
// it. A write that fails part-way is cut back while the file still ends with its bytes,
// so that no other saver's line is cut.
void appendToFile(const ResolvedPath& file, const std::string& data);

// Appends data through the locked descriptor of a file length bytes long, and syncs it.
// A write that fails part-way (a full disk, a file-size limit) is cut back to length.
void appendUnderLock(int descriptor, std::size_t length, const std::string& data);

// Gives the regular file, whose content is old, the new content: written to a new file
// beside it, which keeps the file's mode, its access ACL and, where we may, its owner or
// else its group, and renamed over it; where no such file can be made or renamed beside
// it (an ACL that cannot be copied, say), rewritten in place, and put back as it was when
// that fails part-way. A failed write leaves the old content. locked is the file's
// FileLock descriptor: what savers without the lock appended to it meanwhile is carried
// over to the new file.
void replaceContent(const ResolvedPath& file, const std::string& old, const std::string& content,
                    int locked);

// An exclusive flock on the file, made empty (0600) when missing, waited for at most
// timeout. Held only when the name still names the locked file, since another holder may
// have renamed a new file over it meanwhile. Closing releases it. The file is open for
// reading and appending.
class FileLock {
public:
    FileLock(const ResolvedPath& file, std::chrono::milliseconds timeout);
    ~FileLock();
    FileLock(const FileLock&) = delete;
    FileLock& operator=(const FileLock&) = delete;

    // False when the wait ran out, the file system refuses flock, or the name names
    // something that is not a regular file.
    bool held() const { return held_; }
    int descriptor() const { return descriptor_; }

private:
    int descriptor_ = -1;
    bool held_ = false;
};

// Over a file-size limit a write must fail with EFBIG rather than kill the launcher
// before it launches; the old disposition is back before anything is started.
class FileSizeSignalIgnored {
public:
    FileSizeSignalIgnored();
    ~FileSizeSignalIgnored();
    FileSizeSignalIgnored(const FileSizeSignalIgnored&) = delete;
    FileSizeSignalIgnored& operator=(const FileSizeSignalIgnored&) = delete;

private:
    struct sigaction previous_ {};
};
