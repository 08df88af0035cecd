// The resident's connection: the chord's passive grabs, the wait for a press, and the
// hand-over of the connection to the opening at each press.
#include "display/x11_hotkey.h"

#include <X11/XKBlib.h>
#include <X11/Xlib.h>
#include <X11/keysym.h>
#include <fcntl.h>
#include <sys/socket.h>
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

std::vector<ChordGrab> chordForms(unsigned keycode, unsigned modifiers,
                                  const std::vector<unsigned>& locks) {
    std::vector<ChordGrab> all;
    for (unsigned subset = 0; subset < (1U << locks.size()); ++subset) {
        unsigned extra = 0;
        for (std::size_t i = 0; i < locks.size(); ++i) {
            extra |= (subset >> i & 1U) != 0 ? locks[i] : 0;
        }
        const ChordGrab form{keycode, modifiers | extra};
        if (std::find(all.begin(), all.end(), form) == all.end()) {
            all.push_back(form);
        }
    }
    return all;
}

unsigned modifierOfKey(const unsigned char* map, int perModifier, unsigned keycode) {
    for (unsigned modifier = 0; keycode != 0 && modifier < 8; ++modifier) {
        const unsigned char* keys = map + static_cast<std::ptrdiff_t>(modifier) * perModifier;
        if (std::find(keys, keys + perModifier, keycode) != keys + perModifier) {
            return 1U << modifier;
        }
    }
    return 0;
}

bool makeOpeningSockets(int ends[2]) {
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, ends) != 0) {
        return false;
    }
    for (int end = 0; end < 2; ++end) {
        fcntl(ends[end], F_SETFD, FD_CLOEXEC);
#if !defined(MSG_NOSIGNAL) && defined(SO_NOSIGPIPE)
        const int on = 1;
        setsockopt(ends[end], SOL_SOCKET, SO_NOSIGPIPE, &on, sizeof on);
#endif
    }
    return true;
}

void sendToOtherSide(int socket, char byte) {
#ifdef MSG_NOSIGNAL
    constexpr int noSignal = MSG_NOSIGNAL;
#else
    constexpr int noSignal = 0;  // SO_NOSIGPIPE, set on the socket
#endif
    if (send(socket, &byte, 1, noSignal | MSG_DONTWAIT) < 0) {
        // The other side has gone, or has not read the last byte: either way it knows.
    }
}

std::unique_ptr<X11Hotkey> createX11Hotkey() { return std::make_unique<X11LibHotkey>(); }

X11LibHotkey::~X11LibHotkey() {
    if (prepared) {
        prepared->forgetConnection();
    }
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
    // The opening that takes the connection over tells a held chord's repeats from new
    // presses.
    XkbSetDetectableAutoRepeat(connection, True, nullptr);
    whenLost = lost;
    XSetIOErrorHandler(serverLost);
    return true;
}

// Lock, and the modifiers that NumLock and Scroll Lock are on in the live map.
std::vector<unsigned> X11LibHotkey::lockModifiers() const {
    std::vector<unsigned> locks = {LockMask};
    XModifierKeymap* map = XGetModifierMapping(connection);
    if (map == nullptr) {
        return locks;
    }
    for (const KeySym lock : {XK_Num_Lock, XK_Scroll_Lock}) {
        const unsigned modifier =
            modifierOfKey(map->modifiermap, map->max_keypermod, XKeysymToKeycode(connection, lock));
        if (modifier != 0) {
            locks.push_back(modifier);
        }
    }
    XFreeModifiermap(map);
    return locks;
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
    std::vector<ChordGrab> wanted = chordForms(keycode, chord.modifiers, lockModifiers());
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
std::unique_ptr<X11Interface> X11LibHotkey::handOver(int socket) {
    XSetIOErrorHandler(nullptr);
    std::unique_ptr<X11LibX11> display =
        prepared ? std::move(prepared) : std::make_unique<X11LibX11>(connection);
    display->takeOver(std::move(held), socket);
    connection = nullptr;
    return display;
}

void X11LibHotkey::dropConnection() {
    if (prepared) {
        prepared->forgetConnection();
    }
    close(ConnectionNumber(connection));
    connection = nullptr;  // what Xlib holds of it goes with the exec that follows
}

void X11LibHotkey::thawKeyboard() {
    if (prepared) {
        prepared->hide();
    }
    XUngrabKeyboard(connection, CurrentTime);
    XFlush(connection);
}

bool X11LibHotkey::prepare(const WindowLook& wanted) {
    auto window = std::make_unique<X11LibX11>(connection);
    if (!window->prepare(wanted)) {
        window->forgetConnection();
        return false;
    }
    prepared = std::move(window);
    look = wanted;
    return true;
}

void X11LibHotkey::showWindow() {
    if (prepared) {
        prepared->show(look.x, look.y);
    }
}
