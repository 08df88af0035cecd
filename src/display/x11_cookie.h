#pragma once

// The X connection's authorization, read once with libXau and given back later, so that a
// restart reads no file that a dead HOME could hold.
#include <X11/Xlib.h>

#include <string>

// What a connection made without one needs at the next connect: "name\0data" of its
// MIT-MAGIC-COOKIE-1, from the file XAUTHORITY or HOME names, for any address family;
// noCookie where the file has none for it.
std::string cookieOf(Display* connection);

// Connects to display with that cookie, or with none, reading no file.
Display* connectWithCookie(const std::string& display, const std::string& cookie);

inline constexpr char noCookie[] = "none";
