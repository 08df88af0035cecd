#pragma once

#include <gtest/gtest.h>

#include <memory>

#include "app/launcher.h"
#include "fake_display.h"
#include "test_support.h"

// A launcher over the fake display, with a private HOME, a private PATH directory and a
// SHELL that does nothing, so that Return and bookmarks launch harmlessly.
class LauncherTest : public ::testing::Test {
protected:
    LauncherTest()
        : home_("HOME", home.path()), path_("PATH", bin.path()), shell_("SHELL", "/bin/true") {}

    Launcher& launcher() {
        if (!launcher_) {
            launcher_ = std::make_unique<Launcher>(std::make_unique<FakeDisplay>(script));
        }
        return *launcher_;
    }

    void addExecutable(const std::string& name) { writeFile(bin / name, "", 0755); }

    bool press(std::uint16_t keysym, std::uint32_t state = 0) {
        InputEvent event = keyEvent(keysym, state);
        return launcher().handleKey(event);
    }

    void type(const std::string& bytes) {
        for (const char byte : bytes) {
            press(static_cast<unsigned char>(byte));
        }
    }

    std::string historyFile() const { return home / ".pellacorvine.history"; }

    TempDir home;
    TempDir bin;
    DisplayScript script;

private:
    ScopedEnv home_;
    ScopedEnv path_;
    ScopedEnv shell_;
    std::unique_ptr<Launcher> launcher_;
};
