// What other clients and the user do to the open launcher. It lets go for a screen locker
// (its window created or mapped, the focus moved to it or to None), the screen saver, a
// click elsewhere, and the window unmapped or destroyed; for nothing else: a window manager
// that maps and focuses a window, a tooltip, the pointer moving or the wheel turning.
#include <X11/Xlib.h>
#ifdef PELLACORVINE_XSS
#include <X11/extensions/scrnsaver.h>
#endif
#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <ctime>

#include "display/x11_lib_x11.h"
#include "display/x11_lockers.h"

namespace {

// Another client's brief hold of the pointer (a window manager ending a drag) is waited out.
constexpr int pointerTries = 10;

Bool endsAGrab(Display*, XEvent* event, XPointer) {
    return (event->type == FocusIn || event->type == FocusOut) &&
           event->xfocus.mode == NotifyUngrab;
}

}  // namespace

bool X11LibX11::tryGrab() {
    if (XGrabKeyboard(connection, window, False, GrabModeAsync, GrabModeAsync, CurrentTime) !=
        GrabSuccess) {
        return false;
    }
    giveChordBack();
    watchFocus();
    return true;
}

// The resident waits for the chord to grab it again on a connection of its own; the
// byte goes once the server has let go of it here.
void X11LibX11::giveChordBack() {
    if (chordGrabs.empty()) {
        return;
    }
    ungrabChord(connection, chordGrabs);
    chordGrabs.clear();
    XSync(connection, False);
    sendToOtherSide(residentSocket, chordGivenBack);
}

// Until another client's grab ends, or for the given time: false when the time ran out.
bool X11LibX11::awaitUngrab(std::int64_t nanoseconds) {
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::nanoseconds(nanoseconds);
    XEvent event;
    while (!XCheckIfEvent(connection, &event, endsAGrab, nullptr)) {
        const auto left = deadline - Clock::now();
        if (left <= Clock::duration::zero()) {
            return false;
        }
        pollfd readable{ConnectionNumber(connection), POLLIN, 0};
        poll(&readable, 1,
             static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(left).count()));
    }
    return true;
}

// The focus is watched where it is, so that its next move is seen: on the focused window,
// and (for None, PointerRoot and the roots) on the roots, which watchRoots selects.
void X11LibX11::watchFocus() {
    int revert = 0;
    XGetInputFocus(connection, &lastFocus, &revert);
    watchFocusOn(lastFocus);
}

void X11LibX11::watchFocusOn(Window focused) {
    const bool own = focused == None || focused == PointerRoot || focused == window ||
                     focused == RootWindow(connection, screen);
    const Window target = own ? None : focused;
    if (target == focusWatched) {
        return;
    }
    if (focusWatched != None) {
        XSelectInput(connection, focusWatched, NoEventMask);
    }
    if (target != None) {
        XSelectInput(connection, target, FocusChangeMask);
    }
    focusWatched = target;
}

// Another client moved the focus to None, or to a locker's window. A focus that reverted
// because its window was unmapped or destroyed moved on its own; any other move (a window
// manager focusing a window, an application taking it) is watched on.
bool X11LibX11::focusLost() {
    bool lostNow = false;
    Window now = None;
    int revert = 0;
    for (XGetInputFocus(connection, &now, &revert); now != lastFocus;
         XGetInputFocus(connection, &now, &revert)) {
        const bool reverted =
            lastFocus != None && lastFocus != PointerRoot && !isViewable(lastFocus);
        lostNow =
            !reverted && (now == None || (now != PointerRoot && isLockersWindow(connection, now)));
        lastFocus = now;
        watchFocusOn(now);
    }
    return lostNow;
}

bool X11LibX11::isViewable(Window other) {
    XWindowAttributes attributes{};
    return XGetWindowAttributes(connection, other, &attributes) != 0 &&
           attributes.map_state == IsViewable;
}

// Focus-follows-mouse moves the focus where the pointer goes: held, it goes nowhere. One
// that another client holds for longer than a few tries is done without.
void X11LibX11::holdPointer() {
    const timespec pause{0, 1000000};
    for (int tries = 1;; ++tries) {
        const int status = XGrabPointer(connection, window, False, ButtonPressMask, GrabModeAsync,
                                        GrabModeAsync, None, None, CurrentTime);
        if ((status != AlreadyGrabbed && status != GrabFrozen) || tries == pointerTries) {
            return;
        }
        nanosleep(&pause, nullptr);
    }
}

void X11LibX11::watchScreenSaver() {
#ifdef PELLACORVINE_XSS
    int eventBase = 0;
    int errorBase = 0;
    if (XScreenSaverQueryExtension(connection, &eventBase, &errorBase)) {
        XScreenSaverSelectInput(connection, RootWindow(connection, screen), ScreenSaverNotifyMask);
        screenSaverEvent = eventBase + ScreenSaverNotify;
    }
#endif
}

// Round trips that no key need wait for, made once the window shows and no event is
// waiting, or before the first key that acts: an Escape typed at once ends without them, and
// a locker that came while the keyboard was frozen or we were starting is found before any
// typed line runs. Selected before the grab, then read: nothing falls between the two.
void X11LibX11::settle() {
    if (settled) {
        return;
    }
    settled = true;
    watchScreenSaver();
    holdPointer();
    lost =
        lost || focusLost() ||
        (lastFocus != None && lastFocus != PointerRoot && isLockersWindow(connection, lastFocus)) ||
        lockerWindowMapped(connection);
}

void X11LibX11::settleWhenIdle() {
    if (painted && XPending(connection) == 0) {
        settle();
    }
}

// Events another client sent prove nothing; our own grab's focus events, and the pointer's
// under PointerRoot, are no move. The wheel (buttons 4 and 5) is no click.
bool X11LibX11::lostToAnother(const XEvent& xevent) {
    if (xevent.xany.send_event != False) {
        return false;
    }
    switch (xevent.type) {
    case UnmapNotify: return xevent.xunmap.window == window;
    case DestroyNotify: return xevent.xdestroywindow.window == window;
    case ButtonPress:
        return xevent.xbutton.button <= Button3 &&
               (xevent.xbutton.x < 0 || xevent.xbutton.y < 0 || xevent.xbutton.x >= width ||
                xevent.xbutton.y >= height);
    case FocusIn:
    case FocusOut:
        return xevent.xfocus.mode != NotifyGrab && xevent.xfocus.mode != NotifyUngrab &&
               xevent.xfocus.detail != NotifyPointer && focusLost();
    case CreateNotify:
    case MapNotify: return announcesLocker(connection, xevent);
    default: break;
    }
#ifdef PELLACORVINE_XSS
    return xevent.type == screenSaverEvent &&
           reinterpret_cast<const XScreenSaverNotifyEvent&>(xevent).state == ScreenSaverOn;
#else
    return false;
#endif
}
