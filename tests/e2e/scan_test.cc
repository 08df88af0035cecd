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
    const Window cover = x().coverWith(0, 0, 800, 600, "red");
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
}

// A PATH directory on a mount that never answers: the scan thread sleeps for good, yet
// the keyboard and the screen are the user's again as soon as they leave.
class HungMountTest : public ScanTest, public ::testing::WithParamInterface<bool> {
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

TEST_P(HungMountTest, EscapeFreesTheKeyboardAndTheScreenAtOnce) {
    beginWithScanOf(mountPoint);
    if (GetParam()) {
        x().type("xte");
        x().key("Tab");
    }
    x().key("Escape");
    EXPECT_TRUE(waitUntil([&] { return x().findMappedWindow() == 0 && x().holdKeyboard(); }, 1s));
    x().releaseKeyboard();
    mount.stop();
    expectEnd(*launcher, 0, "");
}

INSTANTIATE_TEST_SUITE_P(WithoutOrAfterTab, HungMountTest, ::testing::Values(false, true));

}  // namespace
}  // namespace e2e
