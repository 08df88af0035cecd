// The resident through a fake hotkey and clock: a holder of the chord for a moment waited
// out and one past the bound an error, a remap followed, and the openings' news taken in.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <fstream>
#include <string>
#include <vector>

#include "fake_hotkey.h"

namespace {

using namespace std::chrono_literals;
using Grab = X11Hotkey::Grab;
using Wake = X11Hotkey::Wake;

const std::string takenLine =
    "Hotkey Mod4+p is taken by another client: remove its other binding (in the window "
    "manager, a hotkey daemon, or another pellacorvine -hotkey)";

class ResidentChordTest : public ::testing::Test {
protected:
    Resident& resident(bool restarted, std::vector<Opening> openings = {}) {
        RestartState state;
        state.restarted = restarted;
        state.openings = std::move(openings);
        Settings settings;
        settings.hotkey = "Mod4+p";
        resident_ = std::make_unique<Resident>(
            settings, argv, std::make_unique<FakeHotkey>(script, pacing), state, pacing);
        return *resident_;
    }

    HotkeyScript script;
    FakePacing pacing;

private:
    std::string name = "pellacorvine";
    char* argv[2] = {name.data(), nullptr};
    std::unique_ptr<Resident> resident_;
};

// At the first start a client that probes the chord holds it for moments; at a restart the
// server may take a while to see the opening's grabs go.
TEST_F(ResidentChordTest, HoldsTheChordOnceAHolderOfAMomentLetsGo) {
    struct Case {
        const char* name;
        bool restarted;
        std::vector<HotkeyScript::Answer> answers;
        std::string error;
        std::chrono::milliseconds from;  // the time it took, at least
        std::chrono::milliseconds to;    // and below
        std::string said = "";
    };
    const Case cases[] = {
        {"Free", false, {}, "", 0ms, 1ms},
        {"TakenForAMomentAtTheStart", false, {{Grab::Taken, 150ms}}, "", 150ms, 155ms},
        {"TakenAtTheStart", false, {{Grab::Taken, 10s}}, takenLine, 200ms, 205ms},
        {"TakenForTwoSecondsAtARestart", true, {{Grab::Taken, 2s}}, "", 2000ms, 2005ms},
        {"TakenAtARestart", true, {{Grab::Taken, 10s}}, takenLine, 3000ms, 3005ms},
        {"NoKeyAtTheStart",
         false,
         {{Grab::NoKey, 10s}},
         "Hotkey Mod4+p: no key of this keyboard carries its KeySym",
         0ms,
         1ms},
        {"NoKeyAtARestartIsWaitedFor",
         true,
         {{Grab::NoKey, 10s}},
         "",
         0ms,
         1ms,
         "Error: Hotkey Mod4+p: no key carries its KeySym now; waiting for one that does\n"}};
    for (const Case& c : cases) {
        script.answers = c.answers;
        pacing.elapsed = {};
        ::testing::internal::CaptureStderr();
        EXPECT_EQ(resident(c.restarted).holdChord().value_or(""), c.error) << c.name;
        EXPECT_EQ(::testing::internal::GetCapturedStderr(), c.said) << c.name;
        EXPECT_GE(pacing.elapsed, c.from) << c.name;
        EXPECT_LT(pacing.elapsed, c.to) << c.name;
    }
}

// A keyboard remapped: the chord follows its KeySym, and a map without it is said once.
TEST_F(ResidentChordTest, FollowsARemapAndSaysOnceThatTheKeyIsGone) {
    const std::string gone =
        "Error: Hotkey Mod4+p: no key carries its KeySym now; waiting for one that does\n";
    struct Case {
        const char* name;
        std::vector<HotkeyScript::Answer> answers;
        int remaps;
        std::string said;
    };
    const Case cases[] = {{"TakenForAMoment", {{Grab::Taken, 100ms}}, 1, ""},
                          {"TakenForGood",
                           {{Grab::Taken, 10s}},
                           1,
                           "Error: Hotkey Mod4+p is taken by another client on its new key\n"},
                          {"KeyGoneTwice", {{Grab::NoKey, 10s}}, 2, gone},
                          {"KeyGoneThenBackThenGone",
                           {{Grab::NoKey, 1ms}, {Grab::Held, 2ms}, {Grab::NoKey, 10s}},
                           3,
                           gone + gone}};
    for (const Case& c : cases) {
        script.answers = c.answers;
        script.wakes.assign(static_cast<std::size_t>(c.remaps), Wake::Remapped);
        pacing.elapsed = {};
        Resident& held = resident(false);
        ::testing::internal::CaptureStderr();
        for (int i = 0; i < c.remaps; ++i) {
            held.step();
            pacing.pause(1ms);
        }
        EXPECT_EQ(::testing::internal::GetCapturedStderr(), c.said) << c.name;
    }
}

// A byte on an opening's pipe: it gave the chord back. Its end: the opening ended, and is
// reaped.
TEST_F(ResidentChordTest, TakesInTheChordGivenBackAndReapsAnEndedOpening) {
    int back[2];
    int ended[2];
    ASSERT_EQ(pipe(back), 0);
    ASSERT_EQ(pipe(ended), 0);
    ASSERT_EQ(write(back[1], "r", 1), 1);
    close(ended[1]);
    const pid_t running = fork();
    if (running == 0) {
        pause();
        _exit(0);
    }
    const pid_t gone = fork();
    if (gone == 0) {
        _exit(0);
    }
    script.wakes = {Wake::Descriptor};
    Resident& held = resident(true, {{running, back[0], false}, {gone, ended[0], false}});
    held.step();
    const std::vector<Opening> left = held.state().openings;
    const pid_t reaped = waitpid(gone, nullptr, WNOHANG);
    kill(running, SIGKILL);
    waitpid(running, nullptr, 0);
    close(back[0]);
    close(back[1]);
    ASSERT_EQ(left.size(), 1U);
    EXPECT_EQ(left.front().pid, running);
    EXPECT_TRUE(left.front().chordGivenBack);
    EXPECT_EQ(reaped, -1) << "not reaped before";
}

}  // namespace

