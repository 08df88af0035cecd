#pragma once

#include <gtest/gtest.h>

#include <X11/Xlib.h>
#include <X11/keysym.h>

#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "harness.h"
#include "test_constants.h"
#include "test_support.h"

namespace e2e {

// One private X server for the suite; each test runs the real launcher binary with a
// private HOME, PATH and environment.
class E2ETest : public ::testing::Test {
protected:
    // A server that does not start fails each test in SetUp: thrown from here, it would
    // count as a skip.
    static void SetUpTestSuite() {
        try {
            server_ = std::make_unique<Xvfb>();
            session_ = std::make_unique<XSession>(server_->display());
        } catch (const std::runtime_error& error) {
            serverError_ = error.what();
            return;
        }
        // Keys the default keymap lacks, bound before any launcher reads the keymap.
        session_->mapKeysyms({XK_eacute, XK_Cyrillic_a, XK_KP_1, XK_KP_2});
    }
    static void TearDownTestSuite() {
        session_.reset();
        server_.reset();
    }
    void SetUp() override { ASSERT_TRUE(session_) << serverError_; }
    // A window of one test (a locker's, say) must not meet the next test's launcher.
    void TearDown() override {
        if (session_) {
            session_->destroyOwnWindows();
        }
    }

    XSession& x() { return *session_; }
    const std::string& displayName() const { return server_->display(); }

    // HOME, PATH and DISPLAY; SHELL only when the test gives it.
    std::vector<std::string> environment(const std::vector<std::string>& extra = {}) const {
        std::vector<std::string> env = {"HOME=" + home.path(), "PATH=" + bin.path(),
                                        "DISPLAY=" + server_->display()};
        env.insert(env.end(), extra.begin(), extra.end());
        return env;
    }

    std::unique_ptr<Process> start(const std::vector<std::string>& arguments,
                                   const std::vector<std::string>& env,
                                   const std::function<void()>& beforeExec = {}) {
        x().watchForWindows();
        return std::make_unique<Process>(program, arguments, env, beforeExec);
    }

    // Starts the launcher and waits until its window is mapped and the keyboard held.
    Window startReady(std::unique_ptr<Process>& launcher,
                      const std::vector<std::string>& arguments = {},
                      const std::vector<std::string>& extraEnv = {},
                      const std::function<void()>& beforeExec = {}) {
        launcher = start(arguments, environment(extraEnv), beforeExec);
        const Window window = x().waitForMappedWindow();
        EXPECT_NE(window, 0U) << launcher->standardError();
        EXPECT_TRUE(x().waitForForeignGrab()) << launcher->standardError();
        return window;
    }

    // The launcher's exit status and standard error once it has ended.
    static void expectEnd(Process& launcher, int status, const std::string& error) {
        EXPECT_EQ(launcher.waitExit(), status);
        EXPECT_EQ(launcher.standardError(), error);
        EXPECT_EQ(launcher.standardOutput(), "");
    }

    // A copy of program that any user can run, wherever the build tree lies.
    std::string runnableByAll(const std::string& original) {
        chmod(shared.path().c_str(), 0755);
        const std::string copy = shared / std::filesystem::path(original).filename().string();
        std::filesystem::copy_file(original, copy,
                                   std::filesystem::copy_options::overwrite_existing);
        chmod(copy.c_str(), 0755);
        return copy;
    }

    // Drops root to nobody in the child, for tests where permissions must bind.
    static void becomeNobody() {
        if (!dropRootToNobody()) {
            _exit(126);
        }
    }

    TempDir home;
    TempDir bin;
    TempDir shared;
    std::string program = PELLACORVINE_BINARY;

private:
    static inline std::unique_ptr<Xvfb> server_;
    static inline std::unique_ptr<XSession> session_;
    static inline std::string serverError_;
};

// SHELL is a recorder that writes down what it was started with, so each test sees
// exactly what was launched; PATH holds a few empty executables to complete.
class LaunchTest : public E2ETest {
protected:
    void SetUp() override {
        E2ETest::SetUp();
        for (const char* name : {"ls", "xcalc", "xterm", "xterm-wrap", "xtermcontrol"}) {
            writeFile(bin / name, "", 0755);
        }
    }
    std::vector<std::string> recorderEnv() const {
        return {"SHELL=" RECORDER_BINARY, "PELLACORVINE_RECORD=" + record()};
    }
    std::string record() const { return home / "record"; }
    std::string history() const { return home / ".pellacorvine.history"; }

    void begin(const std::vector<std::string>& extraEnv) {
        launcherWindow = startReady(launcher, {}, extraEnv);
    }
    void begin() { begin(recorderEnv()); }

    // The recorded argument lines once the launched shell has written them.
    std::string launched() {
        EXPECT_TRUE(waitUntil([&] { return std::filesystem::exists(record()); }));
        return readFile(record());
    }
    static std::string argv(const std::string& line) {
        return "arg:pellacorvine-recorder\narg:-c\narg:" + line + "\n";
    }
    std::string launchedArgs() {
        const std::string text = launched();
        return text.substr(0, text.find("fd:"));
    }

    // Each step is text to type, <Key> or <Mod+Mod+Key> to press, or <Click> in the window.
    void play(const std::vector<std::string>& steps) {
        for (const std::string& step : steps) {
            if (step == "<Click>") {
                clickInside();
                continue;
            }
            if (!step.starts_with('<')) {
                x().type(step);
                continue;
            }
            std::vector<std::string> parts;
            std::string rest = step.substr(1, step.size() - 2);
            for (auto plus = rest.find('+'); plus != std::string::npos && plus > 0;
                 plus = rest.find('+')) {
                parts.push_back(rest.substr(0, plus));
                rest.erase(0, plus + 1);
            }
            x().key(rest, parts);
        }
    }

    // Once the launcher holds the pointer, so that the click is its own.
    void clickInside() {
        EXPECT_TRUE(x().waitForForeignPointerGrab());
        XWindowAttributes attributes{};
        XGetWindowAttributes(x().display(), launcherWindow, &attributes);
        x().clickAt(attributes.x + attributes.width / 2, attributes.y + attributes.height / 2);
    }

    std::unique_ptr<Process> launcher;
    Window launcherWindow = 0;
};

}  // namespace e2e
