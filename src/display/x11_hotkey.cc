// The resident's connection: the chord's passive grabs, the wait for a press, and the
// hand-over of the connection to the opening at each press.
#include "display/x11_hotkey.h"

#include <X11/Xlib.h>
#include <X11/keysym.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <stdexcept>

#include "app/require_env.h"
#include "display/x11_cookie.h"
#include "display/x11_lib_x11.h"
#include "display/x11_wait.h"

namespace {

// Xlib's handlers take no argument of ours.
void (*whenLost)() = nullptr;
bool accessDenied = false;

int serverLost(Display*) {
    whenLost();
    return 0;
}

int noteDeniedAccess(Display*, XErrorEvent* error) {
    accessDenied = accessDenied || error->error_code == BadAccess;
    return 0;
}

}  // namespace

void ungrabChord(Display* connection, const std::vector<ChordGrab>& grabs) {
    for (const ChordGrab& form : grabs) {
        XUngrabKey(connection, static_cast<int>(form.keycode), form.modifiers,
                   DefaultRootWindow(connection));
    }
}

std::unique_ptr<X11Hotkey> createX11Hotkey() { return std::make_unique<X11LibHotkey>(); }

X11LibHotkey::~X11LibHotkey() {
    if (connection != nullptr) {
        XCloseDisplay(connection);
    }
}

// A restart connects with the authorization the first start found, so that a HOME on a
// dead mount cannot hold it in the read of ~/.Xauthority; should the server refuse it,
// Xlib finds its own.
bool X11LibHotkey::connect(std::string& authority, void (*lost)()) {
    std::string name;
    try {
        name = requireEnv("DISPLAY");
    } catch (const std::runtime_error&) {
        return false;
    }
    if (!authority.empty()) {
        connection = connectWithCookie(name, authority);
    }
    if (connection == nullptr) {
        connection = XOpenDisplay(name.c_str());
        authority = connection == nullptr ? "" : cookieOf(connection);
    }
    if (connection == nullptr) {
        return false;
    }
    fcntl(ConnectionNumber(connection), F_SETFD, FD_CLOEXEC);
    whenLost = lost;
    XSetIOErrorHandler(serverLost);
    return true;
}

unsigned X11LibHotkey::numLockMask() const {
    const KeyCode numLock = XKeysymToKeycode(connection, XK_Num_Lock);
    XModifierKeymap* map = XGetModifierMapping(connection);
    unsigned mask = 0;
    for (int modifier = 0; map != nullptr && numLock != 0 && modifier < 8; ++modifier) {
        const KeyCode* keys =
            map->modifiermap + static_cast<std::ptrdiff_t>(modifier) * map->max_keypermod;
        if (std::find(keys, keys + map->max_keypermod, numLock) != keys + map->max_keypermod) {
            mask = 1U << static_cast<unsigned>(modifier);
        }
    }
    if (map != nullptr) {
        XFreeModifiermap(map);
    }
    return mask;
}

// Alone, with Lock, with NumLock's modifier and with both: Caps Lock or NumLock on must
// not make the chord another key.
std::vector<ChordGrab> X11LibHotkey::forms(unsigned keycode, unsigned modifiers) const {
    const unsigned numLock = numLockMask();
    std::vector<ChordGrab> all;
    for (const unsigned extra : {0U, unsigned{LockMask}, numLock, LockMask | numLock}) {
        const ChordGrab form{keycode, modifiers | extra};
        if (std::find(all.begin(), all.end(), form) == all.end()) {
            all.push_back(form);
        }
    }
    return all;
}

// The pointer goes on; the keyboard freezes at the press, its keys kept in order by the
// server until the opening takes it.
X11Hotkey::Grab X11LibHotkey::grab(const Chord& chord) {
    const KeyCode keycode = XKeysymToKeycode(connection, chord.keysym);
    if (keycode == 0) {
        ungrabChord(connection, held);
        held.clear();
        XFlush(connection);
        return Grab::NoKey;
    }
    std::vector<ChordGrab> wanted = forms(keycode, chord.modifiers);
    if (wanted == held) {
        return Grab::Held;
    }
    ungrabChord(connection, held);
    accessDenied = false;
    const XErrorHandler previous = XSetErrorHandler(noteDeniedAccess);
    for (const ChordGrab& form : wanted) {
        XGrabKey(connection, static_cast<int>(form.keycode), form.modifiers,
                 DefaultRootWindow(connection), False, GrabModeAsync, GrabModeSync);
    }
    XSync(connection, False);
    XSetErrorHandler(previous);
    held = std::move(wanted);
    if (accessDenied) {
        ungrabChord(connection, held);  // the forms we did get
        held.clear();
        XSync(connection, False);
        return Grab::Taken;
    }
    return Grab::Held;
}

X11Hotkey::Wake X11LibHotkey::wait(const std::vector<int>& descriptors) {
    for (;;) {
        while (XPending(connection) > 0) {
            XEvent event;
            XNextEvent(connection, &event);
            if (event.type == KeyPress) {
                return Wake::Pressed;  // only the chord's grabs bring one
            }
            if (event.type == MappingNotify && event.xmapping.request != MappingPointer) {
                XRefreshKeyboardMapping(&event.xmapping);
                return Wake::Remapped;
            }
        }
        if (awaitInput(connection, descriptors)) {
            return Wake::Descriptor;
        }
    }
}

// The opening ends as a one-shot launcher does when the server goes.
std::unique_ptr<X11Interface> X11LibHotkey::handOver(int chordGivenBack) {
    XSetIOErrorHandler(nullptr);
    auto display = std::make_unique<X11LibX11>(connection, std::move(held), chordGivenBack);
    connection = nullptr;
    return display;
}

void X11LibHotkey::dropConnection() {
    close(ConnectionNumber(connection));
    connection = nullptr;  // what Xlib holds of it goes with the exec that follows
}

void X11LibHotkey::thawKeyboard() {
    XUngrabKeyboard(connection, CurrentTime);
    XFlush(connection);
}
