// The fixture brings GoogleTest in before Xlib, whose None macro it must not see.
#include "e2e_fixture.h"

#include <X11/Xatom.h>
#include <X11/extensions/XTest.h>

#include <algorithm>
#include <filesystem>
#include <ostream>

namespace e2e {
namespace {

// What another client or the user does while the launcher is open with "l" typed: it lets
// go as on Escape for a screen locker and for the user gone elsewhere, and for nothing
// else, when the line typed next runs.
struct OtherClientCase {
    const char* name;
    bool letsGo;
    void (*act)(XSession& session, Window launcher);
    void (*before)(XSession& session) = nullptr;  // before the launcher starts
};

std::ostream& operator<<(std::ostream& out, const OtherClientCase& c) { return out << c.name; }

class OtherClientTest : public LaunchTest, public ::testing::WithParamInterface<OtherClientCase> {};

TEST_P(OtherClientTest, LetsGoForALockerOrTheUserElsewhereOnly) {
#ifndef PELLACORVINE_XSS
    if (std::string(GetParam().name).starts_with("ScreenSaver")) {
        GTEST_SKIP() << "built without libXss";
    }
#endif
    if (GetParam().before != nullptr) {
        GetParam().before(x());
    }
    // The user's window, focused before the launcher opened.
    const Window users = x().ordinaryWindow(0, 0, 60, 60);
    XSetInputFocus(x().display(), users, RevertToNone, CurrentTime);
    begin();
    x().type("l");
    ASSERT_TRUE(x().waitForForeignPointerGrab());  // done once the screen saver is watched
    GetParam().act(x(), launcherWindow);
    if (GetParam().letsGo) {
        expectEnd(*launcher, 0, "");
        EXPECT_TRUE(x().holdKeyboard());
        x().releaseKeyboard();
        EXPECT_FALSE(std::filesystem::exists(record()));
        EXPECT_FALSE(std::filesystem::exists(history()));
    } else {
        play({"s", "<Return>"});
        EXPECT_EQ(launchedArgs(), argv("ls")) << launcher->standardError();
    }
    XForceScreenSaver(x().display(), ScreenSaverReset);
}

// Sends event on window: with no mask, to the client that made it.
void forge(XSession& session, Window window, XEvent event, long mask = NoEventMask) {
    event.xany.send_event = True;
    XSendEvent(session.display(), window, False, mask, &event);
    XSync(session.display(), False);
}

void focus(XSession& session, Window window) {
    XSetInputFocus(session.display(), window, RevertToParent, CurrentTime);
    XSync(session.display(), False);
}

// Made as a window manager makes its frames. Its windows are known by the WM_S0
// selection this session takes, by the EWMH check window it names, or by the managed
// window a frame holds.
enum class Manager { OwnsSelection, NamesCheckWindow, HoldsManagedWindow };

Window managersFrame(XSession& session, Manager manager) {
    Display* display = session.display();
    const Window own = session.overrideRedirect(0, 0, 1, 1, false);
    if (manager == Manager::OwnsSelection) {
        XSetSelectionOwner(display, XInternAtom(display, "WM_S0", False), own, CurrentTime);
    } else if (manager == Manager::NamesCheckWindow) {
        const Atom check = XInternAtom(display, "_NET_SUPPORTING_WM_CHECK", False);
        for (const Window holder : {DefaultRootWindow(display), own}) {
            XChangeProperty(display, holder, check, XA_WINDOW, 32, PropModeReplace,
                            reinterpret_cast<const unsigned char*>(&own), 1);
        }
    }
    // Made small, as a frame is before its client's size is known.
    const Window frame = session.overrideRedirect(0, 0, 1, 1, false);
    if (manager == Manager::HoldsManagedWindow) {
        const Window client = XCreateSimpleWindow(display, frame, 0, 20, 800, 580, 0, 0, 0);
        const long normal = 1;
        const Atom state = XInternAtom(display, "WM_STATE", False);
        XChangeProperty(display, client, state, state, 32, PropModeReplace,
                        reinterpret_cast<const unsigned char*>(&normal), 1);
        XMapWindow(display, client);
    }
    XResizeWindow(display, frame, 800, 600);
    XMapWindow(display, frame);
    focus(session, frame);
    return frame;
}

INSTANTIATE_TEST_SUITE_P(
    Others, OtherClientTest,
    ::testing::Values(
        // i3lock maps its window, then moves the focus to it.
        OtherClientCase{"LockerWindowMappedAndFocused", true,
                        [](XSession& session, Window) {
                            focus(session, session.overrideRedirect(0, 0, 800, 600, true));
                        }},
        OtherClientCase{
            "LockerWindowMapped", true,
            [](XSession& session, Window) { session.overrideRedirect(0, 0, 800, 600, true); }},
        // slock and xsecurelock map theirs only once they hold the keyboard: its creation
        // is the only sign. xsecurelock's lies one pixel inside each edge.
        OtherClientCase{
            "LockerWindowCreated", true,
            [](XSession& session, Window) { session.overrideRedirect(1, 1, 798, 598, false); }},
        OtherClientCase{"FocusSetToNone", true,
                        [](XSession& session, Window) { focus(session, None); }},
        OtherClientCase{"ScreenSaverOn", true,
                        [](XSession& session, Window) {
                            XForceScreenSaver(session.display(), ScreenSaverActive);
                            XSync(session.display(), False);
                        }},
        OtherClientCase{"ClickOutside", true,
                        [](XSession& session, Window) { session.clickAt(5, 5); }},
        OtherClientCase{"ClickOnTheFirstColumnRightOfTheWindow", true,
                        [](XSession& session, Window launcher) {
                            XWindowAttributes window{};
                            XGetWindowAttributes(session.display(), launcher, &window);
                            session.clickAt(window.x + window.width, window.y + 1);
                        }},
        OtherClientCase{"UnmappedByAnotherClient", true,
                        [](XSession& session, Window launcher) {
                            XUnmapWindow(session.display(), launcher);
                            XSync(session.display(), False);
                        }},
        OtherClientCase{"DestroyedByAnotherClient", true,
                        [](XSession& session, Window launcher) {
                            XDestroyWindow(session.display(), launcher);
                            XSync(session.display(), False);
                        }},
        OtherClientCase{"FocusGivenToAnOrdinaryWindow", false,
                        [](XSession& session, Window) {
                            focus(session, session.ordinaryWindow(100, 100, 200, 200));
                        }},
        OtherClientCase{"SmallPopupMappedAndFocused", false,
                        [](XSession& session, Window) {
                            focus(session, session.overrideRedirect(300, 300, 200, 100, true));
                        }},
        OtherClientCase{"FocusGivenToTheRoot", false,
                        [](XSession& session, Window) {
                            focus(session, DefaultRootWindow(session.display()));
                        }},
        OtherClientCase{"FocusGivenToPointerRoot", false,
                        [](XSession& session, Window) { focus(session, PointerRoot); }},
        // A command that ends while the user types: its window goes, the focus with it.
        OtherClientCase{"FocusedWindowUnmapped", false,
                        [](XSession& session, Window) {
                            Window focused = None;
                            int revert = 0;
                            XGetInputFocus(session.display(), &focused, &revert);
                            XUnmapWindow(session.display(), focused);
                            XSync(session.display(), False);
                        }},
        OtherClientCase{
            "WindowManagersFrameOverTheScreen", false,
            [](XSession& session, Window) { managersFrame(session, Manager::OwnsSelection); }},
        OtherClientCase{
            "FrameOfAManagerWithOnlyAnEwmhCheck", false,
            [](XSession& session, Window) { managersFrame(session, Manager::NamesCheckWindow); }},
        OtherClientCase{
            "FrameHoldingAManagedWindow", false,
            [](XSession& session, Window) { managersFrame(session, Manager::HoldsManagedWindow); }},
        OtherClientCase{"WheelTurnedOutside", false,
                        [](XSession& session, Window) {
                            session.clickAt(5, 5, 4);
                            session.clickAt(5, 5, 5);
                        }},
        // The screen saver was on as the launcher started; it goes off.
        OtherClientCase{
            "ScreenSaverOff", false,
            [](XSession& session, Window) {
                XForceScreenSaver(session.display(), ScreenSaverReset);
                XSync(session.display(), False);
            },
            [](XSession& session) { XForceScreenSaver(session.display(), ScreenSaverActive); }},
        // Another client's word that the window went, a click landed outside, or a locker
        // made its window: no proof of any of it.
        OtherClientCase{"ForgedUnmapClickAndLockerWindow", false,
                        [](XSession& session, Window launcher) {
                            XEvent event{};
                            event.xunmap = {UnmapNotify, 0,        True, session.display(),
                                            launcher,    launcher, False};
                            forge(session, launcher, event);
                            event = {};
                            event.xbutton.type = ButtonPress;
                            event.xbutton.window = launcher;
                            event.xbutton.button = Button1;
                            event.xbutton.x = -10;
                            forge(session, launcher, event);
                            event = {};
                            const Window root = DefaultRootWindow(session.display());
                            event.xcreatewindow = {CreateNotify, 0,        True, session.display(),
                                                   root,         0x7fffff, 0,    0,
                                                   800,          600,      0,    True};
                            forge(session, root, event, SubstructureNotifyMask);
                        }}),
    [](const auto& test) { return test.param.name; });

// Real lockers, started while the launcher is open: each holds the keyboard within a
// second, and the launcher has gone as on Escape.
struct LockerCase {
    const char* name;
    std::vector<std::string> command;  // the program, then its arguments
    bool withCompositor;               // picom holding the overlay window first
};

std::ostream& operator<<(std::ostream& out, const LockerCase& c) { return out << c.name; }

class LockerTest : public LaunchTest, public ::testing::WithParamInterface<LockerCase> {};

TEST_P(LockerTest, LocksWhileTheLauncherIsOpen) {
    const LockerCase& c = GetParam();
    std::vector<std::string> command = c.command;
    for (const char* needed : {command.front().c_str(), c.withCompositor ? "/usr/bin/picom" : ""}) {
        if (*needed != '\0' && !std::filesystem::exists(needed)) {
            GTEST_SKIP() << needed << " is not installed";
        }
    }
    // slock's file capabilities may be refused here; a copy has none, and as root it
    // needs none.
    command.front() = runnableByAll(command.front());
    std::unique_ptr<Process> compositor;
    if (c.withCompositor) {
        x().watchForWindows();
        compositor = std::make_unique<Process>(
            "/usr/bin/picom", std::vector<std::string>{"--backend", "xrender"},
            std::vector<std::string>{"DISPLAY=" + displayName(), "HOME=" + home.path()});
        ASSERT_NE(x().waitForMappedWindow(), 0U) << compositor->standardError();  // the overlay
    }
    begin();
    x().type("ls");
    ASSERT_TRUE(x().waitForForeignPointerGrab());
    Process locker(command.front(), {command.begin() + 1, command.end()},
                   {"DISPLAY=" + displayName(), "HOME=" + home.path()});
    expectEnd(*launcher, 0, "");
    EXPECT_TRUE(x().waitForForeignGrab(1s)) << locker.standardError();
    EXPECT_TRUE(locker.running()) << locker.standardError();
    EXPECT_FALSE(std::filesystem::exists(record()));
}

INSTANTIATE_TEST_SUITE_P(
    Lockers, LockerTest,
    ::testing::Values(LockerCase{"I3lock", {"/usr/bin/i3lock", "-n"}, false},
                      LockerCase{"Slock", {"/usr/bin/slock"}, false},
                      LockerCase{"Xsecurelock", {"/usr/bin/xsecurelock"}, false},
                      LockerCase{"XsecurelockBesideACompositor", {"/usr/bin/xsecurelock"}, true}),
    [](const auto& test) { return test.param.name; });

// Window managers whose frames are override-redirect and as large as the screen: a window
// they map and focus while the launcher is open, and the pointer moved onto it, leave the
// launcher open, and the line typed next runs. Each on a server of its own.
struct ManagerCase {
    const char* name;
    std::vector<std::string> command;  // the program, then its arguments
    bool fullscreen;                   // the client asks for the whole screen
};

std::ostream& operator<<(std::ostream& out, const ManagerCase& c) { return out << c.name; }

class WindowManagerTest : public LaunchTest, public ::testing::WithParamInterface<ManagerCase> {
protected:
    static bool managed(XSession& session) {
        const Atom check = XInternAtom(session.display(), "_NET_SUPPORTING_WM_CHECK", False);
        Atom type = None;
        int format = 0;
        unsigned long count = 0;
        unsigned long after = 0;
        unsigned char* data = nullptr;
        XGetWindowProperty(session.display(), DefaultRootWindow(session.display()), check, 0, 1,
                           False, XA_WINDOW, &type, &format, &count, &after, &data);
        if (data != nullptr) {
            XFree(data);
        }
        return count == 1;
    }
    // A client window as an application maps one; a fullscreen one as large as the screen
    // from the start, so that its manager makes its frame that large.
    static Window mapClient(XSession& session, bool fullscreen) {
        Display* display = session.display();
        const unsigned width = fullscreen ? 800 : 300;
        const unsigned height = fullscreen ? 600 : 200;
        const Window client =
            XCreateSimpleWindow(display, DefaultRootWindow(display), 0, 0, width, height, 0, 0, 0);
        if (fullscreen) {
            const Atom state = XInternAtom(display, "_NET_WM_STATE_FULLSCREEN", False);
            XChangeProperty(display, client, XInternAtom(display, "_NET_WM_STATE", False), XA_ATOM,
                            32, PropModeReplace, reinterpret_cast<const unsigned char*>(&state), 1);
        }
        XMapWindow(display, client);
        XSync(display, False);
        return client;
    }
};

TEST_P(WindowManagerTest, MappingAndFocusingAWindowKeepsTheLauncherOpen) {
    const ManagerCase& c = GetParam();
    if (!std::filesystem::exists(c.command.front())) {
        GTEST_SKIP() << c.command.front() << " is not installed";
    }
    Xvfb server;
    XSession session(server.display());
    std::vector<std::string> env = {"HOME=" + home.path(), "DISPLAY=" + server.display()};
    writeFile(home / "i3", "font pango:monospace 8\n");  // i3's configuration: no bar
    std::vector<std::string> arguments(c.command.begin() + 1, c.command.end());
    std::replace(arguments.begin(), arguments.end(), std::string("~/i3"), home / "i3");
    Process manager(c.command.front(), arguments, env);
    ASSERT_TRUE(waitUntil([&] { return managed(session); })) << manager.standardError();
    session.watchForWindows();
    env.insert(env.end(),
               {"PATH=" + bin.path(), "SHELL=" RECORDER_BINARY, "PELLACORVINE_RECORD=" + record()});
    Process opened(program, {}, env);
    ASSERT_NE(session.waitForMappedWindow(), 0U) << opened.standardError();
    ASSERT_TRUE(session.waitForForeignPointerGrab()) << opened.standardError();
    session.type("l");
    const Window client = mapClient(session, c.fullscreen);
    ASSERT_TRUE(waitUntil([&] {
        Window focused = None;
        int revert = 0;
        XGetInputFocus(session.display(), &focused, &revert);
        return focused == client;
    })) << manager.standardError();
    XTestFakeMotionEvent(session.display(), -1, 150, 100, CurrentTime);  // over the client
    session.type("s");
    session.key("Return");
    EXPECT_EQ(launchedArgs(), argv("ls"));
    EXPECT_EQ(opened.waitExit(), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Managers, WindowManagerTest,
    ::testing::Values(ManagerCase{"I3WithoutBar", {"/usr/bin/i3", "-c", "~/i3"}, false},
                      ManagerCase{"FluxboxFullscreen", {"/usr/bin/fluxbox"}, true}),
    [](const auto& test) { return test.param.name; });

}  // namespace
}  // namespace e2e
