#include <gtest/gtest.h>

#include <sys/resource.h>

#include <ostream>

#include <X11/X.h>
#include <X11/keysym.h>

#include "launcher_fixture.h"

namespace {

struct KeyCase {
    const char* name;
    const char* before;
    std::uint64_t cursorBefore;
    std::uint16_t keysym;
    std::uint32_t state;
    const char* after;
    std::uint64_t cursorAfter;
};

std::ostream& operator<<(std::ostream& out, const KeyCase& c) { return out << c.name; }

class KeyTableTest : public LauncherTest, public ::testing::WithParamInterface<KeyCase> {};

TEST_P(KeyTableTest, EditsTheLine) {
    const KeyCase& c = GetParam();
    launcher().text = c.before;
    launcher().cursor = c.cursorBefore;
    EXPECT_FALSE(press(c.keysym, c.state));
    EXPECT_EQ(launcher().text, c.after);
    EXPECT_EQ(launcher().cursor, c.cursorAfter);
}

INSTANTIATE_TEST_SUITE_P(
    Keys, KeyTableTest,
    ::testing::Values(
        KeyCase{"InsertAtEnd", "ab", 2, XK_c, 0, "abc", 3},
        KeyCase{"InsertInMiddle", "ac", 1, XK_b, 0, "abc", 2},
        KeyCase{"InsertAtStart", "bc", 0, XK_a, 0, "abc", 1},
        KeyCase{"ShiftUppercases", "", 0, XK_a, ShiftMask, "A", 1},
        KeyCase{"LockIsIgnored", "", 0, XK_a, LockMask, "a", 1},
        KeyCase{"ControlWithOtherLetterInserts", "", 0, XK_a, ControlMask, "a", 1},
        KeyCase{"ShiftControlKInsertsK", "x", 1, XK_k, ShiftMask | ControlMask, "xK", 2},
        KeyCase{"ShiftControlWInsertsW", "x", 1, XK_w, ShiftMask | ControlMask, "xW", 2},
        KeyCase{"PlainKInserts", "", 0, XK_k, 0, "k", 1},
        KeyCase{"EacuteInsertsOneByte", "", 0, XK_eacute, 0, "\xE9", 1},
        KeyCase{"ShiftLeavesEacute", "", 0, XK_eacute, ShiftMask, "\xE9", 1},
        KeyCase{"OtherGroupInsertsLowByte", "", 0, 0x06C1, 0, "\xC1", 1},
        KeyCase{"LastCharacterKeysym", "", 0, 0x13BE, 0, "\xBE", 1},
        KeyCase{"PastLastCharacterKeysym", "", 0, 0x13BF, 0, "", 0},
        KeyCase{"BelowSpace", "", 0, 0x1F, 0, "", 0}, KeyCase{"NoKeysym", "a", 1, 0, 0, "a", 1},
        KeyCase{"KeypadZero", "", 0, XK_KP_0, 0, "0", 1},
        KeyCase{"KeypadNine", "", 0, XK_KP_9, 0, "9", 1},
        KeyCase{"KeypadEnterDoesNothing", "a", 1, XK_KP_Enter, 0, "a", 1},
        KeyCase{"DeleteDoesNothing", "ab", 1, XK_Delete, 0, "ab", 1},
        KeyCase{"InsertDoesNothing", "ab", 1, XK_Insert, 0, "ab", 1},
        KeyCase{"PageUpDoesNothing", "ab", 1, XK_Page_Up, 0, "ab", 1},
        KeyCase{"FunctionKeyDoesNothing", "ab", 1, XK_F5, 0, "ab", 1},
        KeyCase{"ModifierKeyDoesNothing", "ab", 1, XK_Shift_L, ShiftMask, "ab", 1},
        KeyCase{"BackSpaceInMiddle", "abc", 2, XK_BackSpace, 0, "ac", 1},
        KeyCase{"BackSpaceAtStart", "abc", 0, XK_BackSpace, 0, "abc", 0},
        KeyCase{"Home", "abc", 2, XK_Home, 0, "abc", 0},
        KeyCase{"KeypadHome", "abc", 2, XK_KP_Home, 0, "abc", 0},
        KeyCase{"End", "abc", 1, XK_End, 0, "abc", 3},
        KeyCase{"KeypadEnd", "abc", 1, XK_KP_End, 0, "abc", 3},
        KeyCase{"Left", "abc", 2, XK_Left, 0, "abc", 1},
        KeyCase{"KeypadLeft", "abc", 2, XK_KP_Left, 0, "abc", 1},
        KeyCase{"LeftAtStart", "abc", 0, XK_Left, 0, "abc", 0},
        KeyCase{"Right", "abc", 1, XK_Right, 0, "abc", 2},
        KeyCase{"KeypadRight", "abc", 1, XK_KP_Right, 0, "abc", 2},
        KeyCase{"RightAtEnd", "abc", 3, XK_Right, 0, "abc", 3},
        KeyCase{"ControlKInMiddle", "abc", 1, XK_k, ControlMask, "", 0},
        KeyCase{"ControlKAtStart", "abc", 0, XK_k, ControlMask, "", 0},
        KeyCase{"CapsLockControlK", "abc", 1, XK_K, ControlMask | LockMask, "", 0},
        KeyCase{"CapsLockControlW", "ls -la", 6, XK_W, ControlMask | LockMask, "ls ", 3},
        KeyCase{"CapsLockShiftControlKInsertsK", "x", 1, XK_k, ShiftMask | LockMask | ControlMask,
                "xK", 2},
        KeyCase{"EmptyHistoryUp", "abc", 1, XK_Up, 0, "", 0},
        KeyCase{"EmptyHistoryKeypadDown", "abc", 1, XK_KP_Down, 0, "", 0},
        KeyCase{"TabWithNothingToOffer", "zz", 1, XK_Tab, 0, "zz", 2},
        KeyCase{"KeypadTabWithNothingToOffer", "zz", 0, XK_KP_Tab, 0, "zz", 2}),
    [](const auto& test) { return test.param.name; });

struct WordCase {
    const char* before;
    std::uint64_t cursorBefore;
    const char* after;
    std::uint64_t cursorAfter;
};

std::ostream& operator<<(std::ostream& out, const WordCase& c) {
    return out << "'" << c.before << "' " << c.cursorBefore;
}

class ControlWTest : public LauncherTest, public ::testing::WithParamInterface<WordCase> {};

TEST_P(ControlWTest, RemovesTheWordBeforeTheCursor) {
    launcher().text = GetParam().before;
    launcher().cursor = GetParam().cursorBefore;
    EXPECT_FALSE(press(XK_w, ControlMask));
    EXPECT_EQ(launcher().text, GetParam().after);
    EXPECT_EQ(launcher().cursor, GetParam().cursorAfter);
}

INSTANTIATE_TEST_SUITE_P(
    Lines, ControlWTest,
    ::testing::Values(WordCase{"ls -la /tmp", 11, "ls -la ", 7}, WordCase{"ls -la ", 7, "ls ", 3},
                      WordCase{"ls ", 3, "", 0}, WordCase{" abc", 4, "", 0},
                      WordCase{"a b", 3, "a ", 2}, WordCase{"cp a b", 4, "cp  b", 3},
                      WordCase{"foo bar", 3, " bar", 0}, WordCase{"", 0, "", 0},
                      WordCase{" x", 1, "x", 0}, WordCase{"  ", 2, "", 0}));

class HistoryKeysTest : public LauncherTest {
protected:
    void SetUp() override { writeFile(historyFile(), "a\nbb\nccc"); }
};

// The main and the keypad keys alike replace the line and put the cursor at its end.
TEST_F(HistoryKeysTest, UpAndDownReplaceTheLineAndPutTheCursorAtItsEnd) {
    launcher().text = "typed";
    launcher().cursor = 1;
    for (const auto& [keysym, line] : {std::pair{XK_Up, "ccc"}, std::pair{XK_KP_Up, "bb"},
                                       std::pair{XK_Down, "ccc"}, std::pair{XK_KP_Down, "a"}}) {
        press(keysym);
        EXPECT_EQ(launcher().text, line);
        EXPECT_EQ(launcher().cursor, launcher().text.size());
    }
}

class CompletionKeysTest : public LauncherTest {
protected:
    void SetUp() override {
        for (const char* name : {"ls", "xcalc", "xterm", "xterm-wrap", "xtermcontrol"}) {
            addExecutable(name);
        }
        writeFile(historyFile(), "xq");
    }
    std::string tab() {
        press(XK_Tab);
        return launcher().text;
    }
};

TEST_F(CompletionKeysTest, InsertionRestartsTheCycle) {
    type("xte");
    tab();
    tab();
    type("c");
    EXPECT_EQ(tab(), "xterm-wrapc");
}

TEST_F(CompletionKeysTest, BackSpaceRestartsTheCycleEvenAtTheStart) {
    type("xte");
    tab();
    press(XK_BackSpace);
    EXPECT_EQ(tab(), "xterm");
    press(XK_Home);
    press(XK_BackSpace);
    press(XK_Up);
    EXPECT_EQ(tab(), "xq");
}

TEST_F(CompletionKeysTest, ControlKRestartsTheCycle) {
    type("xte");
    tab();
    press(XK_k, ControlMask);
    press(XK_Up);
    EXPECT_EQ(tab(), "xq");
}

TEST_F(CompletionKeysTest, UpDownAndControlWKeepTheCycle) {
    type("xte");
    tab();
    press(XK_Up);
    EXPECT_EQ(tab(), "xterm-wrap");
    press(XK_Down);
    EXPECT_EQ(tab(), "xtermcontrol");
    press(XK_w, ControlMask);
    press(XK_Up);
    EXPECT_EQ(tab(), "xterm");
}

class LaunchKeysTest : public LauncherTest {
protected:
    void SetUp() override {
        writeFile(historyFile(), "old");
        writeFile(home / ".pellacorvine.bookmarks", "a alpha\nA upper\nQ launched\n");
    }
};

TEST_F(LaunchKeysTest, ReturnRecordsTheLineAndFinishes) {
    type("new");
    EXPECT_TRUE(press(XK_Return));
    EXPECT_EQ(readFile(historyFile()), "old\nnew");
}

TEST_F(LaunchKeysTest, ReturnOnEmptyLineRewritesTheEntries) {
    EXPECT_TRUE(press(XK_Return));
    EXPECT_EQ(readFile(historyFile()), "old\n");
}

TEST_F(LaunchKeysTest, BookmarkReplacesTheLineRecordsAndFinishes) {
    type("typed");
    EXPECT_TRUE(press(XK_a, Mod1Mask));
    EXPECT_EQ(launcher().text, "alpha");
    EXPECT_EQ(readFile(historyFile()), "old\nalpha");
}

TEST_F(LaunchKeysTest, AltShiftLooksUpTheUppercaseKey) {
    EXPECT_TRUE(press(XK_a, Mod1Mask | ShiftMask));
    EXPECT_EQ(readFile(historyFile()), "old\nupper");
}

TEST_F(LaunchKeysTest, AltKeyUsesTheLowByteOfTheKeysym) {
    EXPECT_TRUE(press(XK_Left, Mod1Mask));  // 0xFF51 looks up byte 0x51, Q
    EXPECT_EQ(readFile(historyFile()), "old\nlaunched");
}

TEST_F(LaunchKeysTest, AltKeyWithoutBookmarkActsAsThePlainKey) {
    EXPECT_FALSE(press(XK_b, Mod1Mask));
    EXPECT_EQ(launcher().text, "b");
    EXPECT_EQ(readFile(historyFile()), "old");
}

// The connection goes first, so the server frees the keyboard whatever else still runs.
TEST_F(LaunchKeysTest, EscapeDropsTheConnectionAndExitsWritingNothing) {
    type("typed");
    script.echoToStderr = true;
    EXPECT_EXIT(press(XK_Escape), ::testing::ExitedWithCode(0), "^awaitHotkeyHeld\ndisconnect\n$");
    EXPECT_EXIT(press(XK_Escape, Mod1Mask), ::testing::ExitedWithCode(0),
                "^awaitHotkeyHeld\ndisconnect\n$");
    EXPECT_EQ(readFile(historyFile()), "old");
}

}  // namespace

