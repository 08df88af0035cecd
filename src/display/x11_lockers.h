#pragma once

// Which windows are a screen locker's, so that the open launcher lets go for a locker and
// for nothing else that another client does with its windows or the focus.
#include <X11/Xlib.h>

// Selects, on every screen's root, the creation and mapping of windows and the focus
// moving there. Our client selects nothing else on the roots.
void watchRoots(Display* connection);

// A locker's window is an override-redirect window of another client that covers a
// monitor, or its screen where no monitors are reported. Never one of the window
// manager's: of the client that owns the screen's WM_S selection, or holding a managed
// window, as every manager's frames do. A window that has gone is no locker's.

// A CreateNotify or MapNotify on a root that tells of a locker's window.
bool announcesLocker(Display* connection, const XEvent& event);
// Whether the top-level window that window lies in is a locker's.
bool isLockersWindow(Display* connection, Window window);
// Whether a locker's window is mapped on any screen now.
bool lockerWindowMapped(Display* connection);
