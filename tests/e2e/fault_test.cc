#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#ifdef __linux__
#include <sys/mount.h>
#endif
#include <sys/resource.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <random>
#include <sstream>

#include "e2e_fixture.h"

namespace e2e {
namespace {

// The launcher when its world fails around it: files, file systems, PATH, the X server.
class FaultTest : public LaunchTest {
protected:
    void typeAndRun(const std::string& line) {
        x().type(line);
        x().key("Return");
    }
};

// A pointer that a window manager holds for a moment (the end of a drag) is tried again:
// the launcher holds it once it is free.
TEST_F(FaultTest, PointerHeldElsewhereForAMomentIsTakenOnceFree) {
    begin({"LD_PRELOAD=" MOMENTS_LIBRARY, "PELLACORVINE_POINTER_HELD=2",
           "ASAN_OPTIONS=verify_asan_link_order=0"});
    EXPECT_TRUE(x().waitForForeignPointerGrab(2s));
    x().key("Escape");
    expectEnd(*launcher, 0, "");
}

// Saving without the lock (another launcher holds it too long), a write cut short just as
// another saver appends its line: the cut-back leaves that line whole.
TEST_F(FaultTest, ShortWriteWithoutTheLockCutsNoOtherSaversLine) {
    writeFile(history(), "old\n");
    const int held = open(history().c_str(), O_RDONLY);
    ASSERT_EQ(flock(held, LOCK_EX), 0);
    std::vector<std::string> env = recorderEnv();
    env.insert(env.end(), {"LD_PRELOAD=" MOMENTS_LIBRARY, "PELLACORVINE_SHORT_WRITE=" + history(),
                           "ASAN_OPTIONS=verify_asan_link_order=0"});
    begin(env);
    typeAndRun("xterm");
    expectEnd(*launcher, 0, "");
    close(held);
    EXPECT_EQ(readFile(history()), "old\n\nxt\ninterloper\n");
}

TEST_F(FaultTest, HistoryOverAFileSizeLimitKeepsItsContentAndTheCommandRuns) {
    const std::string old = std::string(4000, 'o') + "\n";
    writeFile(history(), old);
    // Room for the recorder's own file, not for the history with a new line.
    const auto limit = [] {
        const rlimit size{4050, 4050};
        setrlimit(RLIMIT_FSIZE, &size);
    };
    startReady(launcher, {}, recorderEnv(), limit);
    typeAndRun(std::string(100, 'n'));
    expectEnd(*launcher, 0, "");
    EXPECT_EQ(launchedArgs(), argv(std::string(100, 'n')));
    EXPECT_EQ(readFile(history()), old);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(home.path()),
                            std::filesystem::directory_iterator()),
              2)
        << "only the history and the record";
}

TEST_F(FaultTest, HistoryOnAFullFileSystemKeepsItsContent) {
#ifndef __linux__
    GTEST_SKIP() << "a small tmpfs is mounted on Linux only";
#else
    if (geteuid() != 0) {
        GTEST_SKIP() << "mounting a small tmpfs needs root";
    }
    const std::string disk = home / "disk";
    std::filesystem::create_directory(disk);
    ASSERT_EQ(mount("tmpfs", disk.c_str(), "tmpfs", 0, "size=16k"), 0) << std::strerror(errno);
    const std::unique_ptr<const char, int (*)(const char*)> unmount(disk.c_str(), umount);
    const std::string old = std::string(8191, 'o') + "\n";  // two whole pages: no room to append
    writeFile(disk + "/.pellacorvine.history", old);
    writeFile(disk + "/filler", std::string(8192, 'f'));
    std::unique_ptr<Process> run;
    x().watchForWindows();
    run = std::make_unique<Process>(
        PELLACORVINE_BINARY, std::vector<std::string>{},
        std::vector<std::string>{"HOME=" + disk, "PATH=" + bin.path(), "DISPLAY=" + displayName(),
                                 "SHELL=/bin/true"});
    ASSERT_NE(x().waitForMappedWindow(), 0U);
    ASSERT_TRUE(x().waitForForeignGrab());
    typeAndRun("a command that does not fit");
    EXPECT_EQ(run->waitExit(), 0);
    EXPECT_EQ(readFile(disk + "/.pellacorvine.history"), old);
#endif
}

