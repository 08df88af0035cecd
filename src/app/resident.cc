// The resident's life: the chord held, a fork at each press whose child opens the launcher
// on the connection, and an exec that starts the resident over on a new one.
#include "app/resident.h"

#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

#include "app/launcher.h"
#include "app/messages.h"
#include "display/chord.h"
#include "helper/helper.h"

namespace {

// How long a chord held elsewhere is tried again before that is an error: at the first
// start, so that a client that holds it for a moment (one that probes it) does not end
// us; at a restart once the opening has given it up or ended, as the server may not yet
// have seen it go.
constexpr std::chrono::milliseconds chordTakenBound{200};
constexpr std::chrono::seconds chordReturnBound{3};

// Within this of a press the keyboard is held by that press's opening, or free again.
constexpr std::chrono::seconds freezeBound{1};

// A window's width and height travel as 16 bits each.
constexpr std::int32_t maxWindowSide = 0xFFFF;

constexpr std::array<int, 3> stopSignals = {SIGTSTP, SIGTTIN, SIGTTOU};

// Later errors never wait on whoever reads them: the keyboard may be frozen meanwhile.
void warn(const std::string& message) { writeError(message, false); }

[[noreturn]] void serverLost() {
    warn("Lost the connection to the X server");
    _exit(1);
}

// 1 to 3 ms: no other client that tries the chord in step with us keeps it from us.
Pacing::Clock::duration retryPause(Pacing& pacing) {
    return std::chrono::microseconds(1000 + pacing.now().time_since_epoch().count() % 2000);
}

}  // namespace

void Pacing::pause(Clock::duration duration) { std::this_thread::sleep_for(duration); }

Resident::Resident(const Settings& settings, char** argv, std::unique_ptr<X11Hotkey> hotkey,
                   RestartState state, Pacing& pacing)
    : settings_(settings),
      text_(settings.hotkey.value_or("")),
      argv_(argv),
      hotkey_(std::move(hotkey)),
      state_(std::move(state)),
      pacing_(pacing) {}

void Resident::run() {
    startClean();
    std::string why;
    if (!parseChord(text_, chord_, why)) {
        fatal("Couldn't read hotkey '" + text_ + "': " + why);
    }
    // What every opening would fail on is said now, once, not at each press.
    const bool sized = settings_.width >= 1 && settings_.height >= 1 &&
                       settings_.width <= maxWindowSide && settings_.height <= maxWindowSide;
    if (!sized) {
        fatal("Couldn't open window");
    }
    ignoreStopSignals();
    if (state_.executable.empty()) {
        state_.executable = ownExecutable(argv_[0]);
    }
    if (!hotkey_->connect(state_.authority, serverLost)) {
        fatal("Couldn't open display", !state_.restarted);
    }
    // The window every opening shows is made before the press, once the chord is held at
    // a restart; at the first start, a font the server lacks is said now. Should the
    // server have lost one since, the opening makes its own.
    const WindowLook look{settings_.x,
                          settings_.y,
                          settings_.width,
                          settings_.height,
                          settings_.background,
                          settings_.foreground,
                          fontsToTry(settings_.fontFields)};
    if (!state_.restarted && !hotkey_->prepare(look)) {
        fatal("Couldn't setup GC");
    }
    if (const auto error = holdChord()) {
        fatal(*error, !state_.restarted);
    }
    tellOpeningsChordHeld();
    if (state_.restarted) {
        hotkey_->prepare(look);
    }
    for (;;) {
        step();
    }
}

// Nothing of whoever started us is kept: no descriptor of its stays open for good. A hand-
// over this image cannot read (another version's, a stray variable) is said once, and the
// resident starts afresh.
void Resident::startClean() {
    if (state_.restarted && !state_.unreadable) {
        return;  // the last image kept nothing but its openings
    }
    closeDescriptorsFrom(3);
    if (state_.unreadable) {
        warn(
            "Couldn't read what the last resident handed over in PELLACORVINE_RESIDENT: "
            "starting afresh");
    }
}

