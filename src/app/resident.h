#pragma once

// The resident: it holds the hotkey and opens the launcher at each press, touching nothing
// but its X connection.
#include <chrono>
#include <memory>
#include <optional>
#include <string>

#include "app/restart_state.h"
#include "app/settings.h"
#include "display/x11_hotkey.h"

// Time as the resident sees it: the steady clock and a real pause, or a test's.
class Pacing {
public:
    using Clock = std::chrono::steady_clock;
    Pacing() = default;
    Pacing(const Pacing&) = delete;
    Pacing& operator=(const Pacing&) = delete;
    virtual ~Pacing() = default;
    virtual Clock::time_point now() { return Clock::now(); }
    virtual void pause(Clock::duration duration);
};

class Resident {
public:
    Resident(const Settings& settings, char** argv, std::unique_ptr<X11Hotkey> hotkey,
             RestartState state, Pacing& pacing);

    // Holds the chord and opens the launcher at each press, for the rest of the process.
    [[noreturn]] void run();

    // Takes the chord, waiting out a holder of a moment: the opening at a restart, or a
    // client that probes it. The message of the error line where it cannot be had.
    std::optional<std::string> holdChord();
    // Waits for the next press, remap or news of an opening, and answers it.
    void step();
    const RestartState& state() const { return state_; }

private:
    void startClean();
    void ignoreStopSignals();
    void tellOpeningsChordHeld();
    std::string taken() const;
    std::optional<std::string> awaitRelease();
    void regrab();
    void takeNews();
    void open();
    [[noreturn]] void becomeOpening(int socket);
    [[noreturn]] void restart();

    Settings settings_;
    std::string text_;
    char** argv_;
    std::unique_ptr<X11Hotkey> hotkey_;
    RestartState state_;
    Pacing& pacing_;
    Chord chord_;
    bool keyMissing_ = false;
    std::optional<Pacing::Clock::time_point> takenSince_;
};

// Waits for the opening's word that it holds the keyboard, or for its end, for at most
// within. One that has said neither by then is killed, so that its connection closes and
// the server frees the keyboard: false then.
bool awaitOpening(const Opening& opening, std::chrono::milliseconds within);

// The resident for settings with a hotkey; argv is what each restart runs again.
[[noreturn]] void runResident(const Settings& settings, char** argv);
