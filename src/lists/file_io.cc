#include "lists/file_io.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

ReadResult readWholeFile(const std::string& path, std::string& content) {
    content.clear();
    const int descriptor = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (descriptor < 0) {
        return errno == ENOENT ? ReadResult::Missing : ReadResult::Unreadable;
    }
    ReadResult result = ReadResult::Ok;
    char buffer[65536];
    for (;;) {
        const ssize_t count = read(descriptor, buffer, sizeof buffer);
        if (count > 0) {
            content.append(buffer, static_cast<std::size_t>(count));
        } else if (count == 0) {
            break;
        } else if (errno != EINTR) {
            result = ReadResult::Unreadable;
            break;
        }
    }
    close(descriptor);
    return result;
}

bool writeAll(int descriptor, const std::string& data) {
    std::size_t written = 0;
    while (written < data.size()) {
        const ssize_t count = write(descriptor, data.data() + written, data.size() - written);
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