namespace {

std::vector<std::string> goldenForms() {
    std::ifstream in(UNIT_DATA_DIR "/restart_state.golden");
    std::vector<std::string> forms;
    for (std::string line; std::getline(in, line);) {
        if (!line.starts_with('#')) {
            forms.push_back(line);
        }
    }
    return forms;
}

std::string described(const std::optional<RestartState>& state) {
    if (!state) {
        return "unreadable";
    }
    std::string text = std::to_string(state->restarted) + " " +
                       std::to_string(state->stopSignalsIgnored) + " " + state->executable + " " +
                       state->authority;
    for (const Opening& opening : state->openings) {
        text += " " + std::to_string(opening.pid) + "/" + std::to_string(opening.descriptor) + "/" +
                std::to_string(opening.chordGivenBack);
    }
    return text;
}

// What one image hands the next: this version's form round trips through the golden file,
// 0.4.0's still reads, and anything else reads as nothing, never as a crash.
TEST(RestartStateTest, ReadsThisFormAndTheLastAndNothingElse) {
    RestartState state;
    state.restarted = true;
    state.stopSignalsIgnored = 5;
    state.executable = "/usr/bin/pellacorvine";
    state.authority = std::string("MIT-MAGIC-COOKIE-1") + '\0';
    for (char byte = 0; byte < 16; ++byte) {
        state.authority += byte;
    }
    state.openings = {{4242, 5, true}, {4243, 7, false}};
    const std::vector<std::string> golden = goldenForms();
    ASSERT_EQ(golden.size(), 2U);
    EXPECT_EQ(encodeRestartState(state), golden[0]);
    for (const std::string& form : golden) {
        EXPECT_EQ(described(decodeRestartState(form)), described(state)) << form;
    }
    for (const char* garbage :
         {"", "v2", "v3 5 2f -", "v2 5 2g -", "v2 5 2 -", "v2 9 2f -", "v2 5 2f - 4242 5",
          "v2 5 2f - 4242 2 1", "v2 5 2f - 0 5 1", "v2 5 - -", "v2 5 2f - x", "junk"}) {
        EXPECT_EQ(described(decodeRestartState(garbage)), "unreadable") << garbage;
    }
}

// Within the bound of a press the keyboard is the opening's or free: an opening that has
// neither said it holds it nor ended by then is killed.
TEST(AwaitOpeningTest, KillsAnOpeningThatNeitherTakesTheKeyboardNorEndsInTime) {
    struct Case {
        const char* name;
        void (*opening)(int socket);
        bool tookIt;
        int signal;  // what ended it; 0 for an exit
    };
    const Case cases[] = {{"SaysItHoldsIt",
                           [](int socket) {
                               sendToOtherSide(socket, chordGivenBack);
                               _exit(0);
                           },
                           true, 0},
                          {"Ends", [](int) { _exit(1); }, true, 0},
                          {"Stuck", [](int) { pause(); }, false, SIGKILL}};
    for (const Case& c : cases) {
        int ends[2];
        ASSERT_TRUE(makeOpeningSockets(ends));
        const pid_t child = fork();
        if (child == 0) {
            close(ends[0]);
            c.opening(ends[1]);
            _exit(0);
        }
        close(ends[1]);
        EXPECT_EQ(awaitOpening({child, ends[0], false}, 100ms), c.tookIt) << c.name;
        int status = 0;
        waitpid(child, &status, 0);
        EXPECT_EQ(WIFSIGNALED(status) ? WTERMSIG(status) : 0, c.signal) << c.name;
        close(ends[0]);
    }
}

}  // namespace
