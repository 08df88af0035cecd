// A history rewritten whole: a new file beside it, with the old one's mode, group and ACL,
// renamed into place; or, where that cannot be, the old file rewritten in place.
#include <fcntl.h>
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

#include "lists/file_io.h"

namespace {

constexpr char lockedTemporarySuffix[] = ".saving";

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

void replaceContent(const ResolvedPath& file, const std::string& old, const std::string& content,
                    int locked) {
    const FileSizeSignalIgnored sizeLimitIsAnError;
    switch (replaceWith(file, content, locked)) {
    case ReplaceResult::Done: carryOverLateAppends(locked, old.size(), file); break;
    case ReplaceResult::CannotReplace: rewriteInPlace(file, old, content); break;
    case ReplaceResult::WriteFailed: break;
    }
}
