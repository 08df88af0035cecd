#pragma once

#include <X11/Xlib.h>
#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace e2e {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// Polls condition every interval until it holds or the timeout passes: waits for state,
// not for time.
bool waitUntil(const std::function<bool()>& condition, Clock::duration timeout = 10s,
               Clock::duration interval = 2ms);

// A private X server on the first free display, no TCP. command is the server and its
// options; a nested one (Xephyr) shows its screens on hostDisplay.
class XServer {
public:
    explicit XServer(std::vector<std::string> command, const std::string& hostDisplay = {});
    ~XServer();
    XServer(const XServer&) = delete;
    XServer& operator=(const XServer&) = delete;

    const std::string& display() const { return display_; }
    void kill();

private:
    pid_t pid_ = -1;
    std::string display_;
};

// Xvfb at 800x600x24 with no backing store, so that a covered window must repaint itself.
class Xvfb : public XServer {
public:
    Xvfb() : XServer({"Xvfb", "-bs", "-screen", "0", "800x600x24"}) {}
};

// A program run with exactly the given arguments and environment, descriptors 0 to 2 only;
// standard output and standard error go to files read back afterwards.
class Process {
public:
    // beforeExec runs in the child just before the program starts (limits, user ids).
    Process(const std::string& program, const std::vector<std::string>& arguments,
            const std::vector<std::string>& environment,
            const std::function<void()>& beforeExec = {});
    ~Process();
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;

    pid_t pid() const { return pid_; }
    bool running();
    // The exit status, or nothing when the process did not exit normally in time.
    std::optional<int> waitExit(Clock::duration timeout = 10s);
    std::string standardError() const;
    std::string standardOutput() const;

private:
    pid_t pid_ = -1;
    std::optional<int> status_;
    std::string outputDir_;
};

// The pixels of a window, 0xRRGGBB each.
struct Image {
    int width = 0;
    int height = 0;
    std::vector<std::uint32_t> pixels;
    std::uint32_t at(int x, int y) const { return pixels[static_cast<std::size_t>(y * width + x)]; }
};

// The test's own connection to the server: watches for the launcher's window, probes the
// grab, types through XTEST and reads pixels back.
class XSession {
public:
    explicit XSession(const std::string& display);
    ~XSession();
    XSession(const XSession&) = delete;
    XSession& operator=(const XSession&) = delete;

    Display* display() const { return display_; }
    // Call before starting the launcher, so that its MapNotify is not missed.
    void watchForWindows();
    // The next override-redirect window mapped on the root (not one of ours), or 0.
    Window waitForMappedWindow(Clock::duration timeout = 10s);
    // An override-redirect window already mapped on the root (not one of ours), or 0.
    Window findMappedWindow();
    // True once another client holds the keyboard.
    bool waitForForeignGrab(Clock::duration timeout = 10s);
    // True once another client holds a passive grab of the key with exactly modifiers.
    bool waitForForeignKeyGrab(KeyCode code, unsigned modifiers, Clock::duration timeout = 10s);
    // True once another client holds the pointer.
    bool waitForForeignPointerGrab(Clock::duration timeout = 10s);
    bool holdKeyboard();
    void releaseKeyboard();

    // Presses and releases a key given by keysym name, with modifiers held
    // ("Shift", "Control", "Alt", "Super").
    void key(const std::string& keysymName, const std::vector<std::string>& modifiers = {});
    void type(const std::string& ascii);
    // Presses and releases a key by its code, with modifiers held.
    void keycode(KeyCode code, const std::vector<std::string>& modifiers = {});
    // Moves the pointer to (x, y) on the root window and clicks a button there (4 and 5
    // are the wheel).
    void clickAt(int x, int y, unsigned button = 1);
    // Binds each keysym alone to a spare keycode, so that it arrives without modifiers
    // (the keypad digits otherwise need NumLock); call before the launcher starts.
    void mapKeysyms(const std::vector<KeySym>& keysyms);
    // The XKB layouts, as setxkbmap names them ("us,ru"), with group locked to the given
    // one (0 for the first). Keys bound by mapKeysyms are gone then.
    void useLayouts(const std::string& layouts, int group);

    // What the screen shows where the window lies (it must lie within the screen).
    Image capture(Window window);
    std::uint32_t pixelValue(const std::string& colourName);
    Window coverWith(int x, int y, int width, int height, const std::string& colourName);
    // An override-redirect window of ours, mapped or not, as a screen locker makes one.
    Window overrideRedirect(int x, int y, int width, int height, bool mapped);
    // A window a window manager would manage, mapped.
    Window ordinaryWindow(int x, int y, int width, int height);
    // Destroys every window made above, so that none outlives its test.
    void destroyOwnWindows();

private:
    void sendKeysym(KeySym keysym, std::vector<KeySym> modifiers);
    void sendKeycode(KeyCode code, const std::vector<KeySym>& modifiers);
    Window makeWindow(int x, int y, int width, int height, unsigned long background,
                      bool overrideRedirect = true, bool mapped = true);

    Display* display_ = nullptr;
    Window probe_ = 0;
    std::vector<Window> own_;
    std::map<KeySym, KeyCode> dedicated_;
};

// Writes an image as an uncompressed PNG.
bool writePng(const Image& image, const std::string& path);

}  // namespace e2e
