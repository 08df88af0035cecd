// The fixture brings GoogleTest in before Xlib, whose None macro it must not see.
#include "e2e_fixture.h"

#include <X11/XKBlib.h>
#include <X11/extensions/XTest.h>

#include <fcntl.h>
#include <signal.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

namespace e2e {
namespace {

// The children of parent, as /proc tells them, with their states ('Z' for a zombie).
std::vector<std::pair<pid_t, char>> childrenOf(pid_t parent) {
    std::vector<std::pair<pid_t, char>> children;
    for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
        std::ifstream stat(entry.path() / "stat");
        std::string pid;
        std::string name;
        char state = 0;
        pid_t ppid = 0;
        if (stat >> pid >> name >> state >> ppid && ppid == parent) {
            children.emplace_back(std::stoi(pid), state);
        }
    }
    return children;
}

// A resident started with -hotkey Mod4+p and the recording shell, on a server with no
// window manager.
class ResidentTest : public LaunchTest {
protected:
    void startResident(const std::vector<std::string>& extraEnv = {},
                       const std::function<void()>& beforeExec = {}) {
        std::vector<std::string> env = recorderEnv();
        env.insert(env.end(), extraEnv.begin(), extraEnv.end());
        launcher = start({"-hotkey", "Mod4+p"}, environment(env), beforeExec);
        ASSERT_TRUE(holdsChord()) << launcher->standardError();
    }
    KeyCode code(KeySym keysym) { return XKeysymToKeycode(x().display(), keysym); }
    bool holdsChordOn(KeyCode key) { return x().waitForForeignKeyGrab(key, Mod4Mask); }
    bool holdsChord() { return holdsChordOn(code(XK_p)); }
    // Presses the chord; true once an opening's window shows and holds the keyboard.
    bool opens() {
        x().watchForWindows();
        x().key("p", {"Super"});
        opened = x().waitForMappedWindow();
        return opened != 0 && x().waitForForeignGrab();
    }
    bool openedWindowGone() {
        XWindowAttributes attributes{};
        return XGetWindowAttributes(x().display(), opened, &attributes) == 0;
    }
    // The arguments of the command that line ran, its record removed for the next.
    std::string run(const std::string& line) {
        play({line, "<Return>"});
        const std::string arguments = launchedArgs();
        std::filesystem::remove(record());
        return arguments;
    }
    // The key's row of the keyboard map, and the key given another row.
    std::vector<KeySym> rowOf(KeyCode key) {
        int perCode = 0;
        KeySym* row = XGetKeyboardMapping(x().display(), key, 1, &perCode);
        std::vector<KeySym> kept(row, row + perCode);
        XFree(row);
        return kept;
    }
    void remap(KeyCode key, std::vector<KeySym> row) {
        XChangeKeyboardMapping(x().display(), key, static_cast<int>(row.size()), row.data(), 1);
        XSync(x().display(), False);
    }

    // A resident whose first opening stops just before it takes the keyboard, pressed.
    void pressWithTheOpeningStoppedBeforeItsGrab() {
        const std::string marker = home / "stop";
        writeFile(marker, "");
        startResident({"LD_PRELOAD=" STOP_BEFORE_GRAB_LIBRARY, "PELLACORVINE_STOP_ONCE=" + marker,
                       "ASAN_OPTIONS=verify_asan_link_order=0"});
        x().key("p", {"Super"});
        ASSERT_TRUE(waitUntil([&] { return !std::filesystem::exists(marker); }));
    }

