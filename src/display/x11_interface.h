#pragma once

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
    // Closes the connection: the server frees the keyboard and the window. Nothing is
    // drawn or read after it.
    virtual void disconnect() = 0;
    // The connection's descriptor, which no helper process may keep; -1 when none.
    virtual int descriptor() const = 0;
};

// A display object that holds no connection yet.
std::unique_ptr<X11Interface> createX11Interface();

// A hotkey: X modifier bits (ShiftMask, ControlMask, Mod1Mask to Mod5Mask) and a KeySym.
struct Chord {
    std::uint32_t modifiers = 0;
    std::uint64_t keysym = 0;
};

// The resident's connection: a chord grabbed on the root window, so that the server
// freezes the keyboard at each press and keeps every key typed after it until an opening
// takes the keyboard. Nothing it does waits on a file system.
class X11Hotkey {
public:
    enum class Grab { Held, Taken, NoKey };
    enum class Wake { Pressed, Remapped, Descriptor };

    X11Hotkey() = default;
    X11Hotkey(const X11Hotkey&) = delete;
    X11Hotkey& operator=(const X11Hotkey&) = delete;
    virtual ~X11Hotkey() = default;

    // Connects to the server that DISPLAY names. authority is the connection's
    // authorization as connect found it ("" when not known): given back at a restart, no
    // file is read for it. lost runs when the server goes, and must end the process.
    virtual bool connect(std::string& authority, void (*lost)()) = 0;
    // Takes the chord alone, with Lock, with NumLock's modifier and with both, on the key
    // that carries its KeySym, letting go of any key it held before: Taken when another
    // client holds one of them, NoKey when no key carries the KeySym.
    virtual Grab grab(const Chord& chord) = 0;
    // Until the chord is pressed (the keyboard is then frozen), the keyboard is remapped
    // (grab again), or one of descriptors turns readable.
    virtual Wake wait(const std::vector<int>& descriptors) = 0;
    // In a child after a press: a display on this very connection for the opening. Once
    // it holds the keyboard it lets go of the chord and writes a byte to released.
    virtual std::unique_ptr<X11Interface> handOver(int released) = 0;
    // In the resident after the child has taken the connection: closes the descriptor
    // without a word to the server.
    virtual void abandon() = 0;
    // A press that no opening will take: the keyboard thaws and the keys typed since go
    // where they would have gone.
    virtual void release() = 0;
};

std::unique_ptr<X11Hotkey> createX11Hotkey();
