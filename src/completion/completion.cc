// The index of the executables found through PATH, and the cycling completion over it.
#include "completion/completion.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <utility>

#include "app/require_env.h"

namespace {

// One bit, not the whole type field: sockets carry it too and are listed.
constexpr mode_t regularFileBit = 0100000;

bool isExecutableFile(const struct stat& status, uid_t user, gid_t group) {
    if ((status.st_mode & regularFileBit) == 0) {
        return false;
    }
    return ((status.st_mode & S_IXUSR) != 0 && status.st_uid == user) ||
           (status.st_mode & S_IXOTH) != 0 ||
           ((status.st_mode & S_IXGRP) != 0 && status.st_gid == group);
}

// A directory by its device and inode: /bin and /usr/bin are one where /usr is merged.
using DirectoryId = std::pair<dev_t, ino_t>;

// An empty component fails to open and so adds nothing, as any unopenable one. A
// directory already read under another name adds nothing either.
void scanDirectory(const std::string& directory, uid_t user, gid_t group,
                   std::vector<DirectoryId>& read, std::vector<std::string>& names) {
    DIR* stream = opendir(directory.c_str());
    if (stream == nullptr) {
        return;
    }
    const int descriptor = dirfd(stream);
    struct stat self {};
    if (fstat(descriptor, &self) == 0) {
        const DirectoryId id{self.st_dev, self.st_ino};
        if (std::find(read.begin(), read.end(), id) != read.end()) {
            closedir(stream);
            return;
        }
        read.push_back(id);
    }
    while (const dirent* entry = readdir(stream)) {
        struct stat status {};
        if (fstatat(descriptor, entry->d_name, &status, 0) == 0 &&
            isExecutableFile(status, user, group)) {
            names.emplace_back(entry->d_name);
        }
    }
    closedir(stream);
}

// A scan that fails part-way leaves completion without names, not the user without the
// launcher.
std::vector<std::string> scanOrEmpty(Completion::Scanner scan, const std::string& searchPath,
                                     uid_t user, gid_t group) noexcept {
    try {
        return scan(searchPath, user, group);
    } catch (...) {
        return {};
    }
}

// Names cannot hold a NUL byte: each ends with one on its way through the pipe.
std::string joinNames(const std::vector<std::string>& names) {
    std::string joined;
    for (const auto& name : names) {
        joined += name;
        joined += '\0';
    }
    return joined;
}

std::vector<std::string> splitNames(const std::string& joined) {
    std::vector<std::string> names;
    for (std::size_t start = 0, end = 0; (end = joined.find('\0', start)) != std::string::npos;
         start = end + 1) {
        names.emplace_back(joined, start, end - start);
    }
    return names;
}

}  // namespace

std::vector<std::string> scanPath(const std::string& searchPath, uid_t user, gid_t group) {
    std::vector<std::string> names;
    std::vector<DirectoryId> read;
    std::size_t start = 0;
    for (;;) {
        const auto colon = searchPath.find(':', start);
        scanDirectory(searchPath.substr(start, colon - start), user, group, read, names);
        if (colon == std::string::npos) {
            break;
        }
        start = colon + 1;
    }
    std::sort(names.begin(), names.end());
    return names;
}

Completion::Completion() : searchPath(requireEnv("PATH")), user(getuid()), group(getgid()) {}

void Completion::startScan(Scanner scanner) {
    scan.start([scanner, path = searchPath, uid = user, gid = group] {
        return HelperOutput::Reply{joinNames(scanner(path, uid, gid))};
    });
}

bool Completion::ready() {
    return scan.ready([this](const std::string& joined) { entries = splitNames(joined); });
}

void Completion::awaitIndex() {
    scan.await([this] { return joinNames(scanOrEmpty(scanPath, searchPath, user, group)); },
               [this](const std::string& joined) { entries = splitNames(joined); });
}

const std::vector<std::string>& Completion::index() {
    awaitIndex();
    return entries;
}

bool Completion::findMatch(std::size_t from, std::string& match) {
    for (std::size_t i = from; i < entries.size(); ++i) {
        if (entries[i].starts_with(prefix)) {
            current = i + 1;
            match = entries[i];
            return true;
        }
    }
    return false;
}

std::string Completion::complete(const std::string& text) {
    if (text.empty()) {
        return {};
    }
    awaitIndex();
    if (prefix.empty()) {
        prefix = text;
    }
    std::string match;
    if (findMatch(current, match) || findMatch(0, match)) {
        return match;
    }
    current = 0;
    return text;
}

void Completion::reset() {
    prefix.clear();
    current = 0;
}
