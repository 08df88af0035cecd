// The launcher's window on Xlib: connection, window, colours, font, drawing and keys.
#include "display/x11_lib_x11.h"

#include <X11/Xutil.h>
#include <X11/keysym.h>
#include <fcntl.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <stdexcept>

#include "app/require_env.h"
#include "display/x11_lockers.h"
#include "display/x11_tree.h"

namespace {

// Keys typed between the window manager's release and our next try go astray: try often.
constexpr long grabIntervalNanoseconds = 1000000;           // 1 ms between tries
constexpr std::int64_t grabBudgetNanoseconds = 3000000000;  // give up after 3 s

constexpr int textLeft = 2;  // the pen's start, in pixels from the window's left edge

// A PolyText8 request: 16 bytes of header, then items of at most 254 bytes, 2 more each.
constexpr std::size_t textRequestHeaderBytes = 16;
constexpr std::size_t textItemBytes = 254;
constexpr std::size_t textItemHeaderBytes = 2;

// A colour or font name travels with a 16-bit byte count: a longer one would be cut, and
// past four times 65,535 bytes its request's length would wrap as well.
constexpr std::size_t maxNameBytes = 0xFFFF;

// A window's width and height travel as 16 bits each.
constexpr std::int32_t maxWindowSide = 0xFFFF;

// The pattern with its last two fields, charset registry and encoding, set to iso8859
// and 1; empty when it has fewer than two fields.
std::string withLatin1Charset(const std::string& pattern) {
    const auto encoding = pattern.rfind('-');
    const auto registry = encoding == 0 || encoding == std::string::npos
                              ? std::string::npos
                              : pattern.rfind('-', encoding - 1);
    return registry == std::string::npos ? "" : pattern.substr(0, registry) + "-iso8859-1";
}

XErrorHandler xlibErrorHandler = nullptr;

// A window of another client (the focus, or its frame), or ours destroyed by another
// client, may be gone by the time we ask about it or draw: that is no error of ours.
int ignoreVanishedWindows(Display* display, XErrorEvent* error) {
    if (error->error_code == BadWindow || error->error_code == BadDrawable) {
        return 0;
    }
    return xlibErrorHandler(display, error);
}

void keepVanishedWindowsHarmless() {
    const XErrorHandler previous = XSetErrorHandler(ignoreVanishedWindows);
    if (previous != ignoreVanishedWindows) {
        xlibErrorHandler = previous;
    }
}

}  // namespace

std::size_t visibleTextBytes(std::size_t length, int windowWidth, int minCharWidth,
                             long maxRequestUnits) {
    const auto requestBytes = static_cast<std::size_t>(maxRequestUnits) * 4;
    std::size_t count = requestBytes <= textRequestHeaderBytes
                            ? 0
                            : (requestBytes - textRequestHeaderBytes) /
                                  (textItemBytes + textItemHeaderBytes) * textItemBytes;
    if (minCharWidth > 0) {
        // Byte i begins at least i * minCharWidth right of the pen's start.
        const int room = std::max(0, windowWidth - textLeft);
        count = std::min(count, static_cast<std::size_t>((room + minCharWidth - 1) / minCharWidth));
    }
    return std::min(count, length);
}

std::unique_ptr<X11Interface> createX11Interface() { return std::make_unique<X11LibX11>(); }

void X11LibX11::takeOver(std::vector<ChordGrab> chord, int socket) {
    chordGrabs = std::move(chord);
    residentSocket = socket;
    chordKey = chordGrabs.empty() ? 0 : chordGrabs.front().keycode;
}

// Out of sight until a press places it: a window as large as a monitor, made at the screen's
// corner, would look like a locker's to an opening still open.
bool X11LibX11::prepare(const WindowLook& look) {
    screen = DefaultScreen(connection);
    width = static_cast<std::uint16_t>(look.width);
    height = static_cast<std::uint16_t>(look.height);
    createWindow(-look.width, -look.height);
    preparedHeads = monitorsOf(connection);
    prepared = std::any_of(look.fonts.begin(), look.fonts.end(), [&](const std::string& name) {
        return setupGC(look.background, look.foreground, name);
    });
    if (prepared) {
        prepareKeyLookup();  // the keyboard map, loaded into what the opening inherits
    } else {
        freeWindowParts();
    }
    XFlush(connection);
    return prepared;
}

X11LibX11::~X11LibX11() { disconnect(); }

