#pragma once

// A hotkey and a clock for the resident's unit tests: the hotkey answers grabs by the
// clock's time, and the clock passes only when the resident pauses.
#include <chrono>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "app/resident.h"

// Time that passes only in pauses, from a start of 0.
class FakePacing final : public Pacing {
public:
    Clock::time_point now() override { return Clock::time_point(elapsed); }
    void pause(Clock::duration duration) override { elapsed += duration; }
    Clock::duration elapsed{};
};

// What the fake hotkey answers and what it was asked. Owned by the test.
struct HotkeyScript {
    // Each grab is answered by the first of these whose time has not yet come, else Held.
    struct Answer {
        X11Hotkey::Grab grab;
        std::chrono::milliseconds until;
    };
    std::vector<Answer> answers;
    std::deque<X11Hotkey::Wake> wakes;
    int grabs = 0;
};

class FakeHotkey final : public X11Hotkey {
public:
    FakeHotkey(HotkeyScript& script, FakePacing& pacing) : script_(script), pacing_(pacing) {}

    bool connect(std::string&, void (*)()) override { return true; }
    Grab grab(const Chord&) override {
        ++script_.grabs;
        for (const HotkeyScript::Answer& answer : script_.answers) {
            if (pacing_.elapsed < answer.until) {
                return answer.grab;
            }
        }
        return Grab::Held;
    }
    Wake wait(const std::vector<int>&) override {
        const Wake wake = script_.wakes.front();
        script_.wakes.pop_front();
        return wake;
    }
    std::unique_ptr<X11Interface> handOver(int) override { return nullptr; }
    void dropConnection() override {}
    void thawKeyboard() override {}
    bool prepare(const WindowLook&) override { return true; }
    void showWindow() override {}

private:
    HotkeyScript& script_;
    FakePacing& pacing_;
};
