#include "synthetic_path.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <stdexcept>

namespace {

constexpr int directories = 8;

void touch(const std::string& path, mode_t mode) {
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, mode);
    if (fd < 0) {
        throw std::runtime_error("cannot create " + path);
    }
    close(fd);
}

}  // namespace

std::string makeSyntheticPath(int entries) {
    std::string pattern = "/tmp/pellacorvine-bench-XXXXXX";
    const std::string root = mkdtemp(pattern.data());
    std::string path;
    for (int d = 0; d < directories; ++d) {
        const std::string dir = root + "/bin" + std::to_string(d);
        std::filesystem::create_directory(dir);
        path += (d == 0 ? "" : ":") + dir;
        const int count = entries / directories;
        for (int i = 0; i < count; ++i) {
            const std::string name = dir + "/tool-" + std::to_string(d) + "-" + std::to_string(i);
            switch (i % 20) {
            case 0: touch(name, 0644); break;  // not executable
            case 1:
                std::filesystem::create_symlink(dir + "/tool-" + std::to_string(d) + "-2", name);
                break;
            case 2: touch(name, 0755); break;
            case 3: std::filesystem::create_symlink(root, name); break;  // a directory
            case 4: touch(name, 0700); break;
            default: touch(name, 0755); break;
            }
        }
        std::filesystem::create_symlink(dir + "/missing", dir + "/dangling");
        std::filesystem::create_directory(dir + "/subdir");
    }
    return path;
}

void removeSyntheticPath(const std::string& path) {
    const auto colon = path.find(':');
    const std::string first = path.substr(0, colon);
    std::error_code ignored;
    std::filesystem::remove_all(std::filesystem::path(first).parent_path(), ignored);
}
