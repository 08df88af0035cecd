#include <gtest/gtest.h>

#include <ostream>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/resource.h>
#ifdef __linux__
#include <sys/sysmacros.h>  // makedev; elsewhere <sys/types.h> has it
#endif

#include <chrono>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <random>
#include <thread>

#include "history_fixture.h"
#include "lists/bookmarks.h"
#include "lists/history.h"

namespace {

struct SaveCase {
    const char* name;
    std::optional<std::string> before;  // no file when empty
    std::string command;
    std::string after;
    bool appended;                       // the same file, or one renamed over it
    std::string addedSinceTheRead = "";  // by another saver, after an Up read the file
    // Older than the file system's clock can blur at the read, so that the save may trust
    // it unchanged; and then what another writer put in its place, at the same length.
    bool aged = false;
    std::string rewrittenInPlace = "";
};

std::ostream& operator<<(std::ostream& out, const SaveCase& c) { return out << c.name; }

class SaveTableTest : public HistoryTest, public ::testing::WithParamInterface<SaveCase> {};

TEST_P(SaveTableTest, WritesEntriesThenTheNewCommand) {
    struct stat before {};
    if (GetParam().before) {
        writeFile(file(), *GetParam().before);
        stat(file().c_str(), &before);
    }
    if (GetParam().aged) {
        std::this_thread::sleep_for(std::chrono::milliseconds(150));
    }
    History history;
    const SaveCase& c = GetParam();
    if (c.aged || !c.addedSinceTheRead.empty() || !c.rewrittenInPlace.empty()) {
        history.previous();  // the read, whose summary the save may trust
    }
    if (!GetParam().addedSinceTheRead.empty()) {
        std::ofstream(file(), std::ios::binary | std::ios::app) << GetParam().addedSinceTheRead;
    }
    if (!GetParam().rewrittenInPlace.empty()) {
        std::fstream(file(), std::ios::binary | std::ios::in | std::ios::out)
            << GetParam().rewrittenInPlace;
    }
    history.save(GetParam().command);
    EXPECT_EQ(readFile(file()), GetParam().after);
    struct stat after {};
    stat(file().c_str(), &after);
    EXPECT_EQ(before.st_ino == after.st_ino, GetParam().appended);
}

INSTANTIATE_TEST_SUITE_P(
    Bytes, SaveTableTest,
    ::testing::Values(
        SaveCase{"NoFile", std::nullopt, "ls", "ls", false},
        SaveCase{"EmptyLinesDropped", "a\n\nb\n", "c", "a\nb\nc", false},
        SaveCase{"LeadingLineFeed", "\na", "b", "a\nb", false},
        SaveCase{"RepeatOfLastIsNotAppended", "a\nb", "b", "a\nb\n", true},
        SaveCase{"NoFinalLineFeed", "a\nb", "c", "a\nb\nc", true},
        SaveCase{"FinalLineFeed", "a\nb\n", "c", "a\nb\nc", true},
        SaveCase{"RepeatAfterFinalLineFeed", "a\nb\n", "b", "a\nb\n", true},
        SaveCase{"OnlyLastIsCompared", "a\nb", "a", "a\nb\na", true},
        SaveCase{"EmptyCommand", "a\nb", "", "a\nb\n", true},
        SaveCase{"EmptyCommandNoEntries", std::nullopt, "", "", false},
        SaveCase{"BlanksAndCarriageReturnsKept", "  \nx\r\n", "y", "  \nx\r\ny", true},
        SaveCase{"BinaryBytesKept", std::string("\xff\0z", 3), "q", std::string("\xff\0z\nq", 5),
                 true},
        // Its empty line makes a rewrite, its last line a repeat.
        SaveCase{"LineAddedSinceTheReadCounts", "a\nb", "c", "a\nb\nc\n", false, "\n\nc"},
        SaveCase{"UnchangedSinceTheRead", "a\nb\nc", "d", "a\nb\nc\nd", true, "", true},
        // Same length and last entry, but an empty line inside: no longer in the saved form.
        SaveCase{"RewrittenInPlaceSinceTheRead", "a\nb\nc", "d", "ab\nc\nd", false, "", true,
                 "ab\n\nc"}),
    [](const auto& test) { return test.param.name; });

// Stamps tell a later write only once the clock has moved on from them: two ticks (here
// of 50 ms) where the file system keeps nanoseconds, two seconds where it keeps whole
// seconds.
TEST(StampsTest, AreTrustedOnlyOnceTheClockHasMovedOnFromThem) {
    struct Case {
        const char* name;
        FileStamps stamps;
        std::int64_t now[2];
        bool settled;
    };
    const Case cases[] = {
        {"JustWritten", {{100, 500000000}, {100, 500000000}}, {100, 550000000}, false},
        {"AMomentAgo", {{100, 500000000}, {100, 500000000}}, {100, 650000000}, true},
        {"ChangedLaterThanModified", {{90, 1}, {100, 500000000}}, {100, 550000000}, false},
        {"WholeSecondsOneAgo", {{100, 0}, {100, 0}}, {101, 500000000}, false},
        {"WholeSecondsTwoAgo", {{100, 0}, {100, 0}}, {102, 0}, true}};
    for (const Case& c : cases) {
        EXPECT_EQ(stampsSettled(c.stamps, c.now[0], c.now[1], 50000000), c.settled) << c.name;
    }
}

// A loop of links is followed no further than the kernel would follow one: the history is
// neither read nor written, and nothing hangs.
TEST_F(HistoryTest, LoopOfLinksIsNeitherReadNorWritten) {
    std::filesystem::create_symlink(home / "loop", file());
    std::filesystem::create_symlink(file(), home / "loop");
    EXPECT_EQ(inChild([] {
                  alarm(5);
                  History history;
                  const bool none = history.previous().empty();
                  history.save("x");
                  return none ? 0 : 1;
              }),
              0);
    EXPECT_TRUE(std::filesystem::is_symlink(file()));
}

TEST_F(HistoryTest, UpAndDownWrapAround) {
    writeFile(file(), "\na\n\nb\nc\n\n");  // empty lines are no entries
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

// The second save rewrites (the empty line goes): the new file keeps the mode and group.
TEST_F(HistoryTest, NewFileIsPrivateAndARewriteKeepsModeAndGroup) {
    History fresh;
    fresh.save("ls");
    EXPECT_EQ(fileMode(file()), 0600U);
    std::ofstream(file(), std::ios::binary | std::ios::app) << "\n\n";
    chmod(file().c_str(), 0640);
    const bool regrouped = chown(file().c_str(), static_cast<uid_t>(-1), nobodyGroup) == 0;
    struct stat before {};
    stat(file().c_str(), &before);
    History again;
    again.save("pwd");
    struct stat after {};
    stat(file().c_str(), &after);
    EXPECT_NE(after.st_ino, before.st_ino) << "rewritten, not appended to";
    EXPECT_EQ(fileMode(file()), 0640U);
    if (regrouped) {
        EXPECT_EQ(after.st_gid, nobodyGroup);
    }
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

// An empty line makes the save rewrite the file through a temporary one beside it; the
// leftover of a save killed part-way goes first.
TEST_F(HistoryTest, LeavesNoTemporaryFilesBehind) {
    writeFile(file(), "a\n\nb");
    writeFile(file() + ".saving", "a\n", 0600);
    History history;
    history.save("c");
    EXPECT_EQ(readFile(file()), "a\nb\nc");
    int files = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(home.path())) {
        ++files;
    }
    EXPECT_EQ(files, 1);
}

std::string numberedLines(const std::string& prefix, int count) {
    std::string lines;
    for (int i = 0; i < count; ++i) {
        lines += prefix + std::to_string(i) + "\n";
    }
    return lines;
}

class SimultaneousSaveTest : public HistoryTest, public ::testing::WithParamInterface<bool> {};

TEST_P(SimultaneousSaveTest, EveryCommandAndEveryEarlierLineIsKept) {
    std::string target = file();
    if (GetParam()) {
        std::filesystem::create_directory(home / "store");
        std::filesystem::create_symlink("store/history", file());
        target = home / "store/history";
    }
    const std::string earlier = numberedLines("earlier ", 2000);
    writeFile(target, earlier + "\n");  // its empty line: the first to lock rewrites
    Gate gate;
    const auto savers = forkChildren(30, [&](int i) {
        History history;
        gate.pass();
        history.save("saver " + std::to_string(i));
    });
    gate.open();
    waitForAll(savers);
    const std::string after = readFile(target);
    ASSERT_TRUE(after.starts_with(earlier));
    auto added = splitHistory(after.substr(earlier.size()));
    auto expected = splitHistory(numberedLines("saver ", 30));
    std::sort(added.begin(), added.end());
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(added, expected);
    EXPECT_EQ(std::filesystem::is_symlink(file()), GetParam());
}

INSTANTIATE_TEST_SUITE_P(PlainOrLinked, SimultaneousSaveTest, ::testing::Bool());

// Without the lock the save only appends, a line of its own whoever appends next: a
// rewrite from what it read could drop the line of the saver that holds the lock.
TEST_F(HistoryTest, LockHeldElsewhereDelaysTheSaveByTheBoundOnlyAndNothingIsRewritten) {
    for (const auto& [before, after] :
         {std::pair{"a", "a\nb\n"}, std::pair{"a\n\nc", "a\n\nc\nb\n"}}) {
        writeFile(file(), before);
        const int holder = open(file().c_str(), O_RDONLY | O_CLOEXEC);
        ASSERT_EQ(flock(holder, LOCK_EX), 0);
        const auto start = std::chrono::steady_clock::now();
        History history;
        history.save("b");
        const auto waited = std::chrono::steady_clock::now() - start;
        close(holder);
        EXPECT_EQ(readFile(file()), after);
        EXPECT_GE(waited, std::chrono::milliseconds(900));
        EXPECT_LT(waited, std::chrono::seconds(5));
    }
}

TEST_F(HistoryTest, SavesKilledPartWayLeaveTheHistoryWholeAndOneFileAtMost) {
    std::vector<std::string> lines = splitHistory(numberedLines("earlier ", 2000));
    writeFile(file(), numberedLines("earlier ", 2000));
    std::mt19937 random(1);
    for (int round = 0; round < 60; ++round) {
        const pid_t child = fork();
        if (child == 0) {
            History history;
            history.save("round " + std::to_string(round));
            _exit(0);
        }
        usleep(std::uniform_int_distribution<useconds_t>(0, 3000)(random));
        kill(child, SIGKILL);
        waitpid(child, nullptr, 0);
        const auto now = splitHistory(readFile(file()));
        if (now.size() == lines.size() + 1) {
            lines.push_back("round " + std::to_string(round));
        }
        ASSERT_EQ(now, lines) << "round " << round;
        ASSERT_LE(std::distance(std::filesystem::directory_iterator(home.path()),
                                std::filesystem::directory_iterator()),
                  2);
    }
}

// A history another user shares with a group (0660) keeps its group when a member whose
// own group is another rewrites it.
TEST_F(HistoryPermissionTest, GroupSharedHistoryKeepsItsGroupThroughARewrite) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "needs root to act as two users";
    }
    constexpr gid_t sharing = 100;
    writeFile(file(), "a\n\nb", 0660);
    ASSERT_EQ(chown(file().c_str(), 65533, sharing), 0);
    chmod(file().c_str(), 0660);
    EXPECT_EQ(
        inChild([] {
            const gid_t groups[] = {sharing};
            if (setgroups(1, groups) != 0 || setgid(nobodyGroup) != 0 || setuid(nobodyUser) != 0) {
                return 2;
            }
            History().save("c");
            return 0;
        }),
        0);
    struct stat after {};
    stat(file().c_str(), &after);
    EXPECT_EQ(readFile(file()), "a\nb\nc");
    EXPECT_EQ(after.st_gid, sharing);
    EXPECT_EQ(fileMode(file()), 0660U);
}

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

