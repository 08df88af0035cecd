#include "lists/file_io.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
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

bool namesSameFile(const std::string& path, int descriptor) {
    struct stat named {};
    struct stat open {};
    return lstat(path.c_str(), &named) == 0 && fstat(descriptor, &open) == 0 &&
           named.st_dev == open.st_dev && named.st_ino == open.st_ino;
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
        descriptor_ = open(path.c_str(), O_RDONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK,
                           0600);
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

// One read of the size fstat gives, straight into the string; then more reads only for a
// file that grew meanwhile.
ReadResult readWholeFile(const std::string& path, std::string& content) {
    content.clear();
    // O_NONBLOCK: opening a FIFO must not wait for a writer that never comes.
    const int descriptor = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (descriptor < 0) {
        return errno == ENOENT ? ReadResult::Missing : ReadResult::Unreadable;
    }
    struct stat status {};
    if (fstat(descriptor, &status) != 0 || !S_ISREG(status.st_mode)) {
        close(descriptor);
        return ReadResult::Unreadable;
    }
    content.resize(static_cast<std::size_t>(status.st_size) + 1);
    std::size_t have = 0;
    bool ok = readInto(descriptor, content, have);
    while (ok && have == content.size()) {
        content.resize(content.size() * 2);
        ok = readInto(descriptor, content, have);
    }
    content.resize(have);
    close(descriptor);
    return ok ? ReadResult::Ok : ReadResult::Unreadable;
}

bool writeAll(int descriptor, const std::string& data, std::size_t from) {
    std::size_t written = from;
    while (written < data.size()) {
        const ssize_t count = pwrite(descriptor, data.data() + written, data.size() - written,
                                     static_cast<off_t>(written));
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
