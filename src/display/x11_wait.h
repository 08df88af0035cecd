#pragma once

// The one sleep of both X connections: until the server or another source has more.
#include <X11/Xlib.h>

#include <vector>

// Sleeps until the connection or one of descriptors (-1 for none) can be read: true when
// one of descriptors can. Xlib's queue is not looked at: XPending first.
bool awaitInput(Display* connection, const std::vector<int>& descriptors);
