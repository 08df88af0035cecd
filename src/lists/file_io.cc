#include "lists/file_io.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <ctime>

namespace {

// Reads until end of file or until content is full; false on a read error.
bool readInto(int descriptor, std::string& content, std::size_t& have) {
    while (have < content.size()) {
        const ssize_t count = read(descriptor, content.data() + have, content.size() - have);
        if (count > 0) {
            have += static_cast<std::size_t>(count);
        } else if (count == 0) {
            return true;
        } else if (errno != EINTR) {
            return false;
        }
    }
    return true;
}

using Clock = std::chrono::steady_clock;

// Polled rather than blocked on, so that a holder that never lets go costs a bounded wait.
bool waitForLock(int descriptor, Clock::time_point deadline) {
    const timespec pause{0, 1000000};
    while (flock(descriptor, LOCK_EX | LOCK_NB) != 0) {
        if ((errno != EWOULDBLOCK && errno != EINTR) || Clock::now() >= deadline) {
            return false;
        }
        nanosleep(&pause, nullptr);
    }
    return true;
}

std::size_t sizeOf(int descriptor) {
    struct stat status {};
    return fstat(descriptor, &status) == 0 ? static_cast<std::size_t>(status.st_size) : 0;
}

// Hands writeSome(bytes, length, offset) the rest of data from index from on until all is
// written, retrying short writes and interruptions; false on an error.
template <typename WriteSome>
bool writeRest(const std::string& data, std::size_t from, WriteSome writeSome) {
    for (std::size_t written = from; written < data.size();) {
        const ssize_t count = writeSome(data.data() + written, data.size() - written, written);
        if (count < 0 && errno == EINTR) {
            continue;
        }
        if (count <= 0) {
            return false;
        }
        written += static_cast<std::size_t>(count);
    }
    return true;
}

// With write(2): on a descriptor opened O_APPEND each write lands at the end.
bool appendAll(int descriptor, const std::string& data) {
    return writeRest(data, 0, [descriptor](const char* bytes, std::size_t length, std::size_t) {
        return write(descriptor, bytes, length);
    });
}

bool namesSameFile(const std::string& path, int descriptor) {
    struct stat named {};
    struct stat open {};
    return lstat(path.c_str(), &named) == 0 && fstat(descriptor, &open) == 0 &&
           named.st_dev == open.st_dev && named.st_ino == open.st_ino;
}

constexpr int maxLinkHops = 40;

constexpr char lockedTemporarySuffix[] = ".saving";

std::string directoryOf(const std::string& path) {
    const auto slash = path.rfind('/');
    return slash == std::string::npos ? "." : path.substr(0, slash);
}

bool readLink(const std::string& path, std::string& target) {
    char buffer[4096];
    const ssize_t length = readlink(path.c_str(), buffer, sizeof buffer);
    if (length < 0 || static_cast<std::size_t>(length) == sizeof buffer) {
        return false;
    }
    target.assign(buffer, static_cast<std::size_t>(length));
    return true;
}

// An existing file keeps its permission bits and, where we may, its owner; else its group
// where we are a member of it, so that a history shared by a group stays shared.
void copyOwnership(int descriptor, const std::string& original) {
    struct stat status {};
    if (stat(original.c_str(), &status) != 0) {
        return;
    }
    if (fchown(descriptor, status.st_uid, status.st_gid) != 0 &&
        fchown(descriptor, static_cast<uid_t>(-1), status.st_gid) != 0) {
        // Neither: the file is ours alone, as any new file.
    }
    fchmod(descriptor, status.st_mode & 07777);  // after fchown, which may clear bits
}

enum class ReplaceResult { Done, WriteFailed, CannotReplace };

// Under the lock one fixed name, so that a save killed part-way leaves at most one file,
// which the next save removes; failing that, a name of its own. Either way the file is
// new: a leftover that is a hard link to another file, or another user's, is never
// written into.
int createTemporary(const std::string& target, std::string& name) {
    name = target + lockedTemporarySuffix;
    unlink(name.c_str());
    const int descriptor =
        open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (descriptor >= 0) {
        return descriptor;
    }
    name = target + ".XXXXXX";
    return mkostemp(name.data(), O_CLOEXEC);
}

// New content goes to a temporary file beside the target, renamed over it once complete.
ReplaceResult replaceWith(const std::string& target, const std::string& content) {
    std::string temporary;
    const int descriptor = createTemporary(target, temporary);
    if (descriptor < 0) {
        return ReplaceResult::CannotReplace;
    }
    copyOwnership(descriptor, target);
    const bool written = writeAll(descriptor, content) && fsync(descriptor) == 0;
    if (close(descriptor) != 0 || !written) {
        unlink(temporary.c_str());
        return ReplaceResult::WriteFailed;
    }
    if (rename(temporary.c_str(), target.c_str()) != 0) {
        unlink(temporary.c_str());
        return ReplaceResult::CannotReplace;
    }
    return ReplaceResult::Done;
}

// Where no file can be made beside the target: write only from the first byte that
// changes, usually just the new line; if that fails part-way, put the old bytes back and
// cut the file to its old length, so it is as it was.
void rewriteInPlace(const std::string& target, const std::string& old, const std::string& content) {
    const int descriptor =
        open(target.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0600);
    if (descriptor < 0) {
        return;
    }
    const auto same = static_cast<std::size_t>(
        std::mismatch(old.begin(), old.end(), content.begin(), content.end()).first - old.begin());
    if (!isRegularFile(descriptor) || sizeOf(descriptor) != old.size()) {
        // replaced, or appended to without the lock, since we read it: leave it
    } else if (writeAll(descriptor, content, same) &&
               ftruncate(descriptor, static_cast<off_t>(content.size())) == 0) {
        fsync(descriptor);
    } else {
        writeAll(descriptor, old, same);
        if (ftruncate(descriptor, static_cast<off_t>(old.size())) == 0) {
            fsync(descriptor);
        }
    }
    close(descriptor);
}

// Over a file-size limit a write must fail with EFBIG rather than kill the launcher
// before it launches; the old disposition is back before anything is started.
class FileSizeSignalIgnored {
public:
    FileSizeSignalIgnored() {
        struct sigaction ignore {};
        ignore.sa_handler = SIG_IGN;
        sigemptyset(&ignore.sa_mask);
        sigaction(SIGXFSZ, &ignore, &previous_);
    }
    ~FileSizeSignalIgnored() { sigaction(SIGXFSZ, &previous_, nullptr); }
    FileSizeSignalIgnored(const FileSizeSignalIgnored&) = delete;
    FileSizeSignalIgnored& operator=(const FileSizeSignalIgnored&) = delete;

private:
    struct sigaction previous_ {};
};

// Savers that found the lock taken for too long append without it. Whatever they added to
// the file we replaced, after we read it, goes on at the end of the new one.
void carryOverLateAppends(int locked, std::size_t readLength, const std::string& target) {
    const std::size_t length = sizeOf(locked);
    if (length <= readLength) {
        return;
    }
    std::string late(length - readLength, '\0');
    const ssize_t count = pread(locked, late.data(), late.size(), static_cast<off_t>(readLength));
    if (count > 0) {
        late.resize(static_cast<std::size_t>(count));
        appendToFile(target, late);
    }
}

}  // namespace