// Appended to under the lock, rewritten in place (a read-only directory), or appended to
// without the lock that another process holds: each is cut back to what it was.
struct PartWayCase {
    const char* name;
    const char* old;
    bool readOnlyDirectory;
    bool lockHeldElsewhere;
};

std::ostream& operator<<(std::ostream& out, const PartWayCase& c) { return out << c.name; }

class PartWayTest : public HistoryPermissionTest,
                    public ::testing::WithParamInterface<PartWayCase> {};

TEST_P(PartWayTest, WriteFailingPartWayLeavesTheFileAsItWas) {
    const PartWayCase& c = GetParam();
    writeFile(file(), c.old, 0600);
    ownFile();
    if (c.readOnlyDirectory) {
        chmod(home.path().c_str(), 0555);
    }
    const int holder = open(file().c_str(), O_RDONLY | O_CLOEXEC);
    if (c.lockHeldElsewhere) {
        ASSERT_EQ(flock(holder, LOCK_EX), 0);
    }
    EXPECT_TRUE(asUser([] { return saveUnderSizeLimit(100); }));
    close(holder);
    EXPECT_EQ(readFile(file()), c.old);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(home.path()),
                            std::filesystem::directory_iterator()),
              1);
}

INSTANTIATE_TEST_SUITE_P(
    Paths, PartWayTest,
    ::testing::Values(PartWayCase{"AppendedUnderTheLock", "first\nsecond", false, false},
                      PartWayCase{"RewrittenInPlace", "first\n\nsecond", true, false},
                      PartWayCase{"AppendedWithoutTheLock", "first\nsecond", false, true}),
    [](const auto& test) { return test.param.name; });

