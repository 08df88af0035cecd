#pragma once

// What a resident hands on to itself across the exec that follows each press: one
// environment variable, read and removed by the new image.
#include <sys/types.h>

#include <optional>
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
    bool unreadable = false;          // handed over in a form this image cannot read
    unsigned stopSignalsIgnored = 0;  // bit i: the i-th stop signal ignored at the first start
    std::string executable;           // what the restart runs
    std::string authority;            // the X connection's cookie as the first start found it
    std::vector<Opening> openings;
};

// The state as the variable carries it, with this version's mark, and back. A value of
// another version, or a stray one, is read as nothing; 0.4.0's form, which had no mark,
// is read as it stood.
std::string encodeRestartState(const RestartState& state);
std::optional<RestartState> decodeRestartState(const std::string& value);

// The last image's state, taken out of the environment so that no opening and no command
// inherits it: a first start's where there is none, and a restart's with nothing carried
// (unreadable) where it cannot be read, or names an opening whose socket is none.
RestartState takeRestartState();
// Puts the state where the next image finds it, its openings' pipes kept open across.
void handOnRestartState(const RestartState& state);

// This very program, found at the first start, before the hotkey is held: where the
// system names the running image (/proc/self/exe), that, so that a restart runs it even
// once its file is replaced or removed; else the file it started from.
std::string ownExecutable(const char* argv0);
