#include <stdexcept>

#include "app/launcher.h"

int main(int argc, char** argv) {
    try {
        Launcher launcher;
        launcher.run(argc, argv);
    } catch (const std::runtime_error& error) {
        // HOME or PATH missing: nothing has been parsed or shown yet.
        fatal(error.what());
    }
    return 0;
}
