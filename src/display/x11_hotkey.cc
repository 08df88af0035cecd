// The resident's connection: the chord's passive grabs, and the hand-over at each press.
#include <X11/Xlib.h>
#include <X11/keysym.h>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <fstream>
#include <iterator>
#include <stdexcept>

#include "app/require_env.h"
#include "display/x11_lib_x11.h"

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

constexpr std::uint16_t familyLocal = 256;
constexpr std::uint16_t familyWild = 65535;
constexpr char cookieName[] = "MIT-MAGIC-COOKIE-1";

// What connect says of a server that needed no cookie of the file.
constexpr char noAuthority[] = "none";

bool readCounted(std::istream& in, std::string& field) {
    unsigned char length[2];
    if (!in.read(reinterpret_cast<char*>(length), 2)) {
        return false;
    }
    field.assign(static_cast<std::size_t>(length[0] << 8 | length[1]), '\0');
    return static_cast<bool>(in.read(field.data(), static_cast<std::streamsize>(field.size())));
}

// The cookie a connection to the local display of that number uses, as "name\0data";
// noAuthority where the file has none, "" where the display is not local.
std::string localAuthority(const std::string& display) {
    const auto colon = display.rfind(':');
    const std::string host = colon == std::string::npos ? "" : display.substr(0, colon);
    if (colon == std::string::npos || (!host.empty() && host != "unix")) {
        return {};
    }
    const std::string number = display.substr(colon + 1, display.find('.', colon) - colon - 1);
    char hostName[256] = {};
    gethostname(hostName, sizeof hostName - 1);
    const char* named = std::getenv("XAUTHORITY");
    const char* home = std::getenv("HOME");
    std::ifstream in(named != nullptr ? std::string(named)
                                      : std::string(home != nullptr ? home : "") + "/.Xauthority",
                     std::ios::binary);
    unsigned char family[2];
    std::string address;
    std::string entryNumber;
    std::string name;
    std::string data;
    while (in.read(reinterpret_cast<char*>(family), 2) && readCounted(in, address) &&
           readCounted(in, entryNumber) && readCounted(in, name) && readCounted(in, data)) {
        const auto kind = static_cast<std::uint16_t>(family[0] << 8 | family[1]);
        if (name == cookieName && (entryNumber.empty() || entryNumber == number) &&
            (kind == familyWild || (kind == familyLocal && address == hostName))) {
            return name.append(1, '\0').append(data);
        }
    }
    return noAuthority;
}

// Connects with the cookie given, or with none, reading no file: libXau reads the one
// XAUTHORITY names when it connects.
Display* openWithAuthority(const std::string& display, const std::string& authority) {
    if (authority == noAuthority) {
        const char* named = std::getenv("XAUTHORITY");
        const std::string kept = named != nullptr ? named : "";
        setenv("XAUTHORITY", "/dev/null", 1);
        Display* connection = XOpenDisplay(display.c_str());
        named != nullptr ? setenv("XAUTHORITY", kept.c_str(), 1) : unsetenv("XAUTHORITY");
        return connection;
    }
    const auto end = authority.find('\0');
    std::string name = authority.substr(0, end);
    std::string data = end == std::string::npos ? "" : authority.substr(end + 1);
    XSetAuthorization(name.data(), static_cast<int>(name.size()), data.data(),
                      static_cast<int>(data.size()));
    Display* connection = XOpenDisplay(display.c_str());
    XSetAuthorization(nullptr, 0, nullptr, 0);
    return connection;
}

}  // namespace

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
        connection = openWithAuthority(name, authority);
    }
    if (connection == nullptr) {
        connection = XOpenDisplay(name.c_str());
        authority = connection == nullptr ? "" : localAuthority(name);
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

void X11LibHotkey::letGoOfChord() {
    for (const ChordGrab& form : held) {
        XUngrabKey(connection, static_cast<int>(form.keycode), form.modifiers,
                   DefaultRootWindow(connection));
    }
    held.clear();
}

// The pointer goes on; the keyboard freezes at the press, its keys kept in order by the
// server until the opening takes it.
X11Hotkey::Grab X11LibHotkey::grab(const Chord& chord) {
    const KeyCode keycode = XKeysymToKeycode(connection, chord.keysym);
    if (keycode == 0) {
        letGoOfChord();
        XFlush(connection);
        return Grab::NoKey;
    }
    std::vector<ChordGrab> wanted = forms(keycode, chord.modifiers);
    if (wanted == held) {
        return Grab::Held;
    }
    letGoOfChord();
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
        letGoOfChord();  // of the forms we did get
        XSync(connection, False);
        return Grab::Taken;
    }
    return Grab::Held;
}

X11Hotkey::Wake X11LibHotkey::wait(const std::vector<int>& descriptors) {
    std::vector<pollfd> sources = {{ConnectionNumber(connection), POLLIN, 0}};
    for (const int descriptor : descriptors) {
        sources.push_back({descriptor, POLLIN, 0});
    }
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
        if (poll(sources.data(), sources.size(), -1) > 0 &&
            std::any_of(sources.begin() + 1, sources.end(),
                        [](const pollfd& source) { return source.revents != 0; })) {
            return Wake::Descriptor;
        }
    }
}

// The opening ends as a one-shot launcher does when the server goes.
std::unique_ptr<X11Interface> X11LibHotkey::handOver(int released) {
    XSetIOErrorHandler(nullptr);
    auto display = std::make_unique<X11LibX11>(connection, std::move(held), released);
    connection = nullptr;
    return display;
}

void X11LibHotkey::abandon() {
    close(ConnectionNumber(connection));
    connection = nullptr;  // what Xlib holds of it goes with the exec that follows
}

void X11LibHotkey::release() {
    XUngrabKeyboard(connection, CurrentTime);
    XFlush(connection);
}