// In the reverse order of creation; the server frees the keyboard and the window as soon
// as the connection closes.
void X11LibX11::disconnect() {
    if (connection == nullptr) {
        return;
    }
    XUngrabPointer(connection, CurrentTime);
    XUngrabKeyboard(connection, CurrentTime);
    freeWindowParts();
    XCloseDisplay(connection);
    connection = nullptr;
}

void X11LibX11::freeWindowParts() {
    if (font != nullptr) {
        XFreeFont(connection, font);
        font = nullptr;
    }
    for (GC* context : {&textGC, &fillGC}) {
        if (*context != nullptr) {
            XFreeGC(connection, *context);
            *context = nullptr;
        }
    }
    if (window != 0) {
        XDestroyWindow(connection, window);
        window = 0;
    }
}

int X11LibX11::descriptor() const {
    return connection == nullptr ? -1 : ConnectionNumber(connection);
}

bool X11LibX11::openWindow(std::int32_t x, std::int32_t y, std::int32_t newWidth,
                           std::int32_t newHeight) {
    width = static_cast<std::uint16_t>(newWidth);
    height = static_cast<std::uint16_t>(newHeight);
    if (newWidth < 1 || newHeight < 1 || newWidth > maxWindowSide || newHeight > maxWindowSide) {
        return false;  // the server would refuse it, and Xlib end the process
    }
    if (connection == nullptr) {  // else an opening's, already connected
        try {
            displayName = requireEnv("DISPLAY");
        } catch (const std::runtime_error&) {
            return false;
        }
        connection = XOpenDisplay(displayName.c_str());
        if (connection == nullptr) {
            return false;
        }
    }
    keepConnectionFromChildren();
    keepVanishedWindowsHarmless();
    screen = DefaultScreen(connection);
    if (!shown) {
        mapPlaced(x, y);
    }
    return true;
}

// With one monitor or none at the preparation, the window maps where it would have gone
// then, without a question to the server, and moves only should the monitors have changed
// since: all before the opening paints it. With several, the focus and the pointer decide,
// so they are asked first.
void X11LibX11::show(std::int32_t x, std::int32_t y) {
    keepVanishedWindowsHarmless();  // the focus asked about may go meanwhile
    if (preparedHeads.size() >= 2 || (x >= 0 && y >= 0)) {
        mapPlaced(x, y);
    } else {
        const Point then =
            placeWindow(monitorInUse(connection, screen, preparedHeads), x, y, width, height);
        XMoveWindow(connection, window, then.x, then.y);
        XMapWindow(connection, window);
        XFlush(connection);
        watchRoots(connection);
        if (const Point now = placed(x, y); now.x != then.x || now.y != then.y) {
            XMoveWindow(connection, window, now.x, now.y);
        }
    }
    XFlush(connection);
    shown = true;
}

void X11LibX11::hide() {
    if (shown) {
        XUnmapWindow(connection, window);
        shown = false;
    }
}

// A negative x or y centres the window on the monitor in use, as it is now.
Point X11LibX11::placed(std::int32_t x, std::int32_t y) {
    return x < 0 || y < 0 ? placeWindow(monitorInUse(connection, screen), x, y, width, height)
                          : Point{x, y};
}

// The roots are watched from the map on, before the grab: a locker that starts from then
// on is seen. Selected after the map, they cost the map nothing.
void X11LibX11::mapPlaced(std::int32_t x, std::int32_t y) {
    const Point place = placed(x, y);
    if (window == 0) {
        createWindow(place.x, place.y);
    } else {
        XMoveWindow(connection, window, place.x, place.y);  // made before the press
    }
    XMapWindow(connection, window);
    watchRoots(connection);
}

// Override-redirect and of a fixed size: a window manager that reads the hints must not
// resize it.
void X11LibX11::createWindow(std::int32_t x, std::int32_t y) {
    XSetWindowAttributes attributes{};
    attributes.override_redirect = True;
    attributes.event_mask = windowEvents;
    window = XCreateWindow(connection, RootWindow(connection, screen), x, y, width, height, 0,
                           CopyFromParent, InputOutput, CopyFromParent,
                           CWOverrideRedirect | CWEventMask, &attributes);
    setSizeHints();
}

// Minimum equal to maximum.
void X11LibX11::setSizeHints() {
    XSizeHints hints{};
    hints.flags = PMinSize | PMaxSize;
    hints.min_width = hints.max_width = width;
    hints.min_height = hints.max_height = height;
    XSetWMNormalHints(connection, window, &hints);
}