// A leftover temporary file that this save did not make is never written into: a hard
// link to another of the user's files, or another user's file in a sticky directory.
class LeftoverTemporaryTest : public HistoryTest, public ::testing::WithParamInterface<bool> {};

TEST_P(LeftoverTemporaryTest, StaysByteIdenticalAndTheHistoryStaysOurs) {
    const bool plantedByAnotherUser = GetParam();
    constexpr uid_t saver = 65533;
    if (plantedByAnotherUser && geteuid() != 0) {
        GTEST_SKIP() << "needs root to act as two users";
    }
    writeFile(file(), "a\n\n", 0600);  // rewritten: the temporary file is made
    const std::string leftover = file() + ".saving";
    std::string kept = home / "other";
    writeFile(kept, "precious", 0666);
    if (plantedByAnotherUser) {
        kept = leftover;
        std::filesystem::rename(home / "other", kept);
        ASSERT_EQ(chown(kept.c_str(), nobodyUser, nobodyGroup), 0);
        ASSERT_EQ(chown(file().c_str(), saver, saver), 0);
        chmod(home.path().c_str(), 01777);
    } else {
        ASSERT_EQ(link(kept.c_str(), leftover.c_str()), 0);
    }
    EXPECT_EQ(inChild([&] {
                  if (plantedByAnotherUser && !becomeUser(saver, saver)) {
                      return 2;
                  }
                  History().save("ls");
                  return 0;
              }),
              0);
    EXPECT_EQ(readFile(kept), "precious");
    EXPECT_EQ(readFile(file()), "a\nls");
    struct stat history {};
    stat(file().c_str(), &history);
    EXPECT_EQ(history.st_uid, plantedByAnotherUser ? saver : geteuid());
}

