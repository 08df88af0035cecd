#include <libgen.h>  // after <cstring>: the POSIX basename, not the GNU one
#include <cstring>
#include <exception>

#include "app/launcher.h"
#include "app/spawn.h"

namespace {

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
    if (const int error = spawnProcess(shell.c_str(), arguments, signals); error != 0) {
        fail("Couldn't run " + shell + ": " + std::strerror(error));
    }
}
