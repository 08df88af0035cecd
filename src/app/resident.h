#pragma once

#include <string>

// Holds the hotkey chord (as -hotkey gives it) and opens the launcher at each press, with
// the same arguments. Ends only with the process.
[[noreturn]] void runResident(const std::string& chord, int argc, char** argv);
