#pragma once

// Starting a command that the launcher does not wait for.
#include "app/signals.h"

// Starts program with the null-terminated arguments in a child process that the caller
// does not wait for, beyond knowing that the exec happened. Returns 0, or the errno of the
// failed spawn or exec. The child gets back the signal dispositions and mask the launcher
// started with.
int spawnProcess(const char* program, char* const arguments[], const EndingSignals& signals);
