// The history's and the bookmarks' file work below the lists: whole reads, reads in
// pieces, appends with and without the lock, and the lock itself.
#include "lists/file_io.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <ctime>
#include <deque>

namespace {

using Clock = std::chrono::steady_clock;

// The one read loop: read(2), or pread(2) at offset where it is not negative, again after
// an interruption. The bytes read, 0 at the end of the file, -1 on an error.
ssize_t readSome(int descriptor, char* into, std::size_t length, off_t offset = -1) {
    for (;;) {
        const ssize_t count =
            offset < 0 ? read(descriptor, into, length) : pread(descriptor, into, length, offset);
        if (count >= 0 || errno != EINTR) {
            return count;
        }
    }
}

// Reads until end of file or until content is full; false on a read error.
bool readInto(int descriptor, std::string& content, std::size_t& have) {
    while (have < content.size()) {
        const ssize_t count = readSome(descriptor, content.data() + have, content.size() - have);
        if (count <= 0) {
            return count == 0;
        }
        have += static_cast<std::size_t>(count);
    }
    return true;
}

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

// Hands writeSome(bytes, length, offset) the rest of data from index written on until all
// is written, retrying short writes and interruptions; false on an error, with written
// telling how far it got.
template <typename WriteSome>
bool writeRest(const std::string& data, std::size_t& written, WriteSome writeSome) {
    while (written < data.size()) {
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
bool appendAll(int descriptor, const std::string& data, std::size_t& written) {
    return writeRest(data, written,
                     [descriptor](const char* bytes, std::size_t length, std::size_t) {
                         return write(descriptor, bytes, length);
                     });
}

bool namesSameFile(const ResolvedPath& file, int descriptor) {
    struct stat named {};
    struct stat open {};
    return file.status(named) && fstat(descriptor, &open) == 0 && named.st_dev == open.st_dev &&
           named.st_ino == open.st_ino;
}

// Cuts the file back by the written bytes of data, but only while it still ends with
// them: without the lock another saver may have appended since.
void cutBackOwnBytes(int descriptor, const std::string& data, std::size_t written) {
    const std::size_t size = sizeOf(descriptor);
    std::string end;
    if (written == 0 || size < written || !readAt(descriptor, size - written, written, end) ||
        end != data.substr(0, written)) {
        return;
    }
    if (ftruncate(descriptor, static_cast<off_t>(size - written)) == 0) {
        fsync(descriptor);
    }
}

}  // namespace

std::size_t sizeOf(int descriptor) {
    struct stat status {};
    return fstat(descriptor, &status) == 0 ? static_cast<std::size_t>(status.st_size) : 0;
}

bool isRegularFile(int descriptor) {
    struct stat status {};
    return fstat(descriptor, &status) == 0 && S_ISREG(status.st_mode);
}

FileLock::FileLock(const ResolvedPath& file, std::chrono::milliseconds timeout) {
    // One deadline for the whole wait, the rechecks after each swapped file included.
    const auto deadline = Clock::now() + timeout;
    do {
        descriptor_ = file.open(O_RDWR | O_APPEND | O_CREAT | O_NONBLOCK, 0600);
        if (descriptor_ < 0 || !isRegularFile(descriptor_) || !waitForLock(descriptor_, deadline)) {
            return;
        }
        if (namesSameFile(file, descriptor_)) {
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
    const int descriptor = ResolvedPath(path).open(O_RDONLY | O_NONBLOCK);
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

// Only a regular file is replaced or rewritten, or a missing one made: a link to
// /dev/null, a FIFO or a device stays exactly as it is.
bool isMissingOrRegular(const ResolvedPath& file) {
    struct stat status {};
    return file.status(status) ? S_ISREG(status.st_mode) : file.ok() && errno == ENOENT;
}

// One read of the size fstat gives, straight into the string; then more reads only for a
// file that grew meanwhile.
bool readAll(int descriptor, std::string& content, std::size_t from) {
    content.resize(from + sizeOf(descriptor) + 1);
    std::size_t have = from;
    bool ok = readInto(descriptor, content, have);
    while (ok && have == content.size()) {
        content.resize(content.size() * 2);
        ok = readInto(descriptor, content, have);
    }
    content.resize(have);
    return ok;
}

bool readPieces(int descriptor, std::size_t offset,
                const std::function<void(const char*, std::size_t)>& take) {
    std::string piece(std::size_t{256} * 1024, '\0');
    for (;;) {
        const ssize_t count =
            readSome(descriptor, piece.data(), piece.size(), static_cast<off_t>(offset));
        if (count <= 0) {
            return count == 0;
        }
        take(piece.data(), static_cast<std::size_t>(count));
        offset += static_cast<std::size_t>(count);
    }
}

bool readAt(int descriptor, std::size_t offset, std::size_t length, std::string& bytes) {
    bytes.assign(length, '\0');
    std::size_t have = 0;
    while (have < length) {
        const ssize_t count = readSome(descriptor, bytes.data() + have, length - have,
                                       static_cast<off_t>(offset + have));
        if (count < 0) {
            return false;
        }
        if (count == 0) {
            break;
        }
        have += static_cast<std::size_t>(count);
    }
    bytes.resize(have);
    return true;
}

void appendToFile(const ResolvedPath& file, const std::string& data) {
    const int descriptor = file.open(O_RDWR | O_APPEND | O_CREAT | O_NONBLOCK, 0600);
    if (descriptor < 0) {
        return;
    }
    const FileSizeSignalIgnored sizeLimitIsAnError;
    std::size_t written = 0;
    if (!isRegularFile(descriptor)) {
        // a FIFO or a device swapped in: nothing is written to it
    } else if (appendAll(descriptor, data, written)) {
        fsync(descriptor);
    } else {
        cutBackOwnBytes(descriptor, data, written);
    }
    close(descriptor);
}

void appendUnderLock(int descriptor, std::size_t length, const std::string& data) {
    if (data.empty()) {
        return;
    }
    const FileSizeSignalIgnored sizeLimitIsAnError;
    std::size_t written = 0;
    if (!appendAll(descriptor, data, written) &&
        ftruncate(descriptor, static_cast<off_t>(length)) != 0) {
        return;  // the cut failed too: nothing more can be done on this disk
    }
    fsync(descriptor);
}

FileSizeSignalIgnored::FileSizeSignalIgnored() {
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    sigaction(SIGXFSZ, &ignore, &previous_);
}

FileSizeSignalIgnored::~FileSizeSignalIgnored() { sigaction(SIGXFSZ, &previous_, nullptr); }