// The first launcher's fsync takes 3 s, under the lock. Meanwhile the second gives up on
// the lock and saves, then the third: no saver may drop another's line, whether the first
// appends (a history in the saved form) or rewrites (one with an empty line, to which
// the others append what it must carry over).
class SlowDiskTest : public FaultTest, public ::testing::WithParamInterface<const char*> {};

TEST_P(SlowDiskTest, KeepsEveryLineOfLaunchersSavingAtOnce) {
    writeFile(history(), GetParam());
    std::unique_ptr<Process> slow;
    startReady(slow, {},
               {"SHELL=/bin/true", "LD_PRELOAD=" SLOW_FSYNC_LIBRARY,
                "ASAN_OPTIONS=verify_asan_link_order=0"});
    play({"one", "<Return>"});
    for (const char* line : {"two", "three"}) {
        EXPECT_TRUE(waitUntil([&] { return x().findMappedWindow() == 0; }));
        begin({"SHELL=/bin/true"});
        play({line, "<Return>"});
        EXPECT_EQ(launcher->waitExit(), 0);
        EXPECT_TRUE(slow->running()) << "the first still syncs, under the lock";
    }
    EXPECT_EQ(slow->waitExit(), 0);
    std::vector<std::string> lines;
    std::istringstream saved(readFile(history()));
    for (std::string line; std::getline(saved, line);) {
        if (!line.empty()) {
            lines.push_back(line);
        }
    }
    std::sort(lines.begin(), lines.end());
    EXPECT_EQ(lines, (std::vector<std::string>{"old", "one", "three", "two"}));
}

INSTANTIATE_TEST_SUITE_P(Histories, SlowDiskTest, ::testing::Values("old", "old\n\n"),
                         [](const auto& test) {
                             return std::string(test.param) == "old" ? "Appended" : "Rewritten";
                         });

// A TERM while the rewritten history syncs: the save finishes (its new file is renamed
// into place), then the signal ends the launcher.
TEST_F(FaultTest, TermDuringASaveLetsItFinishFirst) {
    writeFile(history(), "old\n\n");
    startReady(launcher, {},
               {"SHELL=/bin/true", "LD_PRELOAD=" SLOW_FSYNC_LIBRARY,
                "ASAN_OPTIONS=verify_asan_link_order=0"});
    play({"new", "<Return>"});
    ASSERT_TRUE(waitUntil([&] { return std::filesystem::exists(history() + ".saving"); }));
    kill(launcher->pid(), SIGTERM);
    EXPECT_EQ(launcher->waitExit(), 128 + SIGTERM);
    EXPECT_EQ(readFile(history()), "old\nnew");
}

std::string accessAcl(const std::string& path) {
    const std::string listing = path + ".acl";
    const std::string command =
        "getfacl --omit-header --absolute-names '" + path + "' > '" + listing + "'";
    return std::system(command.c_str()) == 0 ? readFile(listing) : "getfacl failed";
}

// A rewrite (the empty line goes) must not widen access: the group's denial and the named
// reader stay.
TEST_F(FaultTest, RewrittenHistoryKeepsItsAccessAcl) {
    writeFile(history(), "a\n\nb", 0640);
    if (std::system("command -v setfacl >/dev/null") != 0) {
        GTEST_SKIP() << "no setfacl";
    }
    if (std::system(("setfacl -m g::---,u:nobody:r-- '" + history() + "'").c_str()) != 0) {
        GTEST_SKIP() << "no ACLs on this file system";
    }
    const std::string before = accessAcl(history());
    begin();
    typeAndRun("c");
    expectEnd(*launcher, 0, "");
    EXPECT_EQ(readFile(history()), "a\nb\nc");
    EXPECT_EQ(accessAcl(history()), before);
}

class OddHistoryTest : public FaultTest,
                       public ::testing::WithParamInterface<std::filesystem::file_type> {};

