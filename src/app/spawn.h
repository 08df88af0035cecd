#pragma once

#include "app/signals.h"

// Starts program with the null-terminated arguments in a child process that the caller
// does not wait for, beyond knowing that the exec happened: a close-on-exec pipe closes
// on success and carries the errno on failure. Returns 0, or the errno of the failed
// pipe, fork or exec. The child calls only async-signal-safe functions before the exec,
// and gets back the signal dispositions and mask the launcher started with.
int spawnProcess(const char* program, char* const arguments[], const EndingSignals& signals);
