#pragma once

// The signals that end a process, caught so that the keyboard is freed first.
#include <signal.h>

#include <array>

// The signals that end a process by default. While the launcher holds the keyboard, each
// first closes the X connection, so that the server frees the keyboard and the window
// whatever the process is waiting on, and then ends the process as it would have: the
// parent sees it killed by that signal.
class EndingSignals {
public:
    // Remembers the dispositions and the mask the process started with.
    EndingSignals();
    // Puts them back.
    ~EndingSignals();
    EndingSignals(const EndingSignals&) = delete;
    EndingSignals& operator=(const EndingSignals&) = delete;

    // From now on each of them closes xDescriptor first; one ignored at start stays so.
    void closeFirst(int xDescriptor);
    // The connection is being closed by its owner: the handlers close nothing from now on.
    void forget();
    // The signal mask the process started with.
    const sigset_t& startingMask() const { return originalMask_; }

    // Keeps the signals waiting for one scope: a save under way finishes.
    class Held {
    public:
        Held();
        ~Held();
        Held(const Held&) = delete;
        Held& operator=(const Held&) = delete;

    private:
        sigset_t previous_;
    };

    static constexpr std::array<int, 7> numbers = {SIGHUP,  SIGINT,  SIGQUIT, SIGTERM,
                                                   SIGALRM, SIGUSR1, SIGUSR2};

private:
    std::array<struct sigaction, numbers.size()> original_{};
    sigset_t originalMask_;
    bool installed_ = false;
};
