#include "lists/history.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>

#include "app/require_env.h"
#include "lists/file_io.h"

namespace {

constexpr int maxLinkHops = 40;

// A launcher whose save waits longer than this for another's goes on without the lock.
constexpr std::chrono::milliseconds lockTimeout{1000};
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

// An existing file keeps its permission bits and, where we may, its owner.
void copyOwnership(int descriptor, const std::string& original) {
    struct stat status {};
    if (stat(original.c_str(), &status) != 0) {
        return;
    }
    fchmod(descriptor, status.st_mode & 07777);
    if (status.st_uid != geteuid() || status.st_gid != getegid()) {
        if (fchown(descriptor, status.st_uid, status.st_gid) != 0) {
            // Only root may give a file away; keeping our ownership is fine.
        }
    }
}

enum class ReplaceResult { Done, WriteFailed, CannotReplace };

// Under the lock one fixed name, so that a save killed part-way leaves at most one file,
// which the next save removes; without the lock a name of its own. Either way the file
// is new: a leftover that is a hard link to another file, or another user's, is never
// written into.
int createTemporary(const std::string& target, bool locked, std::string& name) {
    if (locked) {
        name = target + lockedTemporarySuffix;
        unlink(name.c_str());
        const int descriptor =
            open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
        if (descriptor >= 0) {
            return descriptor;
        }
    }
    name = target + ".XXXXXX";
    return mkostemp(name.data(), O_CLOEXEC);
}

// New content goes to a temporary file beside the target, renamed over it once complete.
ReplaceResult replaceWith(const std::string& target, const std::string& content, bool locked) {
    std::string temporary;
    const int descriptor = createTemporary(target, locked, temporary);
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
    if (!isRegularFile(descriptor)) {
        // replaced by something else since we looked: leave it
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

// Only a regular file is replaced or rewritten, or a missing one made: a link to
// /dev/null, a FIFO or a device stays exactly as it is.
bool isMissingOrRegular(const std::string& path) {
    struct stat status {};
    return lstat(path.c_str(), &status) == 0 ? S_ISREG(status.st_mode) : errno == ENOENT;
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

}  // namespace

std::vector<std::string> splitHistory(const std::string& content) {
    std::vector<std::string> lines;
    lines.reserve(static_cast<std::size_t>(std::count(content.begin(), content.end(), '\n')) + 1);
    std::size_t start = 0;
    while (start < content.size()) {
        auto end = content.find('\n', start);
        if (end == std::string::npos) {
            end = content.size();
        }
        if (end > start) {
            lines.emplace_back(content, start, end - start);
        }
        start = end + 1;
    }
    return lines;
}

std::string serializeHistory(const std::vector<std::string>& entries, const std::string& command) {
    std::string content;
    for (const auto& entry : entries) {
        content += entry;
        content += '\n';
    }
    if (entries.empty() || entries.back() != command) {
        content += command;
    }
    return content;
}

History::History() : path(requireEnv("HOME") + "/.pellacorvine.history") {
    std::string content;
    readWholeFile(path, content);
    entries = splitHistory(content);
}

std::string History::previous() {
    const auto count = static_cast<std::int64_t>(entries.size());
    if (count == 0) {
        return {};
    }
    current = current > 0 ? current - 1 : count - 1;
    return entries[static_cast<std::size_t>(current)];
}

std::string History::next() {
    const auto count = static_cast<std::int64_t>(entries.size());
    if (count == 0) {
        return {};
    }
    current = current < count - 1 ? current + 1 : 0;
    return entries[static_cast<std::size_t>(current)];
}

void History::save(const std::string& command) {
    const std::string target = resolveLinks(path);
    if (!isMissingOrRegular(target)) {
        return;
    }
    if (access(target.c_str(), W_OK) != 0 && errno != ENOENT) {
        return;  // a file the user made read-only stays as it is
    }
    // One saver at a time: two that overlap would each rename a file without the
    // other's command over the history.
    const FileLock lock(target, lockTimeout);
    // Read again, so that what another launcher recorded since start-up is kept.
    std::string content;
    if (readWholeFile(target, content) == ReadResult::Unreadable) {
        return;  // rewriting a file we cannot read would lose it
    }
    const std::string updated = serializeHistory(splitHistory(content), command);
    const FileSizeSignalIgnored sizeLimitIsAnError;
    if (replaceWith(target, updated, lock.held()) == ReplaceResult::CannotReplace) {
        rewriteInPlace(target, content, updated);
    }
}
