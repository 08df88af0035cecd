// The launch: the line run through the user's shell, once the keyboard is free.
#include <libgen.h>  // after <cstring>: the POSIX basename, not the GNU one
#include <cerrno>
#include <cstring>
#include <exception>

#include "app/launcher.h"
#include "app/spawn.h"
#include "helper/helper.h"

namespace {

constexpr std::chrono::milliseconds helperReapBound{100};

std::string shellPath() {
    try {
        return requireEnv("SHELL");
    } catch (const std::exception&) {
        return "/bin/sh";
    }
}

}  // namespace

// Starts the shell with "-c" and the line, named by the last component of its path.
void Launcher::launch() {
    std::string shell = shellPath();
    // basename may cut trailing slashes in this very buffer; execv then uses the cut path.
    char* name = basename(shell.data());
    shell.resize(std::strlen(shell.c_str()));
    char dashC[] = "-c";
    char* arguments[] = {name, dashC, text.data(), nullptr};
    // Killed helpers count against the process limit until they are reaped; one stuck in
    // a dead mount never is, so the wait is bounded.
    reapHelpers(helperReapBound);
    int error = spawnProcess(shell.c_str(), arguments, signals);
    if (error == EAGAIN) {
        reapHelpers(helperReapBound);
        error = spawnProcess(shell.c_str(), arguments, signals);
    }
    if (error != 0) {
        fail("Couldn't run " + shell + ": " + std::strerror(error));
    }
}
