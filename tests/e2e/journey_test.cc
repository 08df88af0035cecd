#include <signal.h>

#include <filesystem>

#include "e2e_fixture.h"

namespace e2e {
namespace {

// Journeys through real key events, with the recording shell.
class JourneyTest : public LaunchTest {};

TEST_F(JourneyTest, TabCompletesAndReturnRunsAndRecords) {
    begin();
    x().type("xte");
    x().key("Tab");
    x().key("Tab");
    x().key("Return");
    expectEnd(*launcher, 0, "");
    EXPECT_EQ(launchedArgs(), argv("xterm-wrap"));
    EXPECT_EQ(readFile(history()), "xterm-wrap");
}

TEST_F(JourneyTest, UpAndDownRecallWithWrapAround) {
    writeFile(history(), "first\nsecond\nthird\n");
    begin();
    for (const char* key : {"Up", "Up", "Up", "Up", "Down", "Down"}) {
        x().key(key);  // third, second, first, third, first, second
    }
    x().key("Return");
    expectEnd(*launcher, 0, "");
    EXPECT_EQ(launchedArgs(), argv("second"));
    EXPECT_EQ(readFile(history()), "first\nsecond\nthird\nsecond");
}

TEST_F(JourneyTest, AltKeyRunsItsBookmark) {
    writeFile(home / ".pellacorvine.bookmarks", "x xcalc\nX xterm\n");
    begin();
    x().type("typed");
    x().key("x", {"Alt"});
    expectEnd(*launcher, 0, "");
    EXPECT_EQ(launchedArgs(), argv("xcalc"));
    EXPECT_EQ(readFile(history()), "xcalc");
}

TEST_F(JourneyTest, AltShiftKeyRunsTheUppercaseBookmark) {
    writeFile(home / ".pellacorvine.bookmarks", "x xcalc\nX xterm\n");
    begin();
    x().key("x", {"Alt", "Shift"});
    expectEnd(*launcher, 0, "");
    EXPECT_EQ(launchedArgs(), argv("xterm"));
}

TEST_F(JourneyTest, AltKeyWithoutBookmarkInserts) {
    writeFile(home / ".pellacorvine.bookmarks", "x xcalc\n");
    begin();
    x().key("q", {"Alt"});
    x().key("Return");
    expectEnd(*launcher, 0, "");
    EXPECT_EQ(launchedArgs(), argv("q"));
}

TEST_F(JourneyTest, ControlWAndControlKEditTheMiddleOfTheLine) {
    begin();
    x().type("ls -la /tmp");
    x().key("Left");
    x().key("Left");
    x().key("w", {"Control"});  // removes "/t" before the cursor
    x().key("End");
    x().type(" x");
    x().key("Return");
    expectEnd(*launcher, 0, "");
    EXPECT_EQ(launchedArgs(), argv("ls -la mp x"));
}

TEST_F(JourneyTest, ControlKEmptiesTheLineFromTheMiddle) {
    begin();
    x().type("abc");
    x().key("Left");
    x().key("k", {"Control"});
    x().type("d");
    x().key("Return");
    expectEnd(*launcher, 0, "");
    EXPECT_EQ(launchedArgs(), argv("d"));
}

TEST_F(JourneyTest, KeypadDigitsAndCursorKeys) {
    begin();
    x().type("a");
    x().key("KP_1");
    x().key("KP_Home");
    x().key("KP_2");
    x().key("KP_End");
    x().key("KP_Left");
    x().type("b");
    x().key("Return");
    expectEnd(*launcher, 0, "");
    EXPECT_EQ(launchedArgs(), argv("2ab1"));
}

TEST_F(JourneyTest, NonAsciiKeysInsertTheirLowByte) {
    begin();
    x().key("eacute");
    x().key("Cyrillic_a");
    x().key("Return");
    expectEnd(*launcher, 0, "");
    EXPECT_EQ(launchedArgs(), argv("\xE9\xC1"));
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

TEST_F(JourneyTest, LaunchedShellHoldsNoDescriptorOfTheLauncher) {
    begin();
    x().type("xcalc");
    x().key("Return");
    expectEnd(*launcher, 0, "");
    const std::string text = launched();
    EXPECT_EQ(text.substr(text.find("fd:")), "fd:0\nfd:1\nfd:2\n");
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
