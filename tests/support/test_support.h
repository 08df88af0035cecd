#pragma once

#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

// Sets or unsets an environment variable for one scope and restores it afterwards.
class ScopedEnv {
public:
    ScopedEnv(std::string name, const std::optional<std::string>& value) : name_(std::move(name)) {
        if (const char* old = std::getenv(name_.c_str())) {
            old_ = old;
        }
        value ? setenv(name_.c_str(), value->c_str(), 1) : unsetenv(name_.c_str());
    }
    ~ScopedEnv() { old_ ? setenv(name_.c_str(), old_->c_str(), 1) : unsetenv(name_.c_str()); }
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    std::string name_;
    std::optional<std::string> old_;
};

// A fresh directory under /tmp, removed with everything in it at the end of the scope.
class TempDir {
public:
    TempDir() {
        std::string pattern = "/tmp/pellacorvine-test-XXXXXX";
        path_ = mkdtemp(pattern.data());
    }
    ~TempDir() {
        std::error_code ignored;
        makeWritable(path_);
        std::filesystem::remove_all(path_, ignored);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return path_; }
    std::string operator/(const std::string& name) const { return path_ + "/" + name; }

private:
    static void makeWritable(const std::string& path) {
        std::error_code ignored;
        std::filesystem::permissions(path, std::filesystem::perms::owner_all,
                                     std::filesystem::perm_options::add, ignored);
        for (auto it = std::filesystem::recursive_directory_iterator(path, ignored);
             it != std::filesystem::recursive_directory_iterator(); it.increment(ignored)) {
            if (!it->is_symlink(ignored) && it->is_directory(ignored)) {
                std::filesystem::permissions(it->path(), std::filesystem::perms::owner_all,
                                             std::filesystem::perm_options::add, ignored);
            }
        }
    }
    std::string path_;
};

inline void writeFile(const std::string& path, const std::string& content, mode_t mode = 0644) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
    chmod(path.c_str(), mode);
}

inline std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

inline mode_t fileMode(const std::string& path) {
    struct stat status {};
    stat(path.c_str(), &status);
    return status.st_mode & 07777;
}

// Fills directory with entries names that each take about a millisecond to stat: each is
// a link into a chain of links whose targets wind up and down a subdirectory thousands
// of times. A slow directory that is still one directory, cheap to make.
inline void makeSlowDirectory(const std::string& directory, int entries) {
    std::filesystem::create_directories(directory + "/a");
    std::string detour;
    for (int i = 0; i < 800; ++i) {
        detour += "a/../";
    }
    std::string next = "end";
    for (int link = 38; link >= 0; --link) {
        const std::string name = "chain" + std::to_string(link);
        std::filesystem::create_symlink(detour + next, directory + "/" + name);
        next = name;
    }
    for (int i = 0; i < entries; ++i) {
        std::filesystem::create_symlink(next, directory + "/f" + std::to_string(i));
    }
}

// Runs body in a forked child and returns its exit status (-1 when it did not exit normally).
inline int inChild(const std::function<int()>& body) {
    const pid_t child = fork();
    if (child == 0) {
        _exit(body());
    }
    int status = 0;
    waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Children forked with a gate block in pass() until the parent opens it, so that they
// all go on at the same instant.
class Gate {
public:
    Gate() {
        if (pipe(ends_) != 0) {
            ends_[0] = ends_[1] = -1;
        }
    }
    ~Gate() { open(); }
    Gate(const Gate&) = delete;
    Gate& operator=(const Gate&) = delete;

    void pass() {
        close(ends_[1]);
        char byte = 0;
        if (read(ends_[0], &byte, 1) < 0) {
            // opened: closed, or interrupted, either way on
        }
    }
    void open() {
        for (int& end : ends_) {
            if (end >= 0) {
                close(end);
                end = -1;
            }
        }
    }

private:
    int ends_[2] = {-1, -1};
};

// Runs body(i) in each of count forked children, which then exit.
inline std::vector<pid_t> forkChildren(int count, const std::function<void(int)>& body) {
    std::vector<pid_t> children;
    for (int i = 0; i < count; ++i) {
        const pid_t child = fork();
        if (child == 0) {
            body(i);
            _exit(0);
        }
        children.push_back(child);
    }
    return children;
}

inline void waitForAll(const std::vector<pid_t>& children) {
    for (const pid_t child : children) {
        waitpid(child, nullptr, 0);
    }
}

// Drops root to the given ids inside a child; false when not possible.
inline bool becomeUser(uid_t user, gid_t group) {
    return setgroups(0, nullptr) == 0 && setgid(group) == 0 && setuid(user) == 0;
}

constexpr uid_t nobodyUser = 65534;
constexpr gid_t nobodyGroup = 65534;

// As root, becomes nobody so that permissions bind; an ordinary user stays as is.
// False when root could not drop its rights.
inline bool dropRootToNobody() { return geteuid() != 0 || becomeUser(nobodyUser, nobodyGroup); }
