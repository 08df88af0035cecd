// The program's entry: the one-shot launcher, or with -hotkey the resident that opens one at
// each press.
#include <fcntl.h>

#include <cerrno>
#include <stdexcept>

#include "app/launcher.h"
#include "app/resident.h"

namespace {

// A descriptor 0 to 2 closed at start would be taken by the first file or connection we
// open, and error lines would go into it: each is /dev/null instead.
void keepStandardDescriptorsOpen() {
    for (int standard = 0; standard <= 2; ++standard) {
        if (fcntl(standard, F_GETFD) == -1 && errno == EBADF &&
            open("/dev/null", O_RDWR) != standard) {
            return;  // opened elsewhere, or not at all: nothing better to be had
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    keepStandardDescriptorsOpen();
    try {
        // As the launcher's construction does: with either unset, even a bad command line
        // gets no usage line.
        requireEnv("PATH");
        requireEnv("HOME");
        Settings settings;
        if (parseSettings(argc, argv, settings) && settings.hotkey) {
            runResident(settings, argv);
        }
        Launcher launcher;
        launcher.run(argc, argv);
    } catch (const std::runtime_error& error) {
        fatal(error.what());
    }
    return 0;
}
