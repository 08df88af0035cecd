// Helper processes: a whole answer or none at all, and nothing of ours but their pipe.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdint>
#include <new>
#include <string>

#include "helper/helper.h"

namespace {

std::string outputOf(const HelperOutput::Job& job) {
    HelperOutput helper;
    EXPECT_TRUE(helper.start(job));
    helper.wait();
    return helper.take();
}

// The length goes first, so a helper that fails, dies part-way or sends more than it said
// gives no output rather than part of one.
TEST(HelperTest, GivesTheWholeOutputOrNone) {
    struct Case {
        const char* name;
        HelperOutput::Job job;
        std::string output;
    };
    const Case cases[] = {
        {"Whole", [] { return HelperOutput::Reply{"xterm"}; }, "xterm"},
        {"Throws", []() -> HelperOutput::Reply { throw std::bad_alloc(); }, ""},
        {"DiesPartWay",
         []() -> HelperOutput::Reply {
             const std::uint64_t promised = 64;
             if (write(3, &promised, sizeof promised) < 0 || write(3, "xterm", 6) < 0) {
                 _exit(2);
             }
             _exit(0);
         },
         ""},
        {"SendsMoreThanItSaid",
         []() -> HelperOutput::Reply {
             const std::uint64_t promised = 2;
             if (write(3, &promised, sizeof promised) < 0 || write(3, "xterm", 5) < 0) {
                 _exit(2);
             }
             _exit(0);
         },
         ""}};
    for (const Case& c : cases) {
        EXPECT_EQ(outputOf(c.job), c.output) << c.name;
    }
}

// Nothing of ours but the pipe: /dev/null on 0 to 2, so that a helper stuck in a dead
// mount holds neither the X connection nor a reader of our standard error.
TEST(HelperTest, KeepsOnlyItsPipe) {
    const int kept = open("/dev/null", O_RDONLY);  // not close-on-exec, as an inherited one
    const std::string open = outputOf([] {
        std::string descriptors;
        for (int fd = 0; fd < 256; ++fd) {
            struct stat status {};
            if (fstat(fd, &status) == 0) {
                descriptors += std::to_string(fd) + (S_ISCHR(status.st_mode) ? "c " : " ");
            }
        }
        return HelperOutput::Reply{descriptors};
    });
    EXPECT_EQ(open, "0c 1c 2c 3 ");
    close(kept);
}

// A helper killed while another still runs is reaped before the launch: until then it
// counts against the user's process limit.
TEST(HelperTest, ReapsAKilledHelperWhileAnotherStillRuns) {
    const pid_t running = fork();
    if (running == 0) {
        pause();
        _exit(0);
    }
    const pid_t killed = fork();
    if (killed == 0) {
        pause();
        _exit(0);
    }
    kill(killed, SIGKILL);
    reapHelpers(std::chrono::milliseconds(100));
    const pid_t left = waitpid(killed, nullptr, WNOHANG);
    kill(running, SIGKILL);
    waitpid(running, nullptr, 0);
    EXPECT_EQ(left, -1) << "not reaped";
}

}  // namespace
