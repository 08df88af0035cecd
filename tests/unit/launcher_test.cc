#include <gtest/gtest.h>

#include <ostream>

#include <X11/keysym.h>

#include <filesystem>
#include <stdexcept>

#include "launcher_fixture.h"
#include "test_constants.h"

namespace {

// The keyboard right after the window: keys typed before the grab would go astray.
TEST_F(LauncherTest, StartsUpInOrderWithDefaultsAndEndsWhenEventsRunOut) {
    char program[] = "pellacorvine";
    char* argv[] = {program, nullptr};
    launcher().run(1, argv);
    const std::vector<std::string> expected = {
        "openWindow -1 -1 640 25", "grabKeyboard",
        std::string("setupGC black white ") + defaultFontPattern, "redraw '' 0", "nextEvent"};
    EXPECT_EQ(script.calls, expected);
}

TEST_F(LauncherTest, FontFieldsAreJoinedUnchanged) {
    launcher().fontFields[1] = "";
    launcher().fontFields[0] = "a-b";
    EXPECT_EQ(launcher().fontPattern(), "-a-b--medium-r-*-*-15-*-*-*-*-*-*-*");
}

struct FailureCase {
    const char* name;
    void (*breakScript)(DisplayScript&);
    const char* expectedStderr;  // the calls made, then the message
};

std::ostream& operator<<(std::ostream& out, const FailureCase& c) { return out << c.name; }

class StartupFailureTest : public LauncherTest,
                           public ::testing::WithParamInterface<FailureCase> {};

// Each failure ends with its message and status 1, and nothing after the failing call runs.
TEST_P(StartupFailureTest, EndsWithMessageAndStatusOne) {
    script.echoToStderr = true;
    GetParam().breakScript(script);
    char program[] = "pellacorvine";
    char* argv[] = {program, nullptr};
    EXPECT_EXIT(launcher().run(1, argv), ::testing::ExitedWithCode(1),
                std::string("^") + GetParam().expectedStderr + "$");
}

INSTANTIATE_TEST_SUITE_P(
    Display, StartupFailureTest,
    ::testing::Values(
        FailureCase{"openWindow", [](DisplayScript& s) { s.openWindowResult = false; },
                    "openWindow -1 -1 640 25\nError: Couldn't open window\n"},
        FailureCase{"grabKeyboard", [](DisplayScript& s) { s.grabKeyboardResult = false; },
                    "openWindow -1 -1 640 25\ngrabKeyboard\ndisconnect\n"
                    "Error: Couldn't grab keyboard\n"},
        // Not even the font every server has: the default pattern, then fixed.
        FailureCase{
            "setupGC",
            [](DisplayScript& s) { s.fontExists = [](const std::string&) { return false; }; },
            "openWindow[^\n]*\ngrabKeyboard\nsetupGC black white -[^\n]*\n"
            "setupGC black white fixed\ndisconnect\nError: Couldn't setup GC\n"},
        FailureCase{"firstRedraw", [](DisplayScript& s) { s.failingRedraw = 0; },
                    "openWindow[^\n]*\ngrabKeyboard\nsetupGC[^\n]*\nredraw '' 0\n"
                    "disconnect\nError: Couldn't redraw\n"},
        FailureCase{"laterRedraw",
                    [](DisplayScript& s) {
                        s.failingRedraw = 1;
                        s.events.push_back({EventKind::Expose, 0, 0});
                    },
                    "openWindow[^\n]*\ngrabKeyboard\nsetupGC[^\n]*\nredraw '' 0\nnextEvent\n"
                    "redraw '' 0\ndisconnect\nError: Couldn't redraw\n"}),
    [](const auto& test) { return test.param.name; });

// A server with its built-in fonts only: the default pattern falls back to fixed, a
// pattern the user asked for does not.
TEST_F(LauncherTest, MissingDefaultFontFallsBackToFixedAndAChosenOneFails) {
    script.fontExists = [](const std::string& pattern) { return pattern == "fixed"; };
    char program[] = "pellacorvine";
    char option[] = "-ff";
    char family[] = "fixed";
    char* argv[] = {program, option, family, nullptr};
    launcher().run(1, argv);
    EXPECT_EQ(std::vector<std::string>(script.calls.begin() + 2, script.calls.begin() + 5),
              (std::vector<std::string>{std::string("setupGC black white ") + defaultFontPattern,
                                        "setupGC black white fixed", "redraw '' 0"}));
    EXPECT_EXIT(launcher().run(3, argv), ::testing::ExitedWithCode(1),
                "^Error: Couldn't setup GC\n$");
}

TEST_F(LauncherTest, EveryEventThatDoesNotFinishIsFollowedByOneRedraw) {
    script.events = {
        {EventKind::Expose, 0, 0}, {EventKind::Other, 0, 0}, keyEvent(XK_a), keyEvent(XK_F1)};
    char program[] = "pellacorvine";
    char* argv[] = {program, nullptr};
    launcher().run(1, argv);
    const std::vector<std::string> loop(script.calls.begin() + 3, script.calls.end());
    const std::vector<std::string> expected = {
        "redraw '' 0", "nextEvent",    "redraw '' 0", "nextEvent",    "redraw '' 0",
        "nextEvent",   "redraw 'a' 1", "nextEvent",   "redraw 'a' 1", "nextEvent"};
    EXPECT_EQ(loop, expected);
}

// The connection goes before the save and the launch, either of which may hang.
TEST_F(LauncherTest, FinishingKeyLetsGoAndEndsTheLoopWithoutRedraw) {
    script.events = {keyEvent(XK_Return), keyEvent(XK_a)};
    char program[] = "pellacorvine";
    char* argv[] = {program, nullptr};
    launcher().run(1, argv);
    EXPECT_EQ(std::vector<std::string>(script.calls.end() - 3, script.calls.end()),
              (std::vector<std::string>{"nextEvent", "awaitHotkeyHeld", "disconnect"}));
    EXPECT_EQ(script.events.size(), 1U) << "no event is awaited after the launch";
}

// A screen locker or a click elsewhere: out as on Escape, with the keys after it unread,
// and at once, not once a hotkey is held again.
TEST_F(LauncherTest, LostWindowLetsGoAsEscapeDoes) {
    script.events = {keyEvent(XK_a), {EventKind::Lost, 0, 0}, keyEvent(XK_Return)};
    script.echoToStderr = true;
    char program[] = "pellacorvine";
    char* argv[] = {program, nullptr};
    EXPECT_EXIT(launcher().run(1, argv), ::testing::ExitedWithCode(0),
                "redraw 'a' 1\nnextEvent\ndisconnect\n$");
    EXPECT_FALSE(std::filesystem::exists(historyFile()));
}

TEST_F(LauncherTest, BadCommandLineContactsNoDisplay) {
    char program[] = "pellacorvine";
    char option[] = "-h";
    char* argv[] = {program, option, nullptr};
    ::testing::internal::CaptureStderr();
    launcher().run(2, argv);
    EXPECT_TRUE(script.calls.empty());
    EXPECT_TRUE(::testing::internal::GetCapturedStderr().starts_with("Usage: pellacorvine ["));
}

TEST_F(LauncherTest, DestroyingTheLauncherDeletesTheDisplayOnce) {
    launcher();
    { Launcher other(std::make_unique<FakeDisplay>(script)); }
    EXPECT_EQ(script.calls, std::vector<std::string>{"destroy"});
}

TEST(RequireEnvTest, ReturnsValueOrThrowsWithExactMessage) {
    ScopedEnv set("PELLACORVINE_SET", "a value");
    ScopedEnv empty("PELLACORVINE_EMPTY", "");
    ScopedEnv unset("PELLACORVINE_UNSET", std::nullopt);
    EXPECT_EQ(requireEnv("PELLACORVINE_SET"), "a value");
    EXPECT_EQ(requireEnv("PELLACORVINE_EMPTY"), "");
    try {
        requireEnv("PELLACORVINE_UNSET");
        FAIL() << "no exception";
    } catch (const std::runtime_error& error) {
        EXPECT_STREQ(error.what(), "Could not find PELLACORVINE_UNSET environment variable");
    }
}

TEST(LauncherConstructionTest, MissingPathOrHomeThrowsBeforeTheDisplayIsUsed) {
    for (const char* missing : {"PATH", "HOME"}) {
        TempDir dir;
        ScopedEnv home("HOME", dir.path());
        ScopedEnv path("PATH", dir.path());
        ScopedEnv unset(missing, std::nullopt);
        DisplayScript script;
        EXPECT_THROW(Launcher(std::make_unique<FakeDisplay>(script)), std::runtime_error)
            << missing;
        EXPECT_EQ(script.calls, std::vector<std::string>{"destroy"}) << missing;
    }
}

}  // namespace