bool isRegularFile(int descriptor) {
    struct stat status {};
    return fstat(descriptor, &status) == 0 && S_ISREG(status.st_mode);
}

FileLock::FileLock(const std::string& path, std::chrono::milliseconds timeout) {
    // One deadline for the whole wait, the rechecks after each swapped file included.
    const auto deadline = Clock::now() + timeout;
    do {
        descriptor_ = open(path.c_str(),
                           O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0600);
        if (descriptor_ < 0 || !isRegularFile(descriptor_) || !waitForLock(descriptor_, deadline)) {
            return;
        }
        if (namesSameFile(path, descriptor_)) {
            held_ = true;
            return;
        }
        close(descriptor_);
        descriptor_ = -1;
    } while (Clock::now() < deadline);
}

FileLock::~FileLock() {
    if (descriptor_ >= 0) {
        close(descriptor_);
    }
}

ReadResult readWholeFile(const std::string& path, std::string& content) {
    content.clear();
    // O_NONBLOCK: opening a FIFO must not wait for a writer that never comes.
    const int descriptor = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (descriptor < 0) {
        return errno == ENOENT ? ReadResult::Missing : ReadResult::Unreadable;
    }
    const bool ok = isRegularFile(descriptor) && readAll(descriptor, content);
    close(descriptor);
    return ok ? ReadResult::Ok : ReadResult::Unreadable;
}

