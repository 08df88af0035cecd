// Starting a command that the launcher does not wait for.
#include "app/spawn.h"

#include <spawn.h>

extern char** environ;

// posix_spawn, not fork: the child shares the launcher's memory until the exec, so a long
// history held in memory costs the launch no copy of its page tables. Handlers reset to
// the default at the exec, and the signals ignored at start were never caught.
int spawnProcess(const char* program, char* const arguments[], const EndingSignals& signals) {
    posix_spawnattr_t attributes;
    if (const int error = posix_spawnattr_init(&attributes); error != 0) {
        return error;
    }
    posix_spawnattr_setsigmask(&attributes, &signals.startingMask());
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK);
    pid_t child = -1;
    const int error = posix_spawn(&child, program, nullptr, &attributes, arguments, environ);
    posix_spawnattr_destroy(&attributes);
    return error;
}
