// The fixture brings GoogleTest in before Xlib, whose None macro it must not see.
#include "e2e_fixture.h"

#include <filesystem>
#include <ostream>

namespace e2e {
namespace {

// What another client or the user does while the launcher is open with a line typed: it
// lets go as on Escape, and frees the keyboard.
struct LetGoCase {
    const char* name;
    void (*act)(XSession& session, Window launcher);
};

std::ostream& operator<<(std::ostream& out, const LetGoCase& c) { return out << c.name; }

class LetGoTest : public LaunchTest, public ::testing::WithParamInterface<LetGoCase> {};

TEST_P(LetGoTest, LeavesAsEscapeDoes) {
#ifndef PELLACORVINE_XSS
    if (std::string(GetParam().name) == "ScreenSaverOn") {
        GTEST_SKIP() << "built without libXss";
    }
#endif
    begin();
    x().type("ls");
    ASSERT_TRUE(x().waitForForeignPointerGrab());  // done once the screen saver is watched
    GetParam().act(x(), launcherWindow);
    expectEnd(*launcher, 0, "");
    EXPECT_TRUE(x().holdKeyboard());
    x().releaseKeyboard();
    XForceScreenSaver(x().display(), ScreenSaverReset);
    EXPECT_FALSE(std::filesystem::exists(record()));
    EXPECT_FALSE(std::filesystem::exists(history()));
}

INSTANTIATE_TEST_SUITE_P(
    Others, LetGoTest,
    ::testing::Values(LetGoCase{"FocusMovedByAnotherClient",
                                [](XSession& session, Window) {
                                    const Window other = session.coverWith(0, 0, 50, 50, "red");
                                    XSetInputFocus(session.display(), other, RevertToParent,
                                                   CurrentTime);
                                    XSync(session.display(), False);
                                }},
                      LetGoCase{"ScreenSaverOn",
                                [](XSession& session, Window) {
                                    XForceScreenSaver(session.display(), ScreenSaverActive);
                                    XSync(session.display(), False);
                                }},
                      LetGoCase{"ClickOutside",
                                [](XSession& session, Window) { session.clickAt(5, 5); }},
                      LetGoCase{"UnmappedByAnotherClient",
                                [](XSession& session, Window launcher) {
                                    XUnmapWindow(session.display(), launcher);
                                    XSync(session.display(), False);
                                }},
                      LetGoCase{"DestroyedByAnotherClient",
                                [](XSession& session, Window launcher) {
                                    XDestroyWindow(session.display(), launcher);
                                    XSync(session.display(), False);
                                }}),
    [](const auto& test) { return test.param.name; });

// i3lock moves the focus to its own window so that the holder of the keyboard lets go.
TEST_F(LaunchTest, ScreenLockerLocksWhileTheLauncherIsOpen) {
    begin();
    x().type("ls");
    Process locker("/usr/bin/i3lock", {"-n"}, {"DISPLAY=" + displayName()});
    expectEnd(*launcher, 0, "");
    EXPECT_TRUE(x().waitForForeignGrab()) << locker.standardError();
    EXPECT_TRUE(locker.running()) << locker.standardError();
    EXPECT_FALSE(std::filesystem::exists(record()));
}

}  // namespace
}  // namespace e2e
