#pragma once

#include <poll.h>

#include <cstdio>
#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "display/x11_interface.h"

// What the fake display answers, and what it was asked. Owned by the test, so it
// outlives the display object that the Launcher deletes.
struct DisplayScript {
    bool openWindowResult = true;
    std::function<bool(const std::string&)> fontExists = [](const std::string&) { return true; };
    bool grabKeyboardResult = true;
    int failingRedraw = -1;         // index of the redraw call that returns false
    std::deque<InputEvent> events;  // nextEvent returns false once these run out
    std::vector<std::string> calls;
    bool echoToStderr = false;  // death tests see the calls of their child process this way
};

class FakeDisplay final : public X11Interface {
public:
    explicit FakeDisplay(DisplayScript& script) : script_(script) {}
    ~FakeDisplay() override { record("destroy"); }

    bool openWindow(std::int32_t x, std::int32_t y, std::int32_t width,
                    std::int32_t height) override {
        record("openWindow " + std::to_string(x) + " " + std::to_string(y) + " " +
               std::to_string(width) + " " + std::to_string(height));
        return script_.openWindowResult;
    }
    bool setupGC(const std::string& background, const std::string& foreground,
                 const std::string& fontPattern) override {
        record("setupGC " + background + " " + foreground + " " + fontPattern);
        return script_.fontExists(fontPattern);
    }
    bool grabKeyboard() override {
        record("grabKeyboard");
        return script_.grabKeyboardResult;
    }
    bool redraw(const std::string& text, std::uint64_t cursor) override {
        record("redraw '" + text + "' " + std::to_string(cursor));
        return redraws_++ != script_.failingRedraw;
    }
    bool nextEvent(InputEvent& event) override {
        record("nextEvent");
        if (script_.events.empty()) {
            return false;
        }
        const InputEvent next = script_.events.front();
        script_.events.pop_front();
        event.kind = next.kind;
        if (next.kind == EventKind::Key) {
            event.keysym = next.keysym;
            event.state = next.state;
        }
        return true;
    }

    // Scripted events come first; with none left, the wait is for the descriptors alone.
    // Not recorded: how often it runs depends on how the helpers' output arrives.
    bool waitForEvent(const std::vector<int>& descriptors) override {
        std::vector<pollfd> sources;
        for (const int descriptor : descriptors) {
            if (descriptor >= 0) {
                sources.push_back({descriptor, POLLIN, 0});
            }
        }
        if (!script_.events.empty() || sources.empty()) {
            return true;
        }
        poll(sources.data(), sources.size(), -1);
        return false;
    }

    void awaitHotkeyHeld() override { record("awaitHotkeyHeld"); }
    void disconnect() override { record("disconnect"); }
    int descriptor() const override { return -1; }

private:
    void record(const std::string& call) {
        script_.calls.push_back(call);
        if (script_.echoToStderr) {
            std::fprintf(stderr, "%s\n", call.c_str());
        }
    }

    DisplayScript& script_;
    int redraws_ = 0;
};

inline InputEvent keyEvent(std::uint16_t keysym, std::uint32_t state = 0) {
    return {EventKind::Key, keysym, state};
}
