#include "lists/file_io.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#if defined(__linux__)
#include <sys/xattr.h>
#elif defined(__FreeBSD__)
#include <sys/acl.h>
#endif

#include <algorithm>
#include <cerrno>
#include <ctime>
#include <deque>

namespace {

using Clock = std::chrono::steady_clock;

constexpr int maxLinkHops = 40;

constexpr char lockedTemporarySuffix[] = ".saving";

// Directories are opened only to look up names in them.
#if defined(O_PATH)
constexpr int searchOnly = O_PATH;
#elif defined(O_SEARCH)
constexpr int searchOnly = O_SEARCH;
#else
constexpr int searchOnly = O_RDONLY;
#endif

std::deque<std::string> componentsOf(const std::string& path) {
    std::deque<std::string> components;
    for (std::size_t start = 0; start <= path.size();) {
        const std::size_t slash = std::min(path.find('/', start), path.size());
        components.emplace_back(path, start, slash - start);
        start = slash + 1;
    }
    return components;
}

bool readLinkAt(int directory, const std::string& name, std::string& target) {
    char buffer[4096];
    const ssize_t length = readlinkat(directory, name.c_str(), buffer, sizeof buffer);
    if (length < 0 || static_cast<std::size_t>(length) == sizeof buffer) {
        return false;
    }
    target.assign(buffer, static_cast<std::size_t>(length));
    return true;
}

// A sticky, world-writable directory (/tmp) lets anyone plant names in it: there only
// what we or the directory's owner own is trusted.
bool trusted(int directory, uid_t owner) {
    struct stat status {};
    if (fstat(directory, &status) != 0) {
        return false;
    }
    const bool shared = (status.st_mode & S_ISVTX) != 0 && (status.st_mode & S_IWOTH) != 0;
    return !shared || owner == geteuid() || owner == status.st_uid;
}

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

// An existing file keeps its permission bits and, where we may, its owner; else its group
// where we are a member of it, so that a history shared by a group stays shared.
void copyOwnership(int descriptor, int original) {
    struct stat status {};
    if (fstat(original, &status) != 0) {
        return;
    }
    if (fchown(descriptor, status.st_uid, status.st_gid) != 0 &&
        fchown(descriptor, static_cast<uid_t>(-1), status.st_gid) != 0) {
        // Neither: the file is ours alone, as any new file.
    }
    fchmod(descriptor, status.st_mode & 07777);  // after fchown, which may clear bits
}

// The access ACL, after the mode, whose group bits it may narrow: false when the file has
// one that could not be copied, so that the new file would widen or narrow access.
#if defined(__linux__)
bool copyAccessAcl(int from, int to) {
    constexpr char name[] = "system.posix_acl_access";
    const ssize_t size = fgetxattr(from, name, nullptr, 0);
    if (size < 0) {
        return errno == ENODATA || errno == ENOTSUP || errno == EOPNOTSUPP;
    }
    std::string value(static_cast<std::size_t>(size), '\0');
    const ssize_t got = fgetxattr(from, name, value.data(), value.size());
    return got >= 0 && fsetxattr(to, name, value.data(), static_cast<std::size_t>(got), 0) == 0;
}
#elif defined(__FreeBSD__)
bool copyAccessAcl(int from, int to) {
    for (const acl_type_t type : {ACL_TYPE_NFS4, ACL_TYPE_ACCESS}) {
        acl_t acl = acl_get_fd_np(from, type);
        if (acl == nullptr) {
            continue;  // not this kind of ACL on this file system
        }
        int trivial = 0;
        const bool copied = (acl_is_trivial_np(acl, &trivial) == 0 && trivial != 0) ||
                            acl_set_fd_np(to, acl, type) == 0;
        acl_free(acl);
        return copied;
    }
    return true;
}
#else
bool copyAccessAcl(int, int) { return true; }  // no ACL this code knows of
#endif

enum class ReplaceResult { Done, WriteFailed, CannotReplace };

// Under the lock one fixed name, so that a save killed part-way leaves at most one file,
// which the next save removes; failing that, a name of its own. Either way the file is
// new: a leftover that is a hard link to another file, or another user's, is never
// written into.
int createTemporary(const ResolvedPath& file, std::string& name) {
    const int directory = file.directory();
    const int flags = O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW;
    name = file.name() + lockedTemporarySuffix;
    unlinkat(directory, name.c_str(), 0);
    int descriptor = openat(directory, name.c_str(), flags, 0600);
    for (int attempt = 0; descriptor < 0 && errno == EEXIST && attempt < 100; ++attempt) {
        timespec now{};
        clock_gettime(CLOCK_REALTIME, &now);
        name = file.name() + "." + std::to_string(getpid()) + "." + std::to_string(now.tv_nsec);
        descriptor = openat(directory, name.c_str(), flags, 0600);
    }
    return descriptor;
}

// New content goes to a temporary file beside the target, renamed over it once complete.
ReplaceResult replaceWith(const ResolvedPath& file, const std::string& content, int locked) {
    std::string temporary;
    const int descriptor = createTemporary(file, temporary);
    if (descriptor < 0) {
        return ReplaceResult::CannotReplace;
    }
    copyOwnership(descriptor, locked);
    const auto drop = [&](ReplaceResult result) {
        unlinkat(file.directory(), temporary.c_str(), 0);
        return result;
    };
    if (!copyAccessAcl(locked, descriptor)) {
        close(descriptor);
        return drop(ReplaceResult::CannotReplace);
    }
    const bool written = writeAll(descriptor, content) && fsync(descriptor) == 0;
    if (close(descriptor) != 0 || !written) {
        return drop(ReplaceResult::WriteFailed);
    }
    if (renameat(file.directory(), temporary.c_str(), file.directory(), file.name().c_str()) != 0) {
        return drop(ReplaceResult::CannotReplace);
    }
    return ReplaceResult::Done;
}

// Where no file can be made beside the target: write only from the first byte that
// changes, usually just the new line; if that fails part-way, put the old bytes back and
// cut the file to its old length, so it is as it was.
void rewriteInPlace(const ResolvedPath& file, const std::string& old, const std::string& content) {
    const int descriptor = file.open(O_WRONLY | O_NONBLOCK);
    if (descriptor < 0) {
        return;
    }
    const auto same = static_cast<std::size_t>(
        std::mismatch(old.begin(), old.end(), content.begin(), content.end()).first - old.begin());
    // Replaced, or appended to without the lock, since we read it: left alone.
    if (isRegularFile(descriptor) && sizeOf(descriptor) == old.size()) {
        const auto put = [&](const std::string& bytes) {
            return writeAll(descriptor, bytes, same) &&
                   ftruncate(descriptor, static_cast<off_t>(bytes.size())) == 0;
        };
        if (put(content) || put(old)) {
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
void carryOverLateAppends(int locked, std::size_t readLength, const ResolvedPath& file) {
    const std::size_t length = sizeOf(locked);
    std::string late;
    if (length > readLength && readAt(locked, readLength, length - readLength, late) &&
        !late.empty()) {
        appendToFile(file, late);
    }
}

}  // namespace

ResolvedPath::ResolvedPath(const std::string& path) {
    std::deque<std::string> rest = componentsOf(path);
    directory_ = ::open(path.starts_with('/') ? "/" : ".", searchOnly | O_DIRECTORY | O_CLOEXEC);
    int hops = 0;
    while (directory_ >= 0 && !rest.empty() && name_.empty() && resolveNext(rest, hops)) {
    }
    if (name_.empty() && directory_ >= 0) {
        close(directory_);
        directory_ = -1;
    }
}

// Takes the next component: a directory to step into, a link to follow, or the file's
// name (which need not exist yet). False where resolving cannot go on.
bool ResolvedPath::resolveNext(std::deque<std::string>& rest, int& hops) {
    const std::string component = std::move(rest.front());
    rest.pop_front();
    if (component.empty() || component == ".") {
        return true;
    }
    struct stat status {};
    if (fstatat(directory_, component.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0) {
        if (errno == ENOENT && rest.empty()) {
            name_ = component;  // a file yet to be made
        }
        return false;
    }
    if (!S_ISLNK(status.st_mode)) {
        if (rest.empty()) {
            name_ = component;
            return true;
        }
        return stepInto(component);
    }
    std::string target;
    if (++hops > maxLinkHops || !trusted(directory_, status.st_uid) ||
        !readLinkAt(directory_, component, target)) {
        return false;
    }
    const auto more = componentsOf(target);
    rest.insert(rest.begin(), more.begin(), more.end());
    return !target.starts_with('/') || stepInto("/");
}

ResolvedPath::~ResolvedPath() {
    if (directory_ >= 0) {
        close(directory_);
    }
}

// Into a subdirectory of the current one, or to the root for "/"; never through a link.
bool ResolvedPath::stepInto(const std::string& component) {
    const int next = component == "/" ? ::open("/", searchOnly | O_DIRECTORY | O_CLOEXEC)
                                      : openat(directory_, component.c_str(),
                                               searchOnly | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (next < 0) {
        return false;
    }
    close(directory_);
    directory_ = next;
    return true;
}

int ResolvedPath::open(int flags, mode_t mode) const {
    if (!ok()) {
        errno = ENOENT;
        return -1;
    }
    const int descriptor = openat(directory_, name_.c_str(), flags | O_NOFOLLOW | O_CLOEXEC, mode);
    struct stat status {};
    if (descriptor >= 0 && fstat(descriptor, &status) == 0 && S_ISREG(status.st_mode) &&
        !trusted(directory_, status.st_uid)) {
        close(descriptor);
        errno = EACCES;
        return -1;
    }
    return descriptor;
}

bool ResolvedPath::status(struct stat& result) const {
    return ok() && fstatat(directory_, name_.c_str(), &result, AT_SYMLINK_NOFOLLOW) == 0;
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
            pread(descriptor, piece.data(), piece.size(), static_cast<off_t>(offset));
        if (count > 0) {
            take(piece.data(), static_cast<std::size_t>(count));
            offset += static_cast<std::size_t>(count);
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

void replaceContent(const ResolvedPath& file, const std::string& old, const std::string& content,
                    int locked) {
    const FileSizeSignalIgnored sizeLimitIsAnError;
    switch (replaceWith(file, content, locked)) {
    case ReplaceResult::Done: carryOverLateAppends(locked, old.size(), file); break;
    case ReplaceResult::CannotReplace: rewriteInPlace(file, old, content); break;
    case ReplaceResult::WriteFailed: break;
    }
}
