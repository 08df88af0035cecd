#pragma once

// What the command line sets, read by one function for the launcher and the resident alike.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// The fourteen fields of an X Logical Font Description, in XLFD order, without hyphens.
using FontFields = std::vector<std::string>;

FontFields defaultFontFields();

// The window's colours, font and geometry, and the hotkey that makes the process a
// resident. Plain values, with the defaults a bare command line gives.
struct Settings {
    std::string foreground = "white";
    std::string background = "black";
    FontFields fontFields = defaultFontFields();
    std::int32_t x = -1;
    std::int32_t y = -1;
    std::int32_t width = 640;
    std::int32_t height = 25;
    std::optional<std::string> hotkey;  // -hotkey's CHORD, even an empty one
};

// Applies the options after argv[0] in order, each with its one value; false at the first
// that is unknown or has no value, those before it applied. Writes nothing.
bool parseSettings(int argc, char** argv, Settings& settings);

// The name the usage line gives: argv[0], or the program's own where there is none.
const char* programName(int argc, char** argv);

// Writes the usage line for programName to standard error.
void printUsage(const char* programName);

// The XLFD pattern: a hyphen before each field, the fields as they stand.
std::string joinFontFields(const FontFields& fields);

// The fonts to ask the server for, in turn: the pattern, then, where every field is at its
// default, the fixed font every server has. A font the user asked for is not replaced.
std::vector<std::string> fontsToTry(const FontFields& fields);
