// The ending signals: each first closes the X connection, then ends the process.
#include "app/signals.h"

#include <unistd.h>

namespace {

// The one thing a handler may reach: the X connection's descriptor, or -1.
volatile sig_atomic_t xConnection = -1;

// SA_RESETHAND has put the default action back: raised again, the signal ends the process
// as soon as the handler returns.
void closeThenEnd(int number) {
    const int descriptor = xConnection;
    if (descriptor >= 0) {
        close(descriptor);
    }
    raise(number);
}

sigset_t endingSet() {
    sigset_t set;
    sigemptyset(&set);
    for (const int number : EndingSignals::numbers) {
        sigaddset(&set, number);
    }
    return set;
}

}  // namespace

EndingSignals::EndingSignals() {
    for (std::size_t i = 0; i < numbers.size(); ++i) {
        sigaction(numbers[i], nullptr, &original_[i]);
    }
    sigprocmask(SIG_BLOCK, nullptr, &originalMask_);
}

EndingSignals::~EndingSignals() {
    forget();
    if (installed_) {
        for (std::size_t i = 0; i < numbers.size(); ++i) {
            sigaction(numbers[i], &original_[i], nullptr);
        }
    }
}

void EndingSignals::closeFirst(int xDescriptor) {
    xConnection = xDescriptor;
    struct sigaction handler {};
    handler.sa_handler = closeThenEnd;
    handler.sa_flags = SA_RESETHAND;
    sigemptyset(&handler.sa_mask);
    for (std::size_t i = 0; i < numbers.size(); ++i) {
        if (original_[i].sa_handler == SIG_DFL) {
            sigaction(numbers[i], &handler, nullptr);
        }
    }
    installed_ = true;
}

void EndingSignals::forget() { xConnection = -1; }

EndingSignals::Held::Held() {
    const sigset_t set = endingSet();
    sigprocmask(SIG_BLOCK, &set, &previous_);
}

EndingSignals::Held::~Held() { sigprocmask(SIG_SETMASK, &previous_, nullptr); }
