#pragma once

// The hotkey's text read into modifier bits and a KeySym.
#include <string>

#include "display/x11_hotkey.h"

// Reads CHORD: modifier names and one KeySym name joined by '+' ("Mod4+p",
// "Control+Mod1+space", "F12"). The modifiers are Shift, Control (or Ctrl), Mod1 to Mod5,
// Alt (Mod1) and Super (Mod4), in any case; the KeySym is any name XStringToKeysym knows.
// False, with why, for a text that is none.
bool parseChord(const std::string& text, Chord& chord, std::string& why);
