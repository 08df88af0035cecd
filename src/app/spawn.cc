// Starting a command that the launcher does not wait for, with descriptors 0 to 2 only.
#include "app/spawn.h"

#include <fcntl.h>
#include <spawn.h>
#include <unistd.h>
#ifdef __FreeBSD__
#include <sys/param.h>
#endif

#include <algorithm>

extern char** environ;

namespace {

// Whatever the launcher was started with beyond 0 to 2 (a shell's descriptor 5, say) is no
// business of the command: the C library closes them in the child where it can, else
// every one of ours is marked close-on-exec first.
#if (defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 34))) || \
    (defined(__FreeBSD__) && __FreeBSD_version >= 1301000)
void keepOnlyStandardDescriptors(posix_spawn_file_actions_t& actions, short&) {
    posix_spawn_file_actions_addclosefrom_np(&actions, 3);
}
#elif defined(POSIX_SPAWN_CLOEXEC_DEFAULT)
void keepOnlyStandardDescriptors(posix_spawn_file_actions_t& actions, short& flags) {
    flags |= POSIX_SPAWN_CLOEXEC_DEFAULT;
    for (int standard = 0; standard <= 2; ++standard) {
        posix_spawn_file_actions_addinherit_np(&actions, standard);
    }
}
#else
void keepOnlyStandardDescriptors(posix_spawn_file_actions_t&, short&) {
    const long limit = std::min(sysconf(_SC_OPEN_MAX), 65536L);
    for (int descriptor = 3; descriptor < limit; ++descriptor) {
        const int flags = fcntl(descriptor, F_GETFD);
        if (flags >= 0 && (flags & FD_CLOEXEC) == 0) {
            fcntl(descriptor, F_SETFD, flags | FD_CLOEXEC);
        }
    }
}
#endif

}  // namespace

// posix_spawn, not fork: the child shares the launcher's memory until the exec, so a long
// history held in memory costs the launch no copy of its page tables. Handlers reset to
// the default at the exec, and the signals ignored at start were never caught.
int spawnProcess(const char* program, char* const arguments[], const EndingSignals& signals) {
    posix_spawnattr_t attributes;
    if (const int error = posix_spawnattr_init(&attributes); error != 0) {
        return error;
    }
    posix_spawn_file_actions_t actions;
    if (const int error = posix_spawn_file_actions_init(&actions); error != 0) {
        posix_spawnattr_destroy(&attributes);
        return error;
    }
    short flags = POSIX_SPAWN_SETSIGMASK;
    keepOnlyStandardDescriptors(actions, flags);
    posix_spawnattr_setsigmask(&attributes, &signals.startingMask());
    posix_spawnattr_setflags(&attributes, flags);
    pid_t child = -1;
    const int error = posix_spawn(&child, program, &actions, &attributes, arguments, environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    return error;
}
