#pragma once

// The resident's hold of its hotkey: a chord grabbed on the root window, so that the server
// freezes the keyboard at each press and keeps every key typed after it until an opening
// takes the keyboard. Nothing here waits on a file system.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "display/x11_interface.h"

// Xlib's own name for its Display, declared so that the application sees no Xlib.
struct _XDisplay;  // NOLINT(bugprone-reserved-identifier)

// A hotkey: X modifier bits (ShiftMask, ControlMask, Mod1Mask to Mod5Mask) and a KeySym.
struct Chord {
    std::uint32_t modifiers = 0;
    std::uint64_t keysym = 0;
};

// A passive grab of the chord: its key, with the chord's modifiers and one combination of
// the lock modifiers.
struct ChordGrab {
    unsigned keycode;
    unsigned modifiers;
    bool operator==(const ChordGrab&) const = default;
};

// Lets go of each grab on the default root; what the server has not yet been told of.
void ungrabChord(_XDisplay* connection, const std::vector<ChordGrab>& grabs);

// Every form of the chord: its modifiers with each combination of the lock modifiers
// (Lock, and those that NumLock and Scroll Lock are on), so that a lock left on does not
// make the chord another key.
std::vector<ChordGrab> chordForms(unsigned keycode, unsigned modifiers,
                                  const std::vector<unsigned>& locks);

// The modifier bit a key is on in a modifier map (8 rows of perModifier keycodes, 0 for
// none, as XModifierKeymap lays them out); 0 when it is on none.
unsigned modifierOfKey(const unsigned char* map, int perModifier, unsigned keycode);

// A resident and each of its openings share a socket pair. The opening sends
// chordGivenBack once it holds the keyboard and has let go of the chord; the resident
// sends chordHeld once it holds the chord again. Neither side's send raises SIGPIPE, so
// either outlives the other.
inline constexpr char chordGivenBack = 'r';
inline constexpr char chordHeld = 'h';
bool makeOpeningSockets(int ends[2]);
void sendToOtherSide(int socket, char byte);

// What every opening's window looks like, to be made before the press, and where it goes
// (a negative x or y centres it on the monitor in use).
struct WindowLook {
    std::int32_t x = -1;
    std::int32_t y = -1;
    std::int32_t width = 0;
    std::int32_t height = 0;
    std::string background;
    std::string foreground;
    std::vector<std::string> fonts;  // tried in turn
};

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
    // file is read for it. lost runs when the server goes, and must end the process. A
    // key held down repeats as presses alone on this connection, with no releases between.
    virtual bool connect(std::string& authority, void (*lost)()) = 0;
    // Takes the chord in every form that the lock modifiers make, on the key that carries
    // its KeySym, letting go of any key it held before: Taken when another client holds
    // one of them, NoKey when no key carries the KeySym.
    virtual Grab grab(const Chord& chord) = 0;
    // Until the chord is pressed (the keyboard is then frozen), the keyboard is remapped
    // (grab again), or one of descriptors turns readable.
    virtual Wake wait(const std::vector<int>& descriptors) = 0;
    // In a child after a press: a display on this very connection for the opening, which
    // talks to the resident over socket.
    virtual std::unique_ptr<X11Interface> handOver(int socket) = 0;
    // In the resident after the child has taken the connection over: closes the
    // descriptor without a word to the server.
    virtual void dropConnection() = 0;
    // A press that no opening will take: the window shown for it goes, the keyboard thaws
    // and the keys typed since go where they would have gone.
    virtual void thawKeyboard() = 0;
    // Makes the window every opening shows (unmapped, out of sight), its colours, its
    // graphics contexts and the first of the fonts that loads, so that a press only places,
    // maps and grabs: what handOver gives the opening. False when no font loads; the
    // opening then makes its own.
    virtual bool prepare(const WindowLook& look) = 0;
    // At a press, before the hand-over: the prepared window placed where the one-shot
    // launcher's would go, as the monitors and the focus are now, and mapped, so that it
    // shows while the opening starts. Nothing without a prepared window.
    virtual void showWindow() = 0;
};

std::unique_ptr<X11Hotkey> createX11Hotkey();

// The resident's side of the hotkey on Xlib.
class X11LibHotkey final : public X11Hotkey {
public:
    X11LibHotkey() = default;
    ~X11LibHotkey() override;
    X11LibHotkey(const X11LibHotkey&) = delete;
    X11LibHotkey& operator=(const X11LibHotkey&) = delete;

    bool connect(std::string& authority, void (*lost)()) override;
    Grab grab(const Chord& chord) override;
    Wake wait(const std::vector<int>& descriptors) override;
    std::unique_ptr<X11Interface> handOver(int socket) override;
    void dropConnection() override;
    void thawKeyboard() override;
    bool prepare(const WindowLook& wanted) override;
    void showWindow() override;

private:
    std::vector<unsigned> lockModifiers() const;

    _XDisplay* connection = nullptr;
    std::vector<ChordGrab> held;
    std::unique_ptr<class X11LibX11> prepared;
    WindowLook look;
};
