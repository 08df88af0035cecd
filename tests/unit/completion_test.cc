#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <sys/socket.h>
#include <sys/un.h>

#include <filesystem>

#include "completion/completion.h"
#include "test_support.h"

namespace {

using Names = std::vector<std::string>;

Names indexFor(const std::string& path) {
    ScopedEnv env("PATH", path);
    return Completion().index();
}

class CompletionTest : public ::testing::Test {
protected:
    CompletionTest() {
        std::filesystem::create_directory(a);
        std::filesystem::create_directory(b);
    }
    TempDir root;
    std::string a = root / "a";
    std::string b = root / "b";
};

TEST_F(CompletionTest, EveryComponentIsScannedAndEmptyOnesAddNothing) {
    writeFile(a + "/one", "", 0755);
    writeFile(b + "/two", "", 0755);
    writeFile(root / "cwd-tool", "", 0755);
    std::filesystem::create_directory_symlink(a, root / "link-to-a");
    const std::filesystem::path saved = std::filesystem::current_path();
    std::filesystem::current_path(root.path());
    struct Split {
        std::string path;
        Names names;
    };
    for (const Split& split :
         {Split{a + ":" + b, {"one", "two"}}, Split{a + "::" + b, {"one", "two"}},
          Split{a + ":" + b + ":", {"one", "two"}}, Split{":" + a, {"one"}}, Split{"", {}},
          Split{"a", {"one"}}, Split{"/nonexistent:" + b, {"two"}},
          Split{b + ":" + a, {"one", "two"}}, Split{a + ":" + a, {"one"}},
          Split{a + ":" + root / "link-to-a", {"one"}}}) {
        EXPECT_EQ(indexFor(split.path), split.names) << split.path;
    }
    std::filesystem::current_path(saved);
}

TEST_F(CompletionTest, DuplicatesAreKeptAndNamesSortByBytes) {
    for (const char* name : {"b", "B", "a", "\xE9t\xE9", "ab", ".hidden"}) {
        writeFile(a + "/" + name, "", 0755);
    }
    writeFile(b + "/a", "", 0755);
    EXPECT_EQ(indexFor(a + ":" + b), (Names{".hidden", "B", "a", "a", "ab", "b", "\xE9t\xE9"}));
}

TEST_F(CompletionTest, TypeTestFollowsLinksAndTakesRegularFilesAndSockets) {
    writeFile(a + "/tool", "", 0755);
    writeFile(a + "/plain", "", 0644);
    std::filesystem::create_symlink(a + "/tool", a + "/link-to-tool");
    std::filesystem::create_symlink(b, a + "/link-to-dir");
    std::filesystem::create_symlink(a + "/missing", a + "/dangling");
    std::filesystem::create_directory(a + "/subdir");
    chmod((a + "/subdir").c_str(), 0755);
    mkfifo((a + "/fifo").c_str(), 0777);
    const int sock = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::string socketPath = a + "/sock";
    socketPath.copy(address.sun_path, sizeof address.sun_path - 1);
    ASSERT_EQ(bind(sock, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    chmod(socketPath.c_str(), 0777);
    EXPECT_EQ(indexFor(a), (Names{"link-to-tool", "sock", "tool"}));
    close(sock);
}

// Ownership decides which execute bit counts; the real ids are those of a child process.
TEST_F(CompletionTest, PermissionMatrixUsesRealUserAndPrimaryGroup) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "needs root to give files to other users";
    }
    constexpr uid_t me = 4242;
    constexpr uid_t otherUser = 4545;
    constexpr gid_t myGroup = 4343;
    constexpr gid_t otherGroup = 4444;
    struct File {
        const char* name;
        mode_t mode;
        uid_t owner;
        gid_t group;
    };
    const File files[] = {{"owner-only-other-user", 0700, 1, 1},
                          {"others-exec-other-user", 0701, 1, 1},
                          {"group-exec-my-group", 0710, 1, myGroup},
                          {"group-exec-supplementary", 0710, 1, otherGroup},
                          {"owner-exec-mine", 0700, me, 1},
                          {"only-others-exec-mine", 0645, me, 1},
                          {"no-exec-mine", 0666, me, myGroup}};
    for (const File& file : files) {
        const std::string path = a + "/" + file.name;
        writeFile(path, "", file.mode);
        ASSERT_EQ(chown(path.c_str(), file.owner, file.group), 0);
        chmod(path.c_str(), file.mode);
    }
    chmod(root.path().c_str(), 0755);
    EXPECT_EQ(indexFor(a), (Names{"only-others-exec-mine", "others-exec-other-user"}))
        << "root has no special rights";
    // The effective ids differ from the real ones, which alone count.
    const int status = inChild([&] {
        const gid_t supplementary[] = {otherGroup};
        if (setgroups(1, supplementary) != 0 || setregid(myGroup, otherGroup) != 0 ||
            setreuid(me, otherUser) != 0) {
            return 2;
        }
        const Names expected = {"group-exec-my-group", "only-others-exec-mine",
                                "others-exec-other-user", "owner-exec-mine"};
        return indexFor(a) == expected ? 0 : 1;
    });
    EXPECT_EQ(status, 0);
}

class CycleTest : public CompletionTest {
protected:
    void SetUp() override {
        for (const char* name : {"ls", "xcalc", "xterm", "xterm-wrap", "xtermcontrol"}) {
            writeFile(a + "/" + name, "", 0755);
        }
    }
    Completion completion() {
        ScopedEnv env("PATH", a);
        return Completion();
    }
};

TEST_F(CycleTest, TabsCycleThroughMatchesAndIgnoreTheCompletedText) {
    Completion c = completion();
    Names got;
    std::string line = "xte";
    for (int i = 0; i < 5; ++i) {
        line = c.complete(line);
        got.push_back(line);
    }
    EXPECT_EQ(got, (Names{"xterm", "xterm-wrap", "xtermcontrol", "xterm", "xterm-wrap"}));
}

TEST_F(CycleTest, NoMatchGivesTheTextBackEveryTime) {
    Completion c = completion();
    EXPECT_EQ(c.complete("xq"), "xq");
    EXPECT_EQ(c.complete("xq"), "xq");
    EXPECT_EQ(c.complete("ls -l"), "ls -l");
    EXPECT_EQ(c.complete("l"), "l") << "the cycle keeps its prefix xq until reset";
}

TEST_F(CycleTest, EmptyTextLeavesTheCycleAlone) {
    Completion c = completion();
    EXPECT_EQ(c.complete("xterm"), "xterm");
    EXPECT_EQ(c.complete(""), "");
    EXPECT_EQ(c.complete("anything"), "xterm-wrap");
}

TEST_F(CycleTest, ResetStartsANewCycleFromTheNextText) {
    Completion c = completion();
    c.complete("xte");
    c.complete("xterm");
    c.reset();
    EXPECT_EQ(c.complete("x"), "xcalc");
    EXPECT_EQ(c.complete("xcalc"), "xterm");
}

TEST_F(CycleTest, TabDuringTheScanGivesWhatATabAfterItGives) {
    writeFile(b + "/xta", "", 0755);  // read last, sorted first
    makeSlowDirectory(root / "slow", 200);
    ScopedEnv env("PATH", root / "slow" + ":" + a + ":" + b);
    const auto tabs = [](Completion& c) {
        Names lines = {c.complete("xt")};
        lines.push_back(c.complete(lines.back()));
        return lines;
    };
    Completion().startScan();  // gone while its scan goes on
    Completion during;
    during.startScan();
    const Names early = tabs(during);
    Completion after;
    after.startScan();
    after.index();
    EXPECT_EQ(early, tabs(after));
    EXPECT_EQ(early, (Names{"xta", "xterm"}));
}

TEST_F(CycleTest, SingleMatchRepeats) {
    Completion c = completion();
    EXPECT_EQ(c.complete("l"), "ls");
    EXPECT_EQ(c.complete("ls"), "ls");
}

}  // namespace
