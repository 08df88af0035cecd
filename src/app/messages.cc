// The one writer of "Error: " lines, which waits or not as its caller may.
#include "app/messages.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

namespace {

bool takesAtOnce(int descriptor) {
    pollfd writable{descriptor, POLLOUT, 0};
    return poll(&writable, 1, 0) == 1 && (writable.revents & POLLOUT) != 0;
}

}  // namespace

// One write of the whole line, so that lines of several processes never mix.
void writeError(const std::string& message, bool mayWait) {
    const std::string line = "Error: " + message + "\n";
    if (!mayWait && !takesAtOnce(STDERR_FILENO)) {
        return;
    }
    for (std::size_t written = 0; written < line.size();) {
        const ssize_t count = write(STDERR_FILENO, line.data() + written, line.size() - written);
        if (count < 0 && errno == EINTR) {
            continue;
        }
        if (count <= 0) {
            return;  // nobody reads it
        }
        written += static_cast<std::size_t>(count);
    }
}

void fatal(const std::string& message, bool mayWait) {
    writeError(message, mayWait);
    std::exit(1);
}
