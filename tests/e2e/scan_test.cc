#include <signal.h>

#include <algorithm>
#include <ostream>
#include <thread>

#include "e2e_fixture.h"
#include "hung_mount.h"

namespace e2e {
namespace {

// PATH names one directory before the directory of the real tools.
class ScanTest : public LaunchTest {
protected:
    Window beginWithScanOf(const std::string& directory) {
        std::vector<std::string> env = {"HOME=" + home.path(),
                                        "PATH=" + directory + ":" + bin.path(),
                                        "DISPLAY=" + displayName()};
        const auto recorder = recorderEnv();
        env.insert(env.end(), recorder.begin(), recorder.end());
        launcher = start({}, env);
        const Window window = x().waitForMappedWindow();
        EXPECT_NE(window, 0U);
        EXPECT_TRUE(x().waitForForeignGrab());
        return window;
    }
};

// The first directory is slow, so that reading it takes far longer than the X work:
// about half a second, or half a minute. Made once for all the runs of a build tree.
class SlowScanTest : public ScanTest {
protected:
    static void SetUpTestSuite() {
        E2ETest::SetUpTestSuite();
        const std::string cache = SLOW_SCAN_CACHE;
        if (std::filesystem::exists(cache + "/done")) {
            return;
        }
        std::filesystem::create_directories(std::filesystem::path(cache).parent_path());
        std::string pattern = cache + ".XXXXXX";
        const std::string fresh = mkdtemp(pattern.data());
        makeSlowDirectory(fresh + "/short", 300);
        makeSlowDirectory(fresh + "/long", 20000);
        writeFile(fresh + "/done", "");
        if (rename(fresh.c_str(), cache.c_str()) != 0) {
            std::filesystem::remove_all(fresh);  // another test process made it meanwhile
        }
    }
    static std::string shortScan() { return SLOW_SCAN_CACHE "/short"; }
    static std::string longScan() { return SLOW_SCAN_CACHE "/long"; }
};

TEST_F(SlowScanTest, KeysTypedAtOnceAreHandledInOrderAndTabSeesTheWholeIndex) {
    beginWithScanOf(shortScan());
    x().type("xtermc");  // only the last directory has a match
    x().key("Tab");
    x().type(" -a");
    x().key("Return");
    expectEnd(*launcher, 0, "");
    EXPECT_EQ(launchedArgs(), argv("xtermcontrol -a"));
}

// A Tab waits for the index, but not with the window: it repaints, and Escape ends.
TEST_F(SlowScanTest, WhileATabWaitsTheWindowRepaintsAndEscapeEnds) {
    const Window window = beginWithScanOf(longScan());
    x().type("xte");
    x().key("Tab");
    const Window cover = x().coverWith(0, 0, 800, 400, "red");  // short of a locker's
    ASSERT_TRUE(waitUntil([&] { return x().capture(window).at(1, 1) == 0xFF0000; }));
    XDestroyWindow(x().display(), cover);
    XSync(x().display(), False);
    EXPECT_TRUE(waitUntil([&] {
        const Image image = x().capture(window);
        return image.at(0, 0) == 0xFFFFFF && image.at(1, 1) == 0x000000;
    }));
    x().key("Escape");
    expectEnd(*launcher, 0, "");
}

TEST_F(SlowScanTest, ReturnLaunchesAndEndsBeforeTheScanCould) {
    beginWithScanOf(longScan());
    x().type("ls");
    x().key("Return");
    expectEnd(*launcher, 0, "");
    EXPECT_EQ(launchedArgs(), argv("ls"));
    EXPECT_EQ(readFile(history()), "ls");
    EXPECT_TRUE(waitUntil([&] { return kill(-launcher->pid(), 0) == -1; }))
        << "the scan's helper was ended with the launcher";
}

// What lies on a mount that never answers, what the user does, and how the launcher ends
// once the file system stops: the keyboard and the screen are free before that.
struct HungCase {
    const char* name;
    const char* hung;  // PATH, SHELL, HOME (dead only after start-up), or DEADHOME (from the start)
    std::vector<std::string> steps;
    int signal;  // sent after the steps; 0 for none
    int status;
    const char* errorStart;
};

std::ostream& operator<<(std::ostream& out, const HungCase& c) { return out << c.name; }

class HungPathTest : public ScanTest {
protected:
    void SetUp() override {
        ScanTest::SetUp();
        std::filesystem::create_directory(mountPoint);
        const std::string why = mount.mount(mountPoint);
        if (!why.empty()) {
            GTEST_SKIP() << why;
        }
    }
    std::string mountPoint = shared / "hung";
    HungMount mount;
};

// While another client holds the keyboard the launcher waits for it, and reads no PATH:
// keys typed then would go to the window below.
TEST_F(HungPathTest, NothingReadsPathBeforeTheKeyboardIsHeld) {
    ASSERT_TRUE(x().holdKeyboard());
    launcher = start({}, {"HOME=" + home.path(), "PATH=" + mountPoint, "DISPLAY=" + displayName()});
    ASSERT_NE(x().waitForMappedWindow(), 0U);
    std::this_thread::sleep_for(200ms);  // the launcher tries for the keyboard meanwhile
    EXPECT_FALSE(mount.touched());
    x().releaseKeyboard();
    ASSERT_TRUE(x().waitForForeignGrab());
    EXPECT_TRUE(waitUntil([&] { return mount.touched(); }));
    x().key("Escape");
    expectEnd(*launcher, 0, "");
}

// An opening stuck in a save on a dead HOME holds nothing: the resident, which touches
// no file, holds the hotkey again, and the next press opens.
TEST_F(HungPathTest, ResidentOpensAgainWhileAnOpeningWaitsOnADeadHome) {
    const std::string homeLink = shared / "home";
    std::filesystem::create_directory_symlink(home.path(), homeLink);
    launcher = start({"-hotkey", "Mod4+p"}, {"HOME=" + homeLink, "PATH=" + bin.path(),
                                             "DISPLAY=" + displayName(), "SHELL=/bin/true"});
    const KeyCode p = XKeysymToKeycode(x().display(), XK_p);
    ASSERT_TRUE(x().waitForForeignKeyGrab(p, Mod4Mask)) << launcher->standardError();
    std::filesystem::create_directory_symlink(mountPoint, shared / "dead");
    std::filesystem::rename(shared / "dead", homeLink);
    x().key("p", {"Super"});
    play({"ls", "<Return>"});
    EXPECT_TRUE(waitUntil([&] { return x().findMappedWindow() == 0 && x().holdKeyboard(); }, 2s));
    x().releaseKeyboard();
    ASSERT_TRUE(x().waitForForeignKeyGrab(p, Mod4Mask));
    x().watchForWindows();
    x().key("p", {"Super"});
    EXPECT_NE(x().waitForMappedWindow(), 0U);
    EXPECT_TRUE(x().waitForForeignGrab());
    x().key("Escape");
    mount.stop();
    EXPECT_TRUE(launcher->running()) << launcher->standardError();
}

class HungMountTest : public HungPathTest, public ::testing::WithParamInterface<HungCase> {};

TEST_P(HungMountTest, FreesTheKeyboardAndTheScreenAtOnce) {
    const HungCase& c = GetParam();
    const std::string hung = c.hung;
    const std::string homeLink = shared / "home";
    std::filesystem::create_directory_symlink(home.path(), homeLink);
    auto env = recorderEnv();
    env.insert(env.end(),
               {"PATH=" + (hung == "PATH" ? mountPoint + ":" : "") + bin.path(),
                "HOME=" + (hung == "DEADHOME" ? mountPoint : homeLink), "DISPLAY=" + displayName(),
                // Xlib reads HOME/.Xauthority when it connects, unless told where
                "XAUTHORITY=" + home / "none"});
    if (hung == "SHELL") {
        env.push_back("SHELL=" + mountPoint + "/sh");  // the first SHELL= wins
        std::rotate(env.begin(), env.end() - 1, env.end());
    }
    launcher = start({}, env);
    ASSERT_NE(x().waitForMappedWindow(), 0U);
    ASSERT_TRUE(x().waitForForeignGrab());
    if (hung == "HOME") {
        std::filesystem::create_directory_symlink(mountPoint, shared / "dead");
        std::filesystem::rename(shared / "dead", homeLink);
    }
    play(c.steps);
    if (c.signal != 0) {
        kill(launcher->pid(), c.signal);
    }
    EXPECT_TRUE(waitUntil([&] { return x().findMappedWindow() == 0 && x().holdKeyboard(); }, 1s));
    x().releaseKeyboard();
    mount.stop();
    EXPECT_EQ(launcher->waitExit(), c.status);
    EXPECT_TRUE(launcher->standardError().starts_with(c.errorStart)) << launcher->standardError();
}

INSTANTIATE_TEST_SUITE_P(
    Paths, HungMountTest,
    ::testing::Values(
        HungCase{"EscapeWithoutTab", "PATH", {"<Escape>"}, 0, 0, ""},
        HungCase{"EscapeAfterTab", "PATH", {"xte", "<Tab>", "<Escape>"}, 0, 0, ""},
        HungCase{"TermAfterTab", "PATH", {"xte", "<Tab>"}, SIGTERM, 128 + SIGTERM, ""},
        HungCase{"HupAfterTab", "PATH", {"xte", "<Tab>"}, SIGHUP, 128 + SIGHUP, ""},
        HungCase{"KillAfterTab", "PATH", {"xte", "<Tab>"}, SIGKILL, 128 + SIGKILL, ""},
        HungCase{"ReturnWithDeadShell", "SHELL", {"ls", "<Return>"}, 0, 1, "Error: Couldn't run "},
        HungCase{"ReturnWithDeadHome", "HOME", {"ls", "<Return>"}, 0, 0, ""},
        // Up waits for the history, and Alt+x for the bookmarks, with the keys after them.
        HungCase{
            "UpThenEscapeWithHomeDeadFromTheStart", "DEADHOME", {"<Up>", "<Escape>"}, 0, 0, ""},
        HungCase{"AltKeyThenEscapeWithHomeDeadFromTheStart",
                 "DEADHOME",
                 {"<Alt+x>", "<Escape>"},
                 0,
                 0,
                 ""}),
    [](const auto& test) { return test.param.name; });

}  // namespace
}  // namespace e2e
