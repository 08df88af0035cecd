#pragma once

// What a resident hands on to itself across the exec that follows each press: one
// environment variable, read and removed by the new image.
#include <sys/types.h>

#include <string>
#include <vector>

// A launcher a resident opened at a press. Its pipe brings a byte once it has given the
// chord back, and ends with the process.
struct Opening {
    pid_t pid = -1;
    int descriptor = -1;
    bool chordGivenBack = false;
};

struct RestartState {
    bool restarted = false;           // false at the first start
    unsigned stopSignalsIgnored = 0;  // bit i: the i-th stop signal ignored at the first start
    std::string executable;           // what the restart runs
    std::string authority;            // the X connection's cookie as the first start found it
    std::vector<Opening> openings;
};

// The state as the variable carries it, and back.
std::string encodeRestartState(const RestartState& state);
RestartState decodeRestartState(const std::string& value);

// The last image's state, taken out of the environment so that no opening and no command
// inherits it; a first start's where there is none.
RestartState takeRestartState();
// Puts the state where the next image finds it, its openings' pipes kept open across.
void handOnRestartState(const RestartState& state);

// This very program, found at the first start, before the hotkey is held.
std::string ownExecutable(const char* argv0);
