#pragma once

// What the server tells of windows, ours or another client's: where they lie, which
// top-level window holds them, and the monitors they lie on.
#include <X11/Xlib.h>

#include <optional>
#include <vector>

#include "display/placement.h"

// The window's ancestor that is a child of the root, or the window itself when it is one;
// nothing when it has gone.
std::optional<Window> topLevelOf(Display* connection, Window window);

// The window's outline on the root, border excluded; nothing when it has gone.
std::optional<Area> areaOnRoot(Display* connection, Window window);

// A desktop's window (icons, wallpaper), which has the focus after a click on the desktop.
bool isDesktop(Display* connection, Window window);

// The monitors the server reports (Xinerama or RandR through it); none when it reports
// none, or the launcher was built without Xinerama.
std::vector<Area> monitorsOf(Display* connection);

// Where the launcher's window goes on screen: the whole screen, or the monitor in use, as
// chooseMonitor judges it from the focus and the pointer. Those are asked for only where
// there are several monitors.
Area monitorInUse(Display* connection, int screen);
// The same with the monitors already known: with one or none, no question is asked.
Area monitorInUse(Display* connection, int screen, const std::vector<Area>& heads);
