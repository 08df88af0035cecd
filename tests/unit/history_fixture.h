#pragma once

// A private HOME for history tests, and a user that permissions apply to.
#include <gtest/gtest.h>

#include <unistd.h>

#include <functional>
#include <string>

#include "test_support.h"

class HistoryTest : public ::testing::Test {
protected:
    std::string file() const { return home / ".pellacorvine.history"; }
    TempDir home;
    ScopedEnv homeEnv{"HOME", home.path()};
};

// The cases below need a user that permissions apply to: as root they run as nobody.
class HistoryPermissionTest : public HistoryTest {
protected:
    void SetUp() override {
        if (geteuid() == 0) {
            ASSERT_EQ(chown(home.path().c_str(), nobodyUser, nobodyGroup), 0);
        }
    }
    // Runs body as an unprivileged user in a child; true when body returned true.
    bool asUser(const std::function<bool()>& body) {
        return inChild([&] {
                   if (!dropRootToNobody()) {
                       return 2;
                   }
                   return body() ? 0 : 1;
               }) == 0;
    }
    void ownFile() {
        if (geteuid() == 0) {
            ASSERT_EQ(chown(file().c_str(), nobodyUser, nobodyGroup), 0);
        }
    }
};