void Resident::tellOpeningsChordHeld() {
    for (const Opening& opening : state_.openings) {
        sendToOtherSide(opening.descriptor, chordHeld);
    }
}

void Resident::step() {
    std::vector<int> descriptors;
    for (const Opening& opening : state_.openings) {
        descriptors.push_back(opening.descriptor);
    }
    switch (hotkey_->wait(descriptors)) {
    case X11Hotkey::Wake::Pressed: open(); break;
    case X11Hotkey::Wake::Remapped: regrab(); break;
    case X11Hotkey::Wake::Descriptor: takeNews(); break;
    }
    // Children no hand-over told of (an earlier version's openings) are reaped as they end.
    while (waitpid(-1, nullptr, WNOHANG) > 0) {
    }
}

// A terminal's stop keys must not stop the process that the keyboard waits on. What the
// first start found is what the openings and their commands get back.
void Resident::ignoreStopSignals() {
    for (std::size_t i = 0; i < stopSignals.size(); ++i) {
        struct sigaction ignore {};
        struct sigaction previous {};
        ignore.sa_handler = SIG_IGN;
        sigemptyset(&ignore.sa_mask);
        sigaction(stopSignals[i], &ignore, &previous);
        if (!state_.restarted && previous.sa_handler == SIG_IGN) {
            state_.stopSignalsIgnored |= 1U << i;
        }
    }
}

// Another holder of the chord is an error, once it has held it a while. At a restart the
// opening still holds it for a moment: it is waited for until the opening has given it
// back or ended, and then for as long as the server may take to see it go.
std::optional<std::string> Resident::holdChord() {
    for (;;) {
        switch (hotkey_->grab(chord_)) {
        case X11Hotkey::Grab::Held: return std::nullopt;
        case X11Hotkey::Grab::NoKey:
            if (!state_.restarted) {
                return "Hotkey " + text_ + ": no key of this keyboard carries its KeySym";
            }
            regrab();
            return std::nullopt;
        case X11Hotkey::Grab::Taken:
            if (auto error = awaitRelease()) {
                return error;
            }
        }
    }
}

std::string Resident::taken() const {
    return "Hotkey " + text_ +
           " is taken by another client: remove its other binding (in the window manager, a "
           "hotkey daemon, or another pellacorvine -hotkey)";
}

std::optional<std::string> Resident::awaitRelease() {
    const Opening* latest = state_.openings.empty() ? nullptr : &state_.openings.back();
    if (latest != nullptr && !latest->chordGivenBack) {
        pollfd news{latest->descriptor, POLLIN, 0};
        poll(&news, 1, -1);
        takeNews();
        return std::nullopt;
    }
    if (!takenSince_) {
        takenSince_ = pacing_.now();
    }
    const Pacing::Clock::duration bound =
        state_.restarted ? Pacing::Clock::duration(chordReturnBound) : chordTakenBound;
    if (pacing_.now() - *takenSince_ > bound) {
        return taken();
    }
    pacing_.pause(retryPause(pacing_));
    return std::nullopt;
}

// A keyboard remapped: the chord goes to the key that now carries its KeySym. One that no
// key carries is waited for, with one line said.
void Resident::regrab() {
    X11Hotkey::Grab grab = hotkey_->grab(chord_);
    for (const auto since = pacing_.now();
         grab == X11Hotkey::Grab::Taken && pacing_.now() - since < chordTakenBound;
         grab = hotkey_->grab(chord_)) {
        pacing_.pause(retryPause(pacing_));
    }
    switch (grab) {
    case X11Hotkey::Grab::Held: keyMissing_ = false; return;
    case X11Hotkey::Grab::NoKey:
        if (!keyMissing_) {
            warn("Hotkey " + text_ + ": no key carries its KeySym now; waiting for one that does");
        }
        keyMissing_ = true;
        return;
    case X11Hotkey::Grab::Taken:
        warn("Hotkey " + text_ + " is taken by another client on its new key");
        return;
    }
}

