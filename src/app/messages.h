#pragma once

// The lines the program writes for the user: every "Error: " line goes through here.
#include <string>

// Writes "Error: ", the message and a line feed to standard error. Where mayWait is false
// it is written only if standard error takes it at once, and dropped otherwise (a terminal
// stopped with Control+S, a full pipe): a process that may hold the keyboard never waits
// on whoever reads its errors.
void writeError(const std::string& message, bool mayWait = true);

// Writes the line as above and ends the process with status 1 at once, without unwinding.
[[noreturn]] void fatal(const std::string& message, bool mayWait = true);
