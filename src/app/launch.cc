#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <exception>
#include <libgen.h>  // after <cstring>: the POSIX basename, not the GNU one

#include "app/launcher.h"

namespace {

std::string shellPath() {
    try {
        return requireEnv("SHELL");
    } catch (const std::exception&) {
        return "/bin/sh";
    }
}

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

// Starts the shell with "-c" and the line, and waits only until the exec has happened:
// the close-on-exec pipe closes on success and carries errno on failure.
void Launcher::launch() {
    std::string shell = shellPath();
    // basename may cut trailing slashes in this very buffer; execv then uses the cut path.
    char* name = basename(shell.data());
    shell.resize(std::strlen(shell.c_str()));
    char dashC[] = "-c";
    char* arguments[] = {name, dashC, text.data(), nullptr};

    int channel[2];
    if (pipe(channel) != 0) {
        fail("Couldn't run " + shell + ": " + std::strerror(errno));
    }
    fcntl(channel[0], F_SETFD, FD_CLOEXEC);
    fcntl(channel[1], F_SETFD, FD_CLOEXEC);
    const pid_t child = fork();
    if (child == 0) {
        close(channel[0]);
        execv(shell.c_str(), arguments);
        const int error = errno;
        if (write(channel[1], &error, sizeof error) < 0) {
            // Nobody to tell; the launcher then takes the exec as done.
        }
        _exit(127);
    }
    const int error = child < 0 ? errno : 0;
    close(channel[1]);
    const int failure = child < 0 ? error : execError(channel[0]);
    close(channel[0]);
    if (failure != 0) {
        fail("Couldn't run " + shell + ": " + std::strerror(failure));
    }
}
