// The path resolved hop by hop: each link followed only where the kernel's
// protected_symlinks rule would allow it, each regular file opened only where
// protected_regular would, whatever the kernel does.
#include "lists/resolved_path.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace {

constexpr int maxLinkHops = 40;

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
