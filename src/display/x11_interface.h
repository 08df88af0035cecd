#pragma once

// The application's one way to the window system, and the event record it reads.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

// <X11/X.h> defines Expose as a macro; keep it out of the enumerator whatever the
// include order.
#pragma push_macro("Expose")
#undef Expose
// Lost: another client took the window, the keyboard or the user's attention (a screen
// locker, a click elsewhere): the launcher leaves as on Escape.
enum class EventKind : std::int32_t { Expose = 0, Key = 1, Other = 2, Lost = 3 };
#pragma pop_macro("Expose")

// One X event as the application sees it; keysym and state are written for Key only.
struct InputEvent {
    EventKind kind = EventKind::Other;
    std::uint16_t keysym = 0;
    std::uint32_t state = 0;
};

// The application's only way to the window system. Every failure is a false result.
class X11Interface {
public:
    X11Interface() = default;
    X11Interface(const X11Interface&) = delete;
    X11Interface& operator=(const X11Interface&) = delete;
    virtual ~X11Interface() = default;

    virtual bool openWindow(std::int32_t x, std::int32_t y, std::int32_t width,
                            std::int32_t height) = 0;
    virtual bool setupGC(const std::string& background, const std::string& foreground,
                         const std::string& fontPattern) = 0;
    virtual bool grabKeyboard() = 0;
    virtual bool redraw(const std::string& text, std::uint64_t cursor) = 0;
    virtual bool nextEvent(InputEvent& event) = 0;
    // Waits until an event is queued (true) or one of descriptors turns readable first
    // (false); a descriptor of -1 is none.
    virtual bool waitForEvent(const std::vector<int>& descriptors) = 0;
    // Before a way out that the user chose (Escape, Return, a bookmark): on a display that
    // a hotkey opened, waits a moment until the hotkey is held again, so that a press right
    // after the window has gone opens the next one. Nothing on a display of its own.
    virtual void awaitHotkeyHeld() {}
    // Closes the connection: the server frees the keyboard and the window. Nothing is
    // drawn or read after it.
    virtual void disconnect() = 0;
    // The connection's descriptor, which no helper process may keep; -1 when none.
    virtual int descriptor() const = 0;
};

// A display object that holds no connection yet.
std::unique_ptr<X11Interface> createX11Interface();
