#include <gtest/gtest.h>

#include <ostream>

#include <sys/resource.h>

#include <csignal>
#include <filesystem>

#include "lists/history.h"
#include "test_support.h"

namespace {

class HistoryTest : public ::testing::Test {
protected:
    std::string file() const { return home / ".pellacorvine.history"; }
    TempDir home;
    ScopedEnv homeEnv{"HOME", home.path()};
};

struct SaveCase {
    const char* name;
    std::optional<std::string> before;  // no file when empty
    std::string command;
    std::string after;
};

std::ostream& operator<<(std::ostream& out, const SaveCase& c) { return out << c.name; }

class SaveTableTest : public HistoryTest, public ::testing::WithParamInterface<SaveCase> {};

TEST_P(SaveTableTest, WritesEntriesThenTheNewCommand) {
    if (GetParam().before) {
        writeFile(file(), *GetParam().before);
    }
    History history;
    history.save(GetParam().command);
    EXPECT_EQ(readFile(file()), GetParam().after);
}

INSTANTIATE_TEST_SUITE_P(
    Bytes, SaveTableTest,
    ::testing::Values(SaveCase{"NoFile", std::nullopt, "ls", "ls"},
                      SaveCase{"EmptyLinesDropped", "a\n\nb\n", "c", "a\nb\nc"},
                      SaveCase{"LeadingLineFeed", "\na", "b", "a\nb"},
                      SaveCase{"RepeatOfLastIsNotAppended", "a\nb", "b", "a\nb\n"},
                      SaveCase{"NoFinalLineFeed", "a\nb", "c", "a\nb\nc"},
                      SaveCase{"OnlyLastIsCompared", "a\nb", "a", "a\nb\na"},
                      SaveCase{"EmptyCommand", "a\nb", "", "a\nb\n"},
                      SaveCase{"EmptyCommandNoEntries", std::nullopt, "", ""},
                      SaveCase{"BlanksAndCarriageReturnsKept", "  \nx\r\n", "y", "  \nx\r\ny"},
                      SaveCase{"BinaryBytesKept", std::string("\xff\0z", 3), "q",
                               std::string("\xff\0z\nq", 5)}),
    [](const auto& test) { return test.param.name; });

TEST_F(HistoryTest, UpAndDownWrapAround) {
    writeFile(file(), "a\nb\nc\n");
    struct Walk {
        std::string keys;  // U for previous, D for next
        std::string lines;
    };
    for (const Walk& walk : {Walk{"UUUU", "cbac"}, Walk{"DDDD", "abca"}, Walk{"UD", "ca"},
                             Walk{"UUD", "cbc"}, Walk{"DU", "ac"}}) {
        History history;
        std::string lines;
        for (const char key : walk.keys) {
            lines += key == 'U' ? history.previous() : history.next();
        }
        EXPECT_EQ(lines, walk.lines) << walk.keys;
    }
}

TEST_F(HistoryTest, SingleEntryAndEmptyHistory) {
    {
        History empty;
        EXPECT_EQ(empty.previous(), "");
        EXPECT_EQ(empty.next(), "");
    }
    writeFile(file(), "only");
    History one;
    EXPECT_EQ(one.previous() + one.next() + one.previous(), "onlyonlyonly");
}

TEST_F(HistoryTest, NewFileIsPrivateAndExistingModeIsKept) {
    History fresh;
    fresh.save("ls");
    EXPECT_EQ(fileMode(file()), 0600U);
    chmod(file().c_str(), 0640);
    History again;
    again.save("pwd");
    EXPECT_EQ(fileMode(file()), 0640U);
    EXPECT_EQ(readFile(file()), "ls\npwd");
}

TEST_F(HistoryTest, SymbolicLinkStaysALinkAndItsTargetIsUpdated) {
    std::filesystem::create_directory(home / "store");
    writeFile(home / "store/hist", "a");
    std::filesystem::create_symlink("store/hist", file());
    History history;
    history.save("b");
    EXPECT_TRUE(std::filesystem::is_symlink(file()));
    EXPECT_EQ(readFile(home / "store/hist"), "a\nb");
}

TEST_F(HistoryTest, DanglingLinkCreatesItsTarget) {
    std::filesystem::create_symlink(home / "target", file());
    History history;
    history.save("b");
    EXPECT_TRUE(std::filesystem::is_symlink(file()));
    EXPECT_EQ(readFile(home / "target"), "b");
}

TEST_F(HistoryTest, ConcurrentLaunchersKeepEachOthersCommands) {
    writeFile(file(), "a");
    History first;
    History second;
    first.save("x");
    second.save("y");
    EXPECT_EQ(readFile(file()), "a\nx\ny");
}

TEST_F(HistoryTest, DirectoryInPlaceOfTheFileIsLeftAlone) {
    std::filesystem::create_directory(file());
    History history;
    EXPECT_EQ(history.previous(), "");
    history.save("ls");
    EXPECT_TRUE(std::filesystem::is_directory(file()));
}

TEST_F(HistoryTest, LeavesNoTemporaryFilesBehind) {
    writeFile(file(), "a");
    History history;
    history.save("b");
    int files = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(home.path())) {
        ++files;
    }
    EXPECT_EQ(files, 1);
}