// A byte: the opening gave the chord back; the end of its socket: it ended.
void Resident::takeNews() {
    for (auto opening = state_.openings.begin(); opening != state_.openings.end();) {
        pollfd news{opening->descriptor, POLLIN, 0};
        char byte = 0;
        if (poll(&news, 1, 0) != 1) {
            ++opening;
        } else if (read(opening->descriptor, &byte, 1) == 1) {
            opening->chordGivenBack = true;
            ++opening;
        } else {
            close(opening->descriptor);
            waitpid(opening->pid, nullptr, 0);
            opening = state_.openings.erase(opening);
        }
    }
}

// The keyboard is frozen: the child takes the connection and opens the launcher, its
// first grab thawing the keys; once it has given the chord back (or ended, or been ended
// for taking too long), this process starts over on a connection of its own.
void Resident::open() {
    // A fork takes longer than a map: the window shows first.
    hotkey_->showWindow();
    int ends[2];
    if (!makeOpeningSockets(ends)) {
        hotkey_->thawKeyboard();
        warn(std::string("Couldn't open the launcher: ") + std::strerror(errno));
        return;
    }
    const pid_t child = fork();
    if (child == 0) {
        close(ends[0]);
        becomeOpening(ends[1]);
    }
    close(ends[1]);
    if (child < 0) {
        close(ends[0]);
        hotkey_->thawKeyboard();
        warn(std::string("Couldn't open the launcher: ") + std::strerror(errno));
        return;
    }
    hotkey_->dropConnection();
    state_.openings.push_back({child, ends[0], false});
    // The opening maps and grabs first, with no start-up of ours beside it on the cores.
    if (!awaitOpening(state_.openings.back(), freezeBound)) {
        warn(
            "The launcher did not take the keyboard within a second of the hotkey: it was "
            "ended, and the keys typed since went to the window that has the focus");
    }
    takeNews();
    restart();
}

// As the launcher a window manager starts, but for a session of its own, so that the
// resident's terminal or service ending takes neither it nor its commands down.
void Resident::becomeOpening(int socket) {
    for (const Opening& other : state_.openings) {
        close(other.descriptor);
    }
    for (std::size_t i = 0; i < stopSignals.size(); ++i) {
        const bool ignored = (state_.stopSignalsIgnored & (1U << i)) != 0;
        signal(stopSignals[i], ignored ? SIG_IGN : SIG_DFL);
    }
    setsid();
    try {
        Launcher opening(hotkey_->handOver(socket), settings_);
        opening.open();
    } catch (const std::runtime_error& error) {
        fatal(error.what());
    }
    std::exit(0);
}

// A fresh process image: nothing of the old connection is left, however many presses.
void Resident::restart() {
    handOnRestartState(state_);
    execv(state_.executable.c_str(), argv_);
    fatal("Couldn't start over as " + state_.executable + ": " + std::strerror(errno), false);
}

void runResident(const Settings& settings, char** argv) {
    Pacing pacing;
    Resident(settings, argv, createX11Hotkey(), takeRestartState(), pacing).run();
}

bool awaitOpening(const Opening& opening, std::chrono::milliseconds within) {
    pollfd news{opening.descriptor, POLLIN, 0};
    const auto deadline = Pacing::Clock::now() + within;
    for (;;) {
        const auto left =
            std::chrono::ceil<std::chrono::milliseconds>(deadline - Pacing::Clock::now());
        const int ready = poll(&news, 1, static_cast<int>(std::max<std::int64_t>(0, left.count())));
        if (ready > 0) {
            return true;
        }
        if (ready == 0) {
            kill(opening.pid, SIGKILL);
            return false;
        }
    }
}