TEST_P(OddHistoryTest, IsLeftAloneAndTheCommandRuns) {
    if (GetParam() == std::filesystem::file_type::directory) {
        std::filesystem::create_directory(history());
    } else {
        mkfifo(history().c_str(), 0600);  // opened blocking, it would wait for a writer for ever
    }
    begin();
    x().key("Up");
    typeAndRun("ls");
    expectEnd(*launcher, 0, "");
    EXPECT_EQ(launchedArgs(), argv("ls"));
    EXPECT_EQ(std::filesystem::symlink_status(history()).type(), GetParam());
}

INSTANTIATE_TEST_SUITE_P(Kinds, OddHistoryTest,
                         ::testing::Values(std::filesystem::file_type::directory,
                                           std::filesystem::file_type::fifo),
                         [](const auto& test) {
                             return test.param == std::filesystem::file_type::fifo ? "Fifo"
                                                                                   : "Directory";
                         });

std::vector<Atom> rootProperties(Display* display) {
    int count = 0;
    Atom* atoms = XListProperties(display, DefaultRootWindow(display), &count);
    std::vector<Atom> list(atoms, atoms + count);
    XFree(atoms);
    std::sort(list.begin(), list.end());
    return list;
}

// Sent whole, such a line overflowed the request's length field and the server read its
// tail as requests of their own.
TEST_F(FaultTest, RecalledLineOfThreeHundredThousandBytesIsDrawnAndSendsNoRequests) {
    std::string line;
    while (line.size() < 300000) {
        line += "xprop -root -f EVIL 8s -set EVIL owned ";
    }
    writeFile(history(), line + "\n");
    const auto properties = rootProperties(x().display());
    const Window window = startReady(launcher, {}, recorderEnv());
    const std::uint32_t white = x().pixelValue("white");
    x().key("Up");
    const auto whiteInsideFrame = [&] {
        const Image image = x().capture(window);
        int count = 0;
        for (int row = 2; row < image.height - 2; ++row) {
            for (int column = 2; column < image.width - 2; ++column) {
                count += image.at(column, row) == white ? 1 : 0;
            }
        }
        return count;
    };
    EXPECT_TRUE(waitUntil([&] { return whiteInsideFrame() > 500; })) << "the line's start shows";
    x().key("Escape");
    expectEnd(*launcher, 0, "");
    EXPECT_EQ(rootProperties(x().display()), properties);
}

TEST_F(FaultTest, ReadOnlyHomeStillLaunches) {
    writeFile(history(), "old\n", 0644);
    chmod(home.path().c_str(), 0555);  // binds for nobody below, or for an ordinary user
    const std::string recordDir = bin / "records";
    std::filesystem::create_directory(recordDir);
    chmod(recordDir.c_str(), 0777);
    chmod(bin.path().c_str(), 0755);
    // As root the directory bits do not bind, so the launcher runs as nobody.
    program = runnableByAll(PELLACORVINE_BINARY);
    startReady(
        launcher, {},
        {"SHELL=" + runnableByAll(RECORDER_BINARY), "PELLACORVINE_RECORD=" + recordDir + "/r"},
        becomeNobody);
    x().key("Up");
    x().key("Return");
    expectEnd(*launcher, 0, "");
    EXPECT_TRUE(waitUntil(
        [&] { return readFile(recordDir + "/r").find("arg:old\n") != std::string::npos; }));
    EXPECT_EQ(readFile(history()), "old\n");
    chmod(home.path().c_str(), 0755);
}

// A megabyte of noise after one binding, with no other 'a' to rebind it: Alt+a runs it.
TEST_F(FaultTest, BinaryBookmarksFileLoads) {
    std::mt19937 random(42);
    std::string noise(1 << 20, '\0');
    for (char& byte : noise) {
        byte = static_cast<char>(random());
        byte = byte == 'a' ? 'b' : byte;
    }
    writeFile(home / ".pellacorvine.bookmarks", "a xterm\n" + noise);
    begin();
    x().type("bc");
    x().key("a", {"Alt"});
    expectEnd(*launcher, 0, "");
    EXPECT_EQ(launchedArgs(), argv("xterm"));
}

