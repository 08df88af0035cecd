// The fixture brings GoogleTest in before Xlib, whose None macro it must not see.
#include "e2e_fixture.h"

#include <X11/XKBlib.h>

#include <signal.h>

#include <filesystem>

namespace e2e {
namespace {

// A resident started with -hotkey Mod4+p and the recording shell, on a server with no
// window manager.
class ResidentTest : public LaunchTest {
protected:
    void startResident() {
        launcher = start({"-hotkey", "Mod4+p"}, environment(recorderEnv()));
        ASSERT_TRUE(holdsChordOn(XKeysymToKeycode(x().display(), XK_p)))
            << launcher->standardError();
    }
    bool holdsChordOn(KeyCode code) { return x().waitForForeignKeyGrab(code, Mod4Mask); }
};

// Every key typed right after the hotkey, before any window exists, reaches the line;
// none reaches the window that has the focus, which sees only the Super key go down.
TEST_F(ResidentTest, KeysTypedAtOnceAfterTheHotkeyAllReachTheLine) {
    const Window focused = x().coverWith(0, 0, 100, 100, "red");
    XSelectInput(x().display(), focused, KeyPressMask);
    XSetInputFocus(x().display(), focused, RevertToParent, CurrentTime);
    startResident();
    x().key("p", {"Super"});
    play({"xterm", "<Return>"});
    EXPECT_EQ(launchedArgs(), argv("xterm"));
    EXPECT_TRUE(waitUntil([&] { return readFile(history()) == "xterm"; }));
    XEvent event;
    while (XCheckWindowEvent(x().display(), focused, KeyPressMask, &event)) {
        EXPECT_EQ(event.xkey.keycode, XKeysymToKeycode(x().display(), XK_Super_L));
    }
    EXPECT_TRUE(launcher->running()) << launcher->standardError();
    EXPECT_TRUE(holdsChordOn(XKeysymToKeycode(x().display(), XK_p)));
}

TEST_F(ResidentTest, ChordTakenByAnotherClientIsAnError) {
    const Window root = DefaultRootWindow(x().display());
    const KeyCode p = XKeysymToKeycode(x().display(), XK_p);
    XGrabKey(x().display(), p, Mod4Mask | LockMask, root, False, GrabModeAsync, GrabModeAsync);
    XSync(x().display(), False);
    launcher = start({"-hotkey", "Super+p"}, environment());
    expectEnd(*launcher, 1,
              "Error: Hotkey Super+p is taken by another client: remove its other binding (in "
              "the window manager, a hotkey daemon, or another pellacorvine -hotkey)\n");
    XUngrabKey(x().display(), p, Mod4Mask | LockMask, root);
    XSync(x().display(), False);
}

// p moves to a spare key: that key opens the launcher, and the old one no longer does
// (had it, q and the new chord's p would be on the line).
TEST_F(ResidentTest, RemappedKeyboardMovesTheChordToTheNewKey) {
    startResident();
    Display* display = x().display();
    const KeyCode old = XKeysymToKeycode(display, XK_p);
    int low = 0;
    int high = 0;
    XDisplayKeycodes(display, &low, &high);
    int perCode = 0;
    KeySym* map = XGetKeyboardMapping(display, static_cast<KeyCode>(low), high - low + 1, &perCode);
    const std::vector<KeySym> oldRow(map + (old - low) * perCode, map + (old - low + 1) * perCode);
    int spare = high;
    while (spare > low &&
           XkbKeycodeToKeysym(display, static_cast<KeyCode>(spare), 0, 0) != NoSymbol) {
        --spare;
    }
    XFree(map);
    const std::vector<KeySym> none(oldRow.size(), NoSymbol);
    XChangeKeyboardMapping(display, spare, perCode, const_cast<KeySym*>(oldRow.data()), 1);
    XChangeKeyboardMapping(display, old, perCode, const_cast<KeySym*>(none.data()), 1);
    XSync(display, False);
    EXPECT_TRUE(holdsChordOn(static_cast<KeyCode>(spare)));
    x().keycode(old, {"Super"});
    x().type("q");
    x().keycode(static_cast<KeyCode>(spare), {"Super"});
    play({"ls", "<Return>"});
    EXPECT_EQ(launchedArgs(), argv("ls"));
    XChangeKeyboardMapping(display, old, perCode, const_cast<KeySym*>(oldRow.data()), 1);
    XChangeKeyboardMapping(display, spare, perCode, const_cast<KeySym*>(none.data()), 1);
    XSync(display, False);
}

// A press held up (the resident stopped for a moment) while i3lock starts: the opening
// finds the locker as it takes the keyboard, before any key typed meanwhile acts.
TEST_F(ResidentTest, LockerStartedWhileAPressIsHeldUpLocks) {
    startResident();
    kill(launcher->pid(), SIGSTOP);
    x().key("p", {"Super"});
    play({"ls", "<Return>"});
    x().watchForWindows();
    Process locker("/usr/bin/i3lock", {"-n"}, {"DISPLAY=" + displayName()});
    ASSERT_NE(x().waitForMappedWindow(), 0U) << locker.standardError();
    kill(launcher->pid(), SIGCONT);
    const Window opening = x().waitForMappedWindow();
    ASSERT_NE(opening, 0U) << launcher->standardError();
    EXPECT_TRUE(waitUntil([&] {
        XWindowAttributes attributes{};
        return XGetWindowAttributes(x().display(), opening, &attributes) == 0;
    }));
    EXPECT_TRUE(x().waitForForeignGrab(1s));
    EXPECT_TRUE(locker.running()) << locker.standardError();
    // Nothing comes of the line: what ran would have been saved within moments.
    EXPECT_FALSE(waitUntil([&] { return std::filesystem::exists(history()); }, 300ms));
}

}  // namespace
}  // namespace e2e
