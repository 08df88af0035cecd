#pragma once

// The launcher's window on Xlib: the one implementation of X11Interface.
#include <X11/Xlib.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "display/placement.h"
#include "display/x11_hotkey.h"
#include "display/x11_interface.h"

// How many bytes from the start of a line to send: none that begins past the right edge
// (each byte moves the pen by at least minCharWidth, when that is positive) and never more
// than one text request can carry (maxRequestUnits, in 4-byte units).
std::size_t visibleTextBytes(std::size_t length, int windowWidth, int minCharWidth,
                             long maxRequestUnits);

class X11LibX11 final : public X11Interface {
public:
    X11LibX11() = default;
    // On the connection of a resident, which owns it until takeOver.
    explicit X11LibX11(Display* resident) : connection(resident) {}
    X11LibX11(const X11LibX11&) = delete;
    X11LibX11& operator=(const X11LibX11&) = delete;
    ~X11LibX11() override;

    bool openWindow(std::int32_t x, std::int32_t y, std::int32_t width,
                    std::int32_t height) override;
    bool setupGC(const std::string& background, const std::string& foreground,
                 const std::string& fontPattern) override;
    bool grabKeyboard() override;
    bool redraw(const std::string& text, std::uint64_t cursor) override;
    bool nextEvent(InputEvent& event) override;
    bool waitForEvent(const std::vector<int>& descriptors) override;
    void awaitHotkeyHeld() override;
    void disconnect() override;
    int descriptor() const override;

    unsigned long lookupColor(const std::string& name);

    // In the resident: the window every opening shows, made unmapped out of sight, with
    // its colours, graphics contexts and font. False when no font loads.
    bool prepare(const WindowLook& look);
    // In the resident at a press: the prepared window placed and mapped, the roots
    // watched first. openWindow then does neither again.
    void show(std::int32_t x, std::int32_t y);
    // In the resident, for a press no opening will take: the shown window goes again.
    void hide();
    // At a press, in the opening: the connection is its own from now on. Once the
    // keyboard is held it gives the chord back and says so over socket.
    void takeOver(std::vector<ChordGrab> chord, int socket);
    // The connection has gone with the resident's exec: nothing is freed or closed.
    void forgetConnection() { connection = nullptr; }

private:
    void keepConnectionFromChildren();
    void createWindow(std::int32_t x, std::int32_t y);
    Point placed(std::int32_t x, std::int32_t y);
    void mapPlaced(std::int32_t x, std::int32_t y);
    std::size_t drawableBytes(const std::string& text) const;
    XFontStruct* loadFont(const std::string& pattern);
    XFontStruct* loadNamedFont(const std::string& name);
    void setSizeHints();
    void freeWindowParts();
    void prepareKeyLookup();
    void giveChordBack();
    void settle();
    void settleWhenIdle();
    bool tryGrab();
    bool awaitUngrab(std::int64_t nanoseconds);
    void watchFocus();
    void watchFocusOn(Window focused);
    bool focusLost();
    bool isViewable(Window other);
    void holdPointer();
    void watchScreenSaver();
    bool lostToAnother(const XEvent& xevent);
    bool chordRepeats(const XEvent& xevent);

    std::string displayName;
    Display* connection = nullptr;
    GC textGC = nullptr;
    GC fillGC = nullptr;
    Window window = 0;
    XFontStruct* font = nullptr;
    std::int32_t screen = 0;
    std::uint16_t width = 0;
    std::uint16_t height = 0;
    bool painted = false;
    bool prepared = false;            // window, colours, GCs and font made by the resident
    bool shown = false;               // and placed and mapped by it at the press
    std::vector<Area> preparedHeads;  // the monitors as they were at the preparation
    bool settled = false;             // the pointer, the screen saver and the focus watched
    // The focus as last read (a window, PointerRoot or None), and the window of another
    // client whose focus changes are selected for it (None when the roots' serve).
    Window lastFocus = None;
    Window focusWatched = None;
    int screenSaverEvent = -1;  // the extension's notify event type, or -1
    bool lost = false;          // found between events: the next one is Lost
    // What the window takes from its creation on: an exposure during start-up (the
    // helpers' forks happen there) must not be lost, and structure changes tell that
    // another client unmapped or destroyed it.
    static constexpr long windowEvents = KeyPressMask | ExposureMask | StructureNotifyMask;

    // An opening's: the chord's grabs until given back, the socket to the resident, and
    // the chord's key, whose presses are repeats until it is really released.
    std::vector<ChordGrab> chordGrabs;
    int residentSocket = -1;
    unsigned chordKey = 0;
};