TEST_F(FaultTest, ManyOddPathComponentsStillComplete) {
    const std::string loop = bin / "loop";
    std::filesystem::create_symlink(loop, loop);
    const std::string locked = bin / "locked";
    std::filesystem::create_directory(locked);
    chmod(locked.c_str(), 0);
    std::string path;
    for (int i = 0; i < 3000; ++i) {
        path += (i % 5 == 0   ? bin / ("missing" + std::to_string(i))
                 : i % 5 == 1 ? loop
                 : i % 5 == 2 ? locked
                 : i % 5 == 3 ? bin / "ls"  // a file, not a directory
                              : std::string()) +
                ":";
    }
    path += bin.path();
    // As root nothing is unreadable, so the launcher runs as nobody.
    chmod(bin.path().c_str(), 0755);
    chmod(home.path().c_str(), 0777);
    program = runnableByAll(PELLACORVINE_BINARY);
    launcher = start({},
                     {"HOME=" + home.path(), "PATH=" + path, "DISPLAY=" + displayName(),
                      "SHELL=" + runnableByAll(RECORDER_BINARY), "PELLACORVINE_RECORD=" + record()},
                     becomeNobody);
    ASSERT_NE(x().waitForMappedWindow(), 0U);
    ASSERT_TRUE(x().waitForForeignGrab());
    x().type("xte");
    x().key("Tab");
    x().key("Return");
    expectEnd(*launcher, 0, "");
    EXPECT_EQ(launchedArgs(), argv("xterm"));
    chmod(locked.c_str(), 0755);
}

// A user at the process limit: no helper to read PATH or the history, and no child for
// the command. The launcher still works, and nothing is read where the keys are.
TEST_F(FaultTest, WithoutProcessesTabCompletesNothingAndTheLineIsStillRecorded) {
    chmod(bin.path().c_str(), 0755);
    chmod(home.path().c_str(), 0777);
    program = runnableByAll(PELLACORVINE_BINARY);
    const std::string shell = runnableByAll(RECORDER_BINARY);
    // LeakSanitizer, where built in, needs a thread at exit that the limit refuses.
    startReady(launcher, {}, {"SHELL=" + shell, "ASAN_OPTIONS=detect_leaks=0"}, [] {
        becomeNobody();  // root ignores the limit
        const rlimit one{1, 1};
        setrlimit(RLIMIT_NPROC, &one);
    });
    play({"x", "<Tab>", "y", "<Return>"});
    expectEnd(*launcher, 1, "Error: Couldn't run " + shell + ": " + std::strerror(EAGAIN) + "\n");
    EXPECT_EQ(readFile(history()), "xy");
}

// A server of its own, since this test kills it.
TEST(ServerLossTest, LauncherEndsWithoutWritingOrLeavingAChild) {
    TempDir home;
    TempDir bin;
    Xvfb server;
    std::unique_ptr<Process> launcher;
    {
        // Closed before the server goes, or Xlib would end this test process too.
        XSession session(server.display());
        session.watchForWindows();
        launcher = std::make_unique<Process>(
            PELLACORVINE_BINARY, std::vector<std::string>{},
            std::vector<std::string>{"HOME=" + home.path(), "PATH=" + bin.path(),
                                     "DISPLAY=" + server.display()});
        ASSERT_NE(session.waitForMappedWindow(), 0U);
        ASSERT_TRUE(session.waitForForeignGrab());
    }
    server.kill();
    const auto status = launcher->waitExit();
    ASSERT_TRUE(status.has_value());
    EXPECT_NE(*status, 0);
    EXPECT_FALSE(std::filesystem::exists(home / ".pellacorvine.history"));
    // Its helpers, done or not, go with it.
    EXPECT_TRUE(waitUntil([&] { return kill(-launcher->pid(), 0) == -1; }))
        << "nothing left in the launcher's process group";
}

}  // namespace
}  // namespace e2e
