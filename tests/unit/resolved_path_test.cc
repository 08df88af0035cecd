// The link rule: a history reached through a shared directory is followed only as the
// kernel's protected_symlinks and protected_regular rules would allow.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <ostream>

#include "history_fixture.h"
#include "lists/history.h"

namespace {

// The history is a link into a sticky, world-writable directory, where another user may
// plant names. Followed only as protected_symlinks and protected_regular would allow,
// whatever the kernel does: the save writes nothing and the read finds nothing.
struct NeighbourCase {
    const char* name;
    // Plants what lies at sticky/hist (and sticky/dir); the link's history is there.
    void (*plant)(const std::string& home, const std::string& sticky);
    const char* historyLink;  // relative to sticky
    bool followed;
};

std::ostream& operator<<(std::ostream& out, const NeighbourCase& c) { return out << c.name; }

constexpr uid_t neighbour = 65533;
constexpr char victimContent[] = "precious\n\nline";

void own(const std::string& path, uid_t user) {
    ASSERT_EQ(lchown(path.c_str(), user, user), 0) << path;
}

void linkTo(const std::string& target, const std::string& link, uid_t user) {
    std::filesystem::create_symlink(target, link);
    own(link, user);
}

class NeighbourTest : public HistoryPermissionTest,
                      public ::testing::WithParamInterface<NeighbourCase> {};

TEST_P(NeighbourTest, SavesAndReadsOnlyThroughLinksTheKernelRuleAllows) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "needs root to act as two users";
    }
    const NeighbourCase& c = GetParam();
    TempDir sticky;
    chmod(sticky.path().c_str(), 01777);
    writeFile(home / "victim", victimContent, 0600);
    own(home / "victim", nobodyUser);
    c.plant(home.path(), sticky.path());
    linkTo(sticky / c.historyLink, file(), nobodyUser);
    const std::string planted = readFile(sticky / "hist");
    EXPECT_TRUE(asUser([&] {
        History history;
        const bool read = history.previous() == (c.followed ? "line" : "");
        history.save("cmd");
        return read;
    }));
    EXPECT_EQ(readFile(home / "victim"), c.followed ? "precious\nline\ncmd" : victimContent);
    if (!c.followed) {
        EXPECT_EQ(readFile(sticky / "hist"), planted);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Links, NeighbourTest,
    ::testing::Values(NeighbourCase{"NeighboursLink",
                                    [](const std::string& home, const std::string& sticky) {
                                        linkTo(home + "/victim", sticky + "/hist", neighbour);
                                    },
                                    "hist", false},
                      NeighbourCase{"NeighboursFile",
                                    [](const std::string&, const std::string& sticky) {
                                        writeFile(sticky + "/hist", "planted\n\nx", 0666);
                                        own(sticky + "/hist", neighbour);
                                    },
                                    "hist", false},
                      NeighbourCase{"NeighboursDirectoryLink",
                                    [](const std::string& home, const std::string& sticky) {
                                        linkTo(home, sticky + "/dir", neighbour);
                                    },
                                    "dir/victim", false},
                      NeighbourCase{"OwnLink",
                                    [](const std::string& home, const std::string& sticky) {
                                        linkTo(home + "/victim", sticky + "/hist", nobodyUser);
                                    },
                                    "hist", true},
                      NeighbourCase{"DirectoryOwnersLink",
                                    [](const std::string& home, const std::string& sticky) {
                                        own(sticky, neighbour);
                                        linkTo(home + "/victim", sticky + "/hist", neighbour);
                                    },
                                    "hist", true}),
    [](const auto& test) { return test.param.name; });

}  // namespace
