#include <fcntl.h>
#include <unistd.h>

#include "e2e_fixture.h"

namespace e2e {
namespace {

// PATH names one big directory of non-executable files many times before the directory
// of the real tools, so that reading it takes far longer than the X work.
class SlowScanTest : public LaunchTest {
protected:
    static void SetUpTestSuite() {
        E2ETest::SetUpTestSuite();
        big_ = std::make_unique<TempDir>();
        for (int i = 0; i < 100000; ++i) {
            close(open((*big_ / ("f" + std::to_string(i))).c_str(), O_CREAT | O_WRONLY, 0644));
        }
    }
    static void TearDownTestSuite() {
        big_.reset();
        E2ETest::TearDownTestSuite();
    }

    void beginWithScanOf(int repeats) {
        std::string path;
        for (int i = 0; i < repeats; ++i) {
            path += big_->path() + ":";
        }
        std::vector<std::string> env = {"HOME=" + home.path(), "PATH=" + path + bin.path(),
                                        "DISPLAY=" + displayName()};
        const auto recorder = recorderEnv();
        env.insert(env.end(), recorder.begin(), recorder.end());
        launcher = start({}, env);
        ASSERT_NE(x().waitForMappedWindow(), 0U);
        ASSERT_TRUE(x().waitForForeignGrab());
    }

    static inline std::unique_ptr<TempDir> big_;
};

TEST_F(SlowScanTest, KeysTypedAtOnceAreHandledInOrderAndTabSeesTheWholeIndex) {
    beginWithScanOf(5);
    x().type("xtermc");  // only the last directory has a match
    x().key("Tab");
    x().type(" -a");
    x().key("Return");
    expectEnd(*launcher, 0, "");
    EXPECT_EQ(launchedArgs(), argv("xtermcontrol -a"));
}

// Reading this PATH takes minutes; each ending comes without waiting for it.
TEST_F(SlowScanTest, EscapeEndsBeforeTheScanCould) {
    beginWithScanOf(500);
    x().key("Escape");
    expectEnd(*launcher, 0, "");
}

TEST_F(SlowScanTest, ReturnLaunchesAndEndsBeforeTheScanCould) {
    beginWithScanOf(500);
    x().type("ls");
    x().key("Return");
    expectEnd(*launcher, 0, "");
    EXPECT_EQ(launchedArgs(), argv("ls"));
    EXPECT_EQ(readFile(history()), "ls");
}

}  // namespace
}  // namespace e2e