// The cases below need a user that permissions apply to: as root they run as nobody.
class HistoryPermissionTest : public HistoryTest {
protected:
    void SetUp() override {
        if (geteuid() == 0) {
            ASSERT_EQ(chown(home.path().c_str(), nobodyUser, nobodyGroup), 0);
        }
    }
    // Runs body as an unprivileged user in a child; true when body returned true.
    bool asUser(const std::function<bool()>& body) {
        return inChild([&] {
                   if (!dropRootToNobody()) {
                       return 2;
                   }
                   return body() ? 0 : 1;
               }) == 0;
    }
    void ownFile() {
        if (geteuid() == 0) {
            ASSERT_EQ(chown(file().c_str(), nobodyUser, nobodyGroup), 0);
        }
    }
};

TEST_F(HistoryPermissionTest, ReadOnlyDirectoryFallsBackToRewritingInPlace) {
    writeFile(file(), "a\nb", 0600);
    ownFile();
    chmod(home.path().c_str(), 0555);
    EXPECT_TRUE(asUser([] {
        History history;
        history.save("c");
        return true;
    }));
    EXPECT_EQ(readFile(file()), "a\nb\nc");
}

TEST_F(HistoryPermissionTest, UnwritableFileIsNotReplaced) {
    writeFile(file(), "a", 0444);
    ownFile();
    EXPECT_TRUE(asUser([] {
        History history;
        history.save("c");
        return true;
    }));
    EXPECT_EQ(readFile(file()), "a");
    EXPECT_EQ(fileMode(file()), 0444U);
}

TEST_F(HistoryPermissionTest, UnreadableFileIsNotOverwritten) {
    writeFile(file(), "secret", 0200);
    ownFile();
    EXPECT_TRUE(asUser([] {
        History history;
        history.save("c");
        return history.previous().empty();
    }));
    chmod(file().c_str(), 0600);
    EXPECT_EQ(readFile(file()), "secret");
}

// A file-size limit makes the write fail part-way, as a full disk would.
bool saveUnderSizeLimit(rlim_t limit) {
    const rlimit size{limit, limit};
    if (setrlimit(RLIMIT_FSIZE, &size) != 0) {
        return false;
    }
    History history;
    history.save(std::string(200, 'z'));
    struct sigaction after {};
    sigaction(SIGXFSZ, nullptr, &after);
    return after.sa_handler == SIG_DFL;  // nothing ignored is passed on to the command
}

TEST_F(HistoryPermissionTest, WriteFailingPartWayKeepsTheOldContent) {
    const std::string old = "first\nsecond";
    writeFile(file(), old, 0600);
    ownFile();
    EXPECT_TRUE(asUser([] { return saveUnderSizeLimit(100); }));
    EXPECT_EQ(readFile(file()), old);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(home.path()),
                            std::filesystem::directory_iterator()),
              1);
}

TEST_F(HistoryPermissionTest, WriteFailingPartWayInPlaceKeepsTheOldLines) {
    const std::string old = "first\nsecond";
    writeFile(file(), old, 0600);
    ownFile();
    chmod(home.path().c_str(), 0555);
    EXPECT_TRUE(asUser([] { return saveUnderSizeLimit(100); }));
    EXPECT_TRUE(readFile(file()).starts_with(old + "\n"));
}

}  // namespace