// A launched command must not inherit the connection to the X server.
void X11LibX11::keepConnectionFromChildren() {
    const int descriptor = ConnectionNumber(connection);
    const int flags = fcntl(descriptor, F_GETFD);
    if (flags >= 0 && (flags & FD_CLOEXEC) == 0) {
        fcntl(descriptor, F_SETFD, flags | FD_CLOEXEC);
    }
}

unsigned long X11LibX11::lookupColor(const std::string& name) {
    // Zeroed, so a name the server cannot resolve gives pixel 0 rather than garbage.
    XColor color{};
    if (name.size() > maxNameBytes) {
        return color.pixel;
    }
    const Colormap colormap = DefaultColormap(connection, screen);
    XParseColor(connection, colormap, name.c_str(), &color);
    XAllocColor(connection, colormap, &color);
    return color.pixel;
}

bool X11LibX11::setupGC(const std::string& background, const std::string& foreground,
                        const std::string& fontPattern) {
    if (prepared) {
        return true;  // by the resident, before the press, with these very settings
    }
    const unsigned long backgroundPixel = lookupColor(background);
    const unsigned long foregroundPixel = lookupColor(foreground);
    if (textGC == nullptr) {  // made by a try with another font
        textGC = XCreateGC(connection, window, 0, nullptr);
    }
    XSetForeground(connection, textGC, foregroundPixel);
    XSetBackground(connection, textGC, backgroundPixel);
    XSetLineAttributes(connection, textGC, 1, LineSolid, CapButt, JoinBevel);
    font = loadFont(fontPattern);
    if (font == nullptr) {
        return false;
    }
    XSetFont(connection, textGC, font->fid);
    fillGC = XCreateGC(connection, window, 0, nullptr);
    XSetForeground(connection, fillGC, backgroundPixel);
    XSetBackground(connection, fillGC, backgroundPixel);
    return true;
}

// The line is Latin-1 bytes: a font with those glyphs first, else the pattern as given.
// Left open, the charset fields let the server pick a Korean or Arabic font that shows
// nothing of the line.
XFontStruct* X11LibX11::loadFont(const std::string& pattern) {
    XFontStruct* loaded = loadNamedFont(withLatin1Charset(pattern));
    return loaded != nullptr ? loaded : loadNamedFont(pattern);
}

XFontStruct* X11LibX11::loadNamedFont(const std::string& name) {
    return !name.empty() && name.size() <= maxNameBytes ? XLoadQueryFont(connection, name.c_str())
                                                        : nullptr;
}

// The first try at once, right after the map: a window manager that has let go of the
// keyboard by then costs us no pause. After that, a try as soon as another client's grab
// ends (its focus events say so), and at least every millisecond.
bool X11LibX11::grabKeyboard() {
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::nanoseconds(grabBudgetNanoseconds);
    if (tryGrab()) {
        return true;
    }
    watchFocus();
    while (Clock::now() < deadline) {
        awaitUngrab(std::min<std::int64_t>(
            grabIntervalNanoseconds, std::chrono::nanoseconds(deadline - Clock::now()).count()));
        if (tryGrab()) {
            return true;
        }
    }
    return false;
}

bool X11LibX11::redraw(const std::string& text, std::uint64_t cursor) {
    const int ascent = font->ascent;
    const int descent = font->descent;
    const int textWidth = XTextWidth(font, text.data(), static_cast<int>(cursor));
    XFillRectangle(connection, window, fillGC, 0, 0, width, height);
    XDrawRectangle(connection, window, textGC, 0, 0, width - 1U, height - 1U);
    XDrawString(connection, window, textGC, textLeft, ascent + descent + 2, text.data(),
                static_cast<int>(drawableBytes(text)));
    const int cursorY = ascent + descent + 4;
    XDrawLine(connection, window, textGC, textWidth + textLeft, cursorY, textWidth + textLeft + 10,
              cursorY);
    XFlush(connection);
    if (!painted) {
        painted = true;
        prepareKeyLookup();
    }
    return true;
}

// A line longer than the window is cut where it cannot show, so the request stays within
// what the server accepts.
std::size_t X11LibX11::drawableBytes(const std::string& text) const {
    return visibleTextBytes(text.size(), width, font->min_bounds.width,
                            XMaxRequestSize(connection));
}