namespace {

class LaunchFailureTest : public LauncherTest {};

TEST_F(LaunchFailureTest, ShellThatCannotRunIsReportedAfterTheHistoryIsSaved) {
    ScopedEnv shell("SHELL", "/nonexistent/shell");
    type("cmd");
    EXPECT_EXIT(press(XK_Return), ::testing::ExitedWithCode(1),
                "^Error: Couldn't run /nonexistent/shell: No such file or directory\n$");
    EXPECT_EQ(readFile(historyFile()), "cmd");
}

TEST_F(LaunchFailureTest, EmptyShellIsReported) {
    ScopedEnv shell("SHELL", "");
    EXPECT_EXIT(press(XK_Return), ::testing::ExitedWithCode(1),
                "^Error: Couldn't run : No such file or directory\n$");
}

// No process may be created by a user whose process limit is zero; root ignores the limit.
TEST_F(LaunchFailureTest, RefusedForkIsReported) {
    if (geteuid() == 0) {
        ASSERT_EQ(chown(home.path().c_str(), nobodyUser, nobodyGroup), 0);
    }
    launcher();
    const auto pressReturnWithoutProcesses = [this] {
        if (!dropRootToNobody()) {
            std::exit(3);
        }
        rlimit limit{};
        getrlimit(RLIMIT_NPROC, &limit);
        limit.rlim_cur = 0;
        setrlimit(RLIMIT_NPROC, &limit);
        // LeakSanitizer needs a thread at exit: give processes back before it runs.
        std::atexit([] {
            rlimit restored{};
            getrlimit(RLIMIT_NPROC, &restored);
            restored.rlim_cur = restored.rlim_max;
            setrlimit(RLIMIT_NPROC, &restored);
        });
        press(XK_Return);
    };
    EXPECT_EXIT(pressReturnWithoutProcesses(), ::testing::ExitedWithCode(1),
                "^Error: Couldn't run /bin/true: Resource temporarily unavailable\n$");
}

}  // namespace
