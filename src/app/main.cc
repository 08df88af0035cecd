// The program's entry: the one-shot launcher, or with -hotkey the resident that opens one at
// each press.
#include <stdexcept>

#include "app/launcher.h"
#include "app/resident.h"

int main(int argc, char** argv) {
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