INSTANTIATE_TEST_SUITE_P(HardLinkOrOtherUser, LeftoverTemporaryTest, ::testing::Bool());

// Dot-files that are no regular files, in place or behind a link: both lists load empty
// at once, and save leaves the node, and the link, as they are.
struct OddNode {
    const char* name;
    int (*make)(const char* path);
    bool linked;
};

std::ostream& operator<<(std::ostream& out, const OddNode& n) { return out << n.name; }

int makeFifo(const char* path) { return mkfifo(path, 0600); }
int makeDirectory(const char* path) { return mkdir(path, 0700); }
int makeNullDevice(const char* path) { return mknod(path, S_IFCHR | 0666, makedev(1, 3)); }
int makeZeroDevice(const char* path) { return mknod(path, S_IFCHR | 0666, makedev(1, 5)); }

class OddDotFileTest : public HistoryTest, public ::testing::WithParamInterface<OddNode> {};

TEST_P(OddDotFileTest, LoadsEmptyAtOnceAndSaveLeavesItAsItIs) {
    const OddNode& kind = GetParam();
    std::vector<std::string> nodes = {file(), home / ".pellacorvine.bookmarks"};
    if (kind.linked) {
        for (const std::string& dotFile : nodes) {
            std::filesystem::create_symlink(home / "node", dotFile);
        }
        nodes = {home / "node"};
    }
    if (kind.make == makeNullDevice || kind.make == makeZeroDevice) {
        if (geteuid() != 0) {
            GTEST_SKIP() << "making a device node needs root";
        }
    }
    for (const std::string& node : nodes) {
        ASSERT_EQ(kind.make(node.c_str()), 0) << node << ": " << std::strerror(errno);
    }
    struct stat before {};
    lstat(nodes[0].c_str(), &before);
    EXPECT_EQ(inChild([] {
                  alarm(10);  // a blocking open or an endless read ends here
                  History history;
                  const bool empty = history.previous().empty() && Bookmarks().lookup('a').empty();
                  history.save("ls");
                  return empty ? 0 : 1;
              }),
              0);
    struct stat after {};
    lstat(nodes[0].c_str(), &after);
    EXPECT_EQ(after.st_mode, before.st_mode);
    EXPECT_EQ(after.st_rdev, before.st_rdev);
    EXPECT_EQ(std::filesystem::is_symlink(file()), kind.linked);
}

INSTANTIATE_TEST_SUITE_P(Kinds, OddDotFileTest,
                         ::testing::Values(OddNode{"Fifo", makeFifo, false},
                                           OddNode{"LinkToFifo", makeFifo, true},
                                           OddNode{"Directory", makeDirectory, false},
                                           OddNode{"LinkToDirectory", makeDirectory, true},
                                           OddNode{"NullDevice", makeNullDevice, false},
                                           OddNode{"LinkToNullDevice", makeNullDevice, true},
                                           OddNode{"LinkToZeroDevice", makeZeroDevice, true}),
                         [](const auto& test) { return test.param.name; });

}  // namespace