    Window opened = 0;
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
    const KeyCode old = code(XK_p);
    int low = 0;
    int high = 0;
    XDisplayKeycodes(display, &low, &high);
    int spare = high;
    while (spare > low &&
           XkbKeycodeToKeysym(display, static_cast<KeyCode>(spare), 0, 0) != NoSymbol) {
        --spare;
    }
    const std::vector<KeySym> row = rowOf(old);
    const std::vector<KeySym> none(row.size(), NoSymbol);
    remap(static_cast<KeyCode>(spare), row);
    remap(old, none);
    EXPECT_TRUE(holdsChordOn(static_cast<KeyCode>(spare)));
    x().keycode(old, {"Super"});
    x().type("q");
    x().keycode(static_cast<KeyCode>(spare), {"Super"});
    play({"ls", "<Return>"});
    EXPECT_EQ(launchedArgs(), argv("ls"));
    remap(old, row);
    remap(static_cast<KeyCode>(spare), none);
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

// Super+p held past the keyboard's repeat delay: its repeats are no keys of the line, and
// with Super+Return no empty line runs.
TEST_F(ResidentTest, ChordHeldPastTheRepeatDelayOpensOnce) {
    Display* display = x().display();
    unsigned delay = 0;
    unsigned interval = 0;
    XkbGetAutoRepeatRate(display, XkbUseCoreKbd, &delay, &interval);
    XkbSetAutoRepeatRate(display, XkbUseCoreKbd, 250, 33);
    XAutoRepeatOn(display);
    for (const auto& [chord, key, line] :
         {std::tuple{"Mod4+p", XK_p, "xterm"}, std::tuple{"Mod4+Return", XK_Return, "ls"}}) {
        launcher = start({"-hotkey", chord}, environment(recorderEnv()));
        ASSERT_TRUE(holdsChordOn(code(key))) << launcher->standardError();
        XTestFakeKeyEvent(display, code(XK_Super_L), True, CurrentTime);
        XTestFakeKeyEvent(display, code(key), True, CurrentTime);
        XSync(display, False);
        std::this_thread::sleep_for(1s);  // the user's hand on the chord
        XTestFakeKeyEvent(display, code(key), False, CurrentTime);
        XTestFakeKeyEvent(display, code(XK_Super_L), False, CurrentTime);
        EXPECT_EQ(run(line), argv(line)) << chord;
    }
    XkbSetAutoRepeatRate(display, XkbUseCoreKbd, delay, interval);
    XSync(display, False);
}

// The opening that Escape closes gives the keyboard back only once the resident holds the
// chord again: a press at once after it opens, however busy the machine.
TEST_F(ResidentTest, EveryPressRightAfterAnOpeningClosesOpensBesideABusyLoop) {
    Process busy("/bin/sh", {"-c", "while :; do :; done"}, {});
    startResident();
    for (int press = 0; press < 10; ++press) {
        ASSERT_TRUE(opens()) << "press " << press << launcher->standardError();
        x().key("Escape");
        ASSERT_TRUE(waitUntil([&] { return openedWindowGone(); }, 10s, 0ms));
    }
    ASSERT_TRUE(opens());
    EXPECT_EQ(run("ls"), argv("ls"));
    EXPECT_TRUE(waitUntil([&] {
        const auto children = childrenOf(launcher->pid());
        return std::none_of(children.begin(), children.end(),
                            [](const auto& child) { return child.second == 'Z'; });
    })) << "an ended opening is never reaped";
}

// An opening stopped before it takes the keyboard would leave it frozen for good: within a
// second it is ended, the keyboard is free, and the next press opens.
TEST_F(ResidentTest, OpeningStoppedBeforeItsGrabIsEndedAndTheKeyboardFreed) {
    pressWithTheOpeningStoppedBeforeItsGrab();
    EXPECT_TRUE(waitUntil(
        [&] {
            const bool free = x().holdKeyboard();
            x().releaseKeyboard();
            return free;
        },
        1500ms));
    ASSERT_TRUE(holdsChord());
    ASSERT_TRUE(opens());
    EXPECT_EQ(run("ls"), argv("ls"));
    EXPECT_EQ(launcher->standardError(),
              "Error: The launcher did not take the keyboard within a second of the hotkey: it "
              "was ended, and the keys typed since went to the window that has the focus\n");
}

// A restart runs the image that runs, not its file: removed, it still opens, press after
// press. The commands of the first opening and of those after a restart get descriptors 0
// to 2 only, however the resident was started, and SIGPIPE and the stop signals as its
// starter left them; the resident itself keeps none of its starter's descriptors.
TEST_F(ResidentTest, OpensPressAfterPressOnceItsBinaryIsRemoved) {
    program = runnableByAll(program);
    startResident({}, [] {
        dup2(open("/dev/null", O_RDONLY), 5);
        dup2(5, 7);
    });
    std::filesystem::remove(program);
    for (const char* line : {"ls", "xterm"}) {
        ASSERT_TRUE(opens()) << launcher->standardError();
        play({line, "<Return>"});
        const std::string text = launched();
        EXPECT_EQ(text.substr(text.find("fd:")), "fd:0\nfd:1\nfd:2\n") << line;
        EXPECT_EQ(launchedArgs(), argv(line));
        std::filesystem::remove(record());
        EXPECT_TRUE(holdsChord());
    }
    for (const auto& kept :
         std::filesystem::directory_iterator("/proc/" + std::to_string(launcher->pid()) + "/fd")) {
        if (std::stoi(kept.path().filename()) > 2) {
            EXPECT_NE(std::filesystem::read_symlink(kept.path()), "/dev/null") << kept.path();
        }
    }
}

// With standard error closed, /dev/null takes its place: the error line of a key gone
// goes nowhere, and the chord comes back with its key.
TEST_F(ResidentTest, WithStandardErrorClosedTheChordOutlivesAnErrorLine) {
    startResident({}, [] { close(2); });
    const KeyCode p = code(XK_p);
    const std::vector<KeySym> row = rowOf(p);
    remap(p, std::vector<KeySym>(row.size(), NoSymbol));
    ASSERT_TRUE(waitUntil([&] { return !x().waitForForeignKeyGrab(p, Mod4Mask, 0ms); }));
    remap(p, row);
    ASSERT_TRUE(holdsChord());
    ASSERT_TRUE(opens());
    EXPECT_EQ(run("ls"), argv("ls"));
}

// Caps Lock and NumLock both on: the chord is grabbed in that form too.
TEST_F(ResidentTest, OpensWithCapsLockAndNumLockOn) {
    startResident();
    x().key("Caps_Lock");
    x().key("Num_Lock");
    const bool opensWithLocksOn = opens();
    x().key("Escape");
    x().key("Caps_Lock");
    x().key("Num_Lock");
    EXPECT_TRUE(opensWithLocksOn);
}

// The resident's group hangs up (a logout, its terminal closed) while an opening starts:
// the opening, in a session of its own, lives on; its word to the gone resident kills
// nothing; and the line typed then runs.
TEST_F(ResidentTest, OpeningOutlivesAResidentThatDiesAsItStarts) {
    pressWithTheOpeningStoppedBeforeItsGrab();
    const auto children = childrenOf(launcher->pid());
    ASSERT_EQ(children.size(), 1U);
    const pid_t opening = children.front().first;
    kill(-launcher->pid(), SIGHUP);  // its process group, which the harness made
    ASSERT_TRUE(launcher->waitExit());
    kill(opening, SIGCONT);
    ASSERT_TRUE(x().waitForForeignGrab());
    EXPECT_EQ(run("ls"), argv("ls"));
}

}  // namespace
}  // namespace e2e
