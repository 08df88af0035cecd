#include "completion/completion.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

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

}  // namespace

Completion::Completion() {
    const uid_t user = getuid();
    const gid_t group = getgid();
    const std::string path = requireEnv("PATH");
    std::size_t start = 0;
    for (;;) {
        const auto colon = path.find(':', start);
        scanDirectory(path.substr(start, colon - start), user, group);
        if (colon == std::string::npos) {
            break;
        }
        start = colon + 1;
    }
    std::sort(entries.begin(), entries.end());
}

// An empty component fails to open and so adds nothing, as any unopenable one.
void Completion::scanDirectory(const std::string& directory, uid_t user, gid_t group) {
    DIR* stream = opendir(directory.c_str());
    if (stream == nullptr) {
        return;
    }
    const int descriptor = dirfd(stream);
    while (const dirent* entry = readdir(stream)) {
        struct stat status {};
        if (fstatat(descriptor, entry->d_name, &status, 0) == 0 &&
            isExecutableFile(status, user, group)) {
            entries.emplace_back(entry->d_name);
        }
    }
    closedir(stream);
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
