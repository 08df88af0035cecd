#include "app/spawn.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace {

// Reads the errno that a failed exec sent back; 0 when the pipe closed on a successful exec.
int execError(int readEnd) {
    int error = 0;
    ssize_t count = 0;
    do {
        count = read(readEnd, &error, sizeof error);
    } while (count < 0 && errno == EINTR);
    return count == static_cast<ssize_t>(sizeof error) ? error : 0;
}

}  // namespace

int spawnProcess(const char* program, char* const arguments[], const EndingSignals& signals) {
    int channel[2];
    if (pipe(channel) != 0) {
        return errno;
    }
    fcntl(channel[0], F_SETFD, FD_CLOEXEC);
    fcntl(channel[1], F_SETFD, FD_CLOEXEC);
    pid_t child = -1;
    int forkError = 0;
    {
        // No signal between the fork and the exec runs the launcher's handlers in the child.
        const EndingSignals::Held held;
        child = fork();
        forkError = errno;
        if (child == 0) {
            signals.restoreInChild();
            close(channel[0]);
            execv(program, arguments);
            const int error = errno;
            if (write(channel[1], &error, sizeof error) < 0) {
                // Nobody to tell; the parent then takes the exec as done.
            }
            _exit(127);
        }
    }
    close(channel[1]);
    const int failure = child < 0 ? forkError : execError(channel[0]);
    close(channel[0]);
    return failure;
}
