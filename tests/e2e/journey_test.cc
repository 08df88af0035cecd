#include <signal.h>

#include <filesystem>
#include <optional>
#include <ostream>
#include <thread>

#include "e2e_fixture.h"

#include <fcntl.h>

namespace e2e {
namespace {

// Journeys through real key events, with the recording shell.
class JourneyTest : public LaunchTest {};

// One journey: the files before, the keys pressed, what ran and what the history holds.
struct Journey {
    const char* name;
    std::optional<std::string> history;
    std::string bookmarks;
    std::vector<std::string> steps;  // as play takes them
    std::string launched;
    std::optional<std::string> historyAfter;
};

std::ostream& operator<<(std::ostream& out, const Journey& j) { return out << j.name; }

class JourneyTableTest : public LaunchTest, public ::testing::WithParamInterface<Journey> {};

TEST_P(JourneyTableTest, RunsWhatTheKeysSay) {
    const Journey& journey = GetParam();
    if (journey.history) {
        writeFile(history(), *journey.history);
    }
    writeFile(home / ".pellacorvine.bookmarks", journey.bookmarks);
    begin();
    play(journey.steps);
    expectEnd(*launcher, 0, "");
    EXPECT_EQ(launchedArgs(), argv(journey.launched));
    if (journey.historyAfter) {
        EXPECT_EQ(readFile(history()), *journey.historyAfter);
    }
}

INSTANTIATE_TEST_SUITE_P(Keys, JourneyTableTest,
                         ::testing::Values(Journey{"AltKeyRunsItsBookmark",
                                                   std::nullopt,
                                                   "x xcalc\nX xterm\n",
                                                   {"typed", "<Alt+x>"},
                                                   "xcalc",
                                                   "xcalc"},
                                           Journey{"AltShiftKeyRunsTheUppercaseBookmark",
                                                   std::nullopt,
                                                   "x xcalc\nX xterm\n",
                                                   {"<Alt+Shift+x>"},
                                                   "xterm",
                                                   "xterm"},
                                           Journey{"AltKeyWithoutBookmarkInserts",
                                                   std::nullopt,
                                                   "x xcalc\n",
                                                   {"<Alt+q>", "<Return>"},
                                                   "q",
                                                   "q"},
                                           // Control+W takes "/t" before the cursor.
                                           Journey{"ControlWInTheMiddle",
                                                   std::nullopt,
                                                   "",
                                                   {"ls -la /tmp", "<Left>", "<Left>",
                                                    "<Control+w>", "<End>", " x", "<Return>"},
                                                   "ls -la mp x",
                                                   std::nullopt},
                                           Journey{
                                               "ControlKFromTheMiddle",
                                               std::nullopt,
                                               "",
                                               {"abc", "<Left>", "<Control+k>", "d", "<Return>"},
                                               "d",
                                               std::nullopt},
                                           Journey{"KeypadDigitsAndCursorKeys",
                                                   std::nullopt,
                                                   "",
                                                   {"a", "<KP_1>", "<KP_Home>", "<KP_2>",
                                                    "<KP_End>", "<KP_Left>", "b", "<Return>"},
                                                   "2ab1",
                                                   std::nullopt},
                                           Journey{"ClickInTheWindowKeepsItOpen",
                                                   std::nullopt,
                                                   "",
                                                   {"l", "<Click>", "s", "<Return>"},
                                                   "ls",
                                                   "ls"},
                                           Journey{"NonAsciiKeysInsertTheirLowByte",
                                                   std::nullopt,
                                                   "",
                                                   {"<eacute>", "<Cyrillic_a>", "<Return>"},
                                                   "\xE9\xC1",
                                                   std::nullopt}),
                         [](const auto& test) { return test.param.name; });

// Keys typed as keycodes under other layouts mean what every other client takes them for.
struct LayoutCase {
    const char* name;
    const char* layouts;
    int group;
    bool capsLock;
    std::vector<std::string> steps;
    std::string launched;
};

std::ostream& operator<<(std::ostream& out, const LayoutCase& c) { return out << c.name; }

class LayoutTest : public LaunchTest, public ::testing::WithParamInterface<LayoutCase> {};

TEST_P(LayoutTest, KeysMeanWhatTheLayoutSays) {
    const LayoutCase& c = GetParam();
    x().useLayouts(c.layouts, c.group);
    if (c.capsLock) {
        x().key("Caps_Lock");
    }
    begin();
    play(c.steps);
    play({"<Return>"});
    expectEnd(*launcher, 0, "");
    EXPECT_EQ(launchedArgs(), argv(c.launched));
}

INSTANTIATE_TEST_SUITE_P(
    Layouts, LayoutTest,
    ::testing::Values(
        // Caps Lock upper-cases keys whose type ignores it: É È Ç À Ù.
        LayoutCase{"FrenchWithCapsLock",
                   "fr",
                   0,
                   true,
                   {"<eacute>", "<egrave>", "<ccedilla>", "<agrave>", "<ugrave>"},
                   "\xC9\xC8\xC7\xC0\xD9"},
        // Under Control the Latin letter of the first group counts; es is 0x06D3.
        LayoutCase{"CyrillicControlK", "us,ru", 1, false, {"ab", "<Control+k>", "c"}, "\xD3"},
        LayoutCase{"CyrillicControlW", "us,ru", 1, false, {"ab cd", "<Control+w>"}, "\xC6\xC9 "}),
    [](const auto& test) { return test.param.name; });

// A key press another client sends to the window (XSendEvent) is no key typed.
TEST_F(JourneyTest, ForgedKeyPressIsIgnored) {
    const Window window = startReady(launcher, {}, recorderEnv());
    ASSERT_TRUE(waitUntil([&] {  // sent events reach only a client that selected them
        XWindowAttributes attributes{};
        XGetWindowAttributes(x().display(), window, &attributes);
        return (attributes.all_event_masks & KeyPressMask) != 0;
    }));
    XEvent forged{};
    forged.xkey.type = KeyPress;
    forged.xkey.window = window;
    forged.xkey.root = DefaultRootWindow(x().display());
    forged.xkey.keycode = XKeysymToKeycode(x().display(), XK_x);
    forged.xkey.same_screen = True;
    XSendEvent(x().display(), window, True, KeyPressMask, &forged);
    XSync(x().display(), False);
    play({"ls", "<Return>"});
    expectEnd(*launcher, 0, "");
    EXPECT_EQ(launchedArgs(), argv("ls"));
}

// The focus events of the other client's release and of our own grab end nothing: the
// launcher takes the keys typed next.
TEST_F(JourneyTest, WaitsForAKeyboardHeldBrieflyByAnotherClientAndStaysOpen) {
    ASSERT_TRUE(x().holdKeyboard());
    launcher = start({}, environment(recorderEnv()));
    ASSERT_NE(x().waitForMappedWindow(), 0U);
    std::this_thread::sleep_for(1s);  // the other client's hold, part of the story
    x().releaseKeyboard();
    ASSERT_TRUE(x().waitForForeignGrab());
    play({"ls", "<Return>"});
    expectEnd(*launcher, 0, "");
    EXPECT_EQ(launchedArgs(), argv("ls"));
}

TEST_F(JourneyTest, EscapeWritesAndRunsNothing) {
    writeFile(history(), "old");
    begin();
    x().type("rm -rf x");
    x().key("Escape");
    expectEnd(*launcher, 0, "");
    EXPECT_EQ(readFile(history()), "old");
    EXPECT_FALSE(std::filesystem::exists(record()));
}

// Only the standard descriptors, and the signals as the launcher found them: HUP ignored
// and USR1 blocked, nothing else.
// Descriptors 5 and 7 of the starting shell reach no command.
TEST_F(JourneyTest, LaunchedShellGetsTheStandardDescriptorsAndTheStartingSignals) {
    startReady(launcher, {}, recorderEnv(), [] {
        dup2(open("/dev/null", O_RDONLY), 5);
        dup2(5, 7);
        signal(SIGHUP, SIG_IGN);
        sigset_t usr1;
        sigemptyset(&usr1);
        sigaddset(&usr1, SIGUSR1);
        sigprocmask(SIG_SETMASK, &usr1, nullptr);
    });
    kill(launcher->pid(), SIGHUP);  // ignored as it was at the start, as under nohup
    x().type("xcalc");
    x().key("Return");
    expectEnd(*launcher, 0, "");
    const std::string text = launched();
    EXPECT_EQ(text.substr(text.find("fd:")), "fd:0\nfd:1\nfd:2\nignored:" + std::to_string(SIGHUP) +
                                                 "\nblocked:" + std::to_string(SIGUSR1) + "\n");
}

TEST_F(JourneyTest, WithoutShellRunsBinShNamedSh) {
    begin({});
    x().type("printf %s \"$0\" > " + (home / "zero"));
    x().key("Return");
    expectEnd(*launcher, 0, "");
    EXPECT_TRUE(waitUntil([&] { return readFile(home / "zero") == "sh"; }));
}

TEST_F(JourneyTest, ShellPathWithTrailingSlashRunsTheShell) {
    begin({"SHELL=" RECORDER_BINARY "/", "PELLACORVINE_RECORD=" + record()});
    x().type("ls");
    x().key("Return");
    expectEnd(*launcher, 0, "");
    EXPECT_EQ(launchedArgs(), argv("ls"));
}

TEST_F(JourneyTest, MissingShellIsReportedAfterRecording) {
    begin({"SHELL=/nonexistent/shell"});
    x().type("xterm");
    x().key("Return");
    expectEnd(*launcher, 1, "Error: Couldn't run /nonexistent/shell: No such file or directory\n");
    EXPECT_EQ(readFile(history()), "xterm");
}

TEST_F(JourneyTest, LauncherEndsAtOnceWhileTheCommandRuns) {
    const std::string pidFile = home / "pid";
    begin({"SHELL=/bin/sh"});
    x().type("echo $$ > " + pidFile + ".tmp; /bin/mv " + pidFile + ".tmp " + pidFile +
             "; exec /bin/sleep 30");
    x().key("Return");
    expectEnd(*launcher, 0, "");
    ASSERT_TRUE(waitUntil([&] { return std::filesystem::exists(pidFile); }));
    const pid_t command = std::stoi(readFile(pidFile));
    EXPECT_EQ(kill(command, 0), 0) << "the command outlives the launcher";
    kill(command, SIGKILL);
}

}  // namespace
}  // namespace e2e