bool writeAll(int descriptor, const std::string& data, std::size_t from) {
    return writeRest(data, from,
                     [descriptor](const char* bytes, std::size_t length, std::size_t offset) {
                         return pwrite(descriptor, bytes, length, static_cast<off_t>(offset));
                     });
}

// The file a chain of symbolic links ends at, existing or not, so that the link survives.
std::string resolveLinks(std::string path) {
    std::string target;
    for (int hop = 0; hop < maxLinkHops && readLink(path, target); ++hop) {
        if (!target.starts_with('/')) {
            target.insert(0, directoryOf(path) + '/');
        }
        path = target;
    }
    return path;
}

// Only a regular file is replaced or rewritten, or a missing one made: a link to
// /dev/null, a FIFO or a device stays exactly as it is.
bool isMissingOrRegular(const std::string& path) {
    struct stat status {};
    return lstat(path.c_str(), &status) == 0 ? S_ISREG(status.st_mode) : errno == ENOENT;
}

// One read of the size fstat gives, straight into the string; then more reads only for a
// file that grew meanwhile.
bool readAll(int descriptor, std::string& content) {
    content.assign(sizeOf(descriptor) + 1, '\0');
    std::size_t have = 0;
    bool ok = readInto(descriptor, content, have);
    while (ok && have == content.size()) {
        content.resize(content.size() * 2);
        ok = readInto(descriptor, content, have);
    }
    content.resize(have);
    return ok;
}

bool readPieces(int descriptor, const std::function<void(const char*, std::size_t)>& take) {
    std::string piece(std::size_t{256} * 1024, '\0');
    for (;;) {
        const ssize_t count = read(descriptor, piece.data(), piece.size());
        if (count > 0) {
            take(piece.data(), static_cast<std::size_t>(count));
        } else if (count == 0) {
            return true;
        } else if (errno != EINTR) {
            return false;
        }
    }
}

bool readAt(int descriptor, std::size_t offset, std::size_t length, std::string& bytes) {
    bytes.assign(length, '\0');
    std::size_t have = 0;
    while (have < length) {
        const ssize_t count = pread(descriptor, bytes.data() + have, length - have,
                                    static_cast<off_t>(offset + have));
        if (count == 0) {
            break;
        }
        if (count < 0 && errno != EINTR) {
            return false;
        }
        have += count > 0 ? static_cast<std::size_t>(count) : 0;
    }
    bytes.resize(have);
    return true;
}

void appendToFile(const std::string& path, const std::string& data) {
    const int descriptor = open(
        path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0600);
    if (descriptor < 0) {
        return;
    }
    const FileSizeSignalIgnored sizeLimitIsAnError;
    if (isRegularFile(descriptor) && appendAll(descriptor, data)) {
        fsync(descriptor);
    }
    close(descriptor);
}

void appendUnderLock(int descriptor, std::size_t length, const std::string& data) {
    if (data.empty()) {
        return;
    }
    const FileSizeSignalIgnored sizeLimitIsAnError;
    if (!appendAll(descriptor, data)) {
        static_cast<void>(ftruncate(descriptor, static_cast<off_t>(length)));
    }
    fsync(descriptor);
}

void replaceContent(const std::string& target, const std::string& old, const std::string& content,
                    int locked) {
    const FileSizeSignalIgnored sizeLimitIsAnError;
    switch (replaceWith(target, content)) {
    case ReplaceResult::Done: carryOverLateAppends(locked, old.size(), target); break;
    case ReplaceResult::CannotReplace: rewriteInPlace(target, old, content); break;
    case ReplaceResult::WriteFailed: break;
    }
}
