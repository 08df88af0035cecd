// What the launcher reads from its window: keys (the chord's repeats aside), exposures and
// the signs of another client, and the waits for them beside the helpers' pipes.
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/keysym.h>
#include <poll.h>

#include "display/key_value.h"
#include "display/x11_lib_x11.h"
#include "display/x11_wait.h"

namespace {

constexpr int exposeEventType = Expose;
#undef Expose  // the X event type hides EventKind::Expose

}  // namespace

// XLookupString loads the keyboard map and Xlib's locale data at its first call, about a
// millisecond: paid once the window shows, before the first key is read.
void X11LibX11::prepareKeyLookup() {
    XKeyEvent probe{};
    probe.type = KeyPress;
    probe.display = connection;
    probe.window = window;
    probe.keycode = XKeysymToKeycode(connection, XK_a);
    char byte = 0;
    KeySym keysym = NoSymbol;
    XLookupString(&probe, &byte, 1, &keysym, nullptr);
}

bool X11LibX11::nextEvent(InputEvent& event) {
    settleWhenIdle();
    if (lost) {
        event.kind = EventKind::Lost;
        return true;
    }
    event.kind = EventKind::Other;
    XSelectInput(connection, window, windowEvents);
    XEvent xevent;
    XNextEvent(connection, &xevent);
    if (chordRepeats(xevent)) {
        return true;  // the chord held past the keyboard's repeat delay: no key of the line
    }
    if (xevent.type == KeyPress) {
        // The KeySym every other client's first key gets: under Control a Latin letter
        // from another group, with Caps Lock upper case where the key's type ignores Lock.
        KeySym keysym = NoSymbol;
        char byte = 0;
        XLookupString(&xevent.xkey, &byte, 1, &keysym, nullptr);
        std::uint16_t value = 0;
        if (keyValue(keysym, xevent.xkey.send_event != False, value)) {
            event.kind = EventKind::Key;
            event.keysym = value;
            event.state = xevent.xkey.state;
        }
        if (event.kind == EventKind::Key && value != XK_Escape) {
            settle();  // no typed line may run for a locker that waits
            event.kind = lost ? EventKind::Lost : event.kind;
        }
    } else if (xevent.type == exposeEventType) {
        event.kind = EventKind::Expose;
    } else if (lostToAnother(xevent)) {
        event.kind = EventKind::Lost;
    }
    return true;
}

// Until the chord's key is released, its presses are repeats, whatever the modifiers.
// Detectable auto-repeat sends them alone; core auto-repeat puts a release of the same
// moment before each, which is no release.
bool X11LibX11::chordRepeats(const XEvent& xevent) {
    if (chordKey == 0 || (xevent.type != KeyPress && xevent.type != KeyRelease) ||
        xevent.xkey.keycode != chordKey) {
        return false;
    }
    if (xevent.type == KeyRelease) {
        XEvent next{};
        if (XEventsQueued(connection, QueuedAfterReading) > 0) {
            XPeekEvent(connection, &next);
        }
        const bool repeat = next.type == KeyPress && next.xkey.keycode == chordKey &&
                            next.xkey.time == xevent.xkey.time;
        chordKey = repeat ? chordKey : 0;
    }
    return xevent.type == KeyPress;
}

// The resident says once it holds the chord again, almost always before this is asked;
// one that has gone closes the socket. Either way no longer than slock would wait.
void X11LibX11::awaitHotkeyHeld() {
    constexpr int boundMilliseconds = 250;
    if (residentSocket >= 0) {
        pollfd news{residentSocket, POLLIN, 0};
        poll(&news, 1, boundMilliseconds);
    }
}

// XPending reads whatever the server has sent; the poll sleeps until either side has more.
bool X11LibX11::waitForEvent(const std::vector<int>& descriptors) {
    XSelectInput(connection, window, windowEvents);  // as nextEvent does
    for (;;) {
        settleWhenIdle();
        if (lost || XPending(connection) > 0) {
            return true;
        }
        if (awaitInput(connection, descriptors)) {
            return false;
        }
    }
}
