#include "app/resident.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#ifdef __FreeBSD__
#include <sys/sysctl.h>
#endif

#include <array>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <thread>
#include <vector>

#include "app/launcher.h"
#include "display/chord.h"

namespace {

using Clock = std::chrono::steady_clock;

// How the resident hands on to itself across the exec that follows each press.
constexpr char restartVariable[] = "PELLACORVINE_RESIDENT";

// How long a chord held elsewhere is tried again before that is an error: at the first
// start, so that a client that holds it for a moment (one that probes it) does not end
// us; at a restart once the opening has given it up or ended, as the server may not yet
// have seen it go.
constexpr std::chrono::milliseconds chordTakenBound{200};
constexpr std::chrono::seconds chordReturnBound{3};

constexpr std::array<int, 3> stopSignals = {SIGTSTP, SIGTTIN, SIGTTOU};

// A launcher opened at a press: it writes a byte once it has let go of the chord, and its
// pipe ends with the process.
struct Opening {
    pid_t pid = -1;
    int descriptor = -1;
    bool released = false;
};

// What a restart carries over.
struct Carried {
    bool restarted = false;
    unsigned stopSignalsIgnored = 0;  // bit i: stopSignals[i] ignored at the first start
    std::string executable;
    std::string authority;
    std::vector<Opening> openings;
};

std::string toHex(const std::string& bytes) {
    static constexpr char digits[] = "0123456789abcdef";
    std::string hex;
    for (const char byte : bytes) {
        hex += digits[static_cast<unsigned char>(byte) >> 4];
        hex += digits[static_cast<unsigned char>(byte) & 15];
    }
    return hex;
}

std::string fromHex(const std::string& hex) {
    std::string bytes;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
        bytes += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
    }
    return bytes;
}

std::string encode(const Carried& carried) {
    std::ostringstream out;
    out << carried.stopSignalsIgnored << ' ' << toHex(carried.executable) << ' '
        << (carried.authority.empty() ? "-" : toHex(carried.authority));
    for (const Opening& opening : carried.openings) {
        out << ' ' << opening.pid << ' ' << opening.descriptor << ' ' << opening.released;
    }
    return out.str();
}

// What the last resident carried over, gone from the environment so that no opening and
// no command inherits it.
Carried takeCarried() {
    Carried carried;
    const char* value = std::getenv(restartVariable);
    if (value == nullptr) {
        return carried;
    }
    std::istringstream in(value);
    unsetenv(restartVariable);
    std::string executable;
    std::string authority;
    in >> carried.stopSignalsIgnored >> executable >> authority;
    carried.restarted = true;
    carried.executable = fromHex(executable);
    carried.authority = fromHex(authority == "-" ? "" : authority);
    for (Opening opening; in >> opening.pid >> opening.descriptor >> opening.released;) {
        fcntl(opening.descriptor, F_SETFD, FD_CLOEXEC);
        carried.openings.push_back(opening);
    }
    return carried;
}

// This very program, found now, before the hotkey is held: at each press it starts over.
std::string ownExecutable(const char* argv0) {
#if defined(__linux__)
    char running[PATH_MAX] = {};
    if (const ssize_t length = readlink("/proc/self/exe", running, sizeof running - 1);
        length > 0 && access(running, X_OK) == 0) {
        return std::string(running, static_cast<std::size_t>(length));
    }
#elif defined(__FreeBSD__)
    int name[] = {CTL_KERN, KERN_PROC, KERN_PROC_PATHNAME, -1};
    char path[PATH_MAX] = {};
    std::size_t length = sizeof path;
    if (sysctl(name, 4, path, &length, nullptr, 0) == 0) {
        return path;
    }
#endif
    char resolved[PATH_MAX] = {};
    if (std::strchr(argv0, '/') != nullptr) {
        return realpath(argv0, resolved) != nullptr ? resolved : argv0;
    }
    const char* path = std::getenv("PATH");
    std::istringstream directories(path != nullptr ? path : "");
    for (std::string directory; std::getline(directories, directory, ':');) {
        const std::string candidate = directory + "/" + argv0;
        if (access(candidate.c_str(), X_OK) == 0 && realpath(candidate.c_str(), resolved)) {
            return resolved;
        }
    }
    return argv0;
}

// An "Error: " line that never waits: where standard error cannot take it now (a
// terminal stopped with Control+S, a full pipe), it is dropped.
void warn(const std::string& message) {
    const std::string line = "Error: " + message + "\n";
    pollfd writable{STDERR_FILENO, POLLOUT, 0};
    if (poll(&writable, 1, 0) == 1 && (writable.revents & POLLOUT) != 0 &&
        write(STDERR_FILENO, line.data(), line.size()) < 0) {
        // Nobody reads it.
    }
}

[[noreturn]] void serverLost() {
    warn("Lost the connection to the X server");
    _exit(1);
}

// 1 to 3 ms: no other client that tries the chord in step with us keeps it from us.
void pauseBeforeRetry() {
    const auto jitter = Clock::now().time_since_epoch().count() % 2000;
    std::this_thread::sleep_for(std::chrono::microseconds(1000 + jitter));
}

class Resident {
public:
    Resident(std::string chordText, int argc, char** argv)
        : text_(std::move(chordText)), argc_(argc), argv_(argv), carried_(takeCarried()) {}

    [[noreturn]] void run();

private:
    void ignoreStopSignals();
    void holdChord();
    std::string taken() const;
    void awaitRelease();
    void regrab();
    void takeNews();
    void open();
    [[noreturn]] void becomeOpening(int released);
    [[noreturn]] void restart();

    std::string text_;
    int argc_;
    char** argv_;
    Carried carried_;
    Chord chord_;
    std::unique_ptr<X11Hotkey> hotkey_ = createX11Hotkey();
    bool keyMissing_ = false;
    std::optional<Clock::time_point> takenSince_;
};

void Resident::run() {
    std::string why;
    if (!parseChord(text_, chord_, why)) {
        fatal("Couldn't read hotkey '" + text_ + "': " + why);
    }
    ignoreStopSignals();
    if (!carried_.restarted) {
        carried_.executable = ownExecutable(argv_[0]);
    }
    if (!hotkey_->connect(carried_.authority, serverLost)) {
        fatal("Couldn't open display");
    }
    holdChord();
    for (;;) {
        std::vector<int> descriptors;
        for (const Opening& opening : carried_.openings) {
            descriptors.push_back(opening.descriptor);
        }
        switch (hotkey_->wait(descriptors)) {
        case X11Hotkey::Wake::Pressed: open(); break;
        case X11Hotkey::Wake::Remapped: regrab(); break;
        case X11Hotkey::Wake::Descriptor: takeNews(); break;
        }
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
        if (!carried_.restarted && previous.sa_handler == SIG_IGN) {
            carried_.stopSignalsIgnored |= 1U << i;
        }
    }
}

// Another holder of the chord is an error, once it has held it a while. At a restart the
// opening still holds it for a moment: it is waited for until the opening has given it
// up or ended, and then for as long as the server may take to see it go.
void Resident::holdChord() {
    for (;;) {
        switch (hotkey_->grab(chord_)) {
        case X11Hotkey::Grab::Held: return;
        case X11Hotkey::Grab::NoKey:
            if (!carried_.restarted) {
                fatal("Hotkey " + text_ + ": no key of this keyboard carries its KeySym");
            }
            regrab();
            return;
        case X11Hotkey::Grab::Taken: awaitRelease();
        }
    }
}

std::string Resident::taken() const {
    return "Hotkey " + text_ +
           " is taken by another client: remove its other binding (in the window manager, a "
           "hotkey daemon, or another pellacorvine -hotkey)";
}

void Resident::awaitRelease() {
    Opening* latest = carried_.openings.empty() ? nullptr : &carried_.openings.back();
    if (latest != nullptr && !latest->released) {
        pollfd news{latest->descriptor, POLLIN, 0};
        poll(&news, 1, -1);
        takeNews();
        return;
    }
    if (!takenSince_) {
        takenSince_ = Clock::now();
    }
    const Clock::duration bound =
        carried_.restarted ? Clock::duration(chordReturnBound) : Clock::duration(chordTakenBound);
    if (Clock::now() - *takenSince_ > bound) {
        fatal(taken());
    }
    pauseBeforeRetry();
}

// A keyboard remapped: the chord goes to the key that now carries its KeySym. One that no
// key carries is waited for, with one line said.
void Resident::regrab() {
    X11Hotkey::Grab grab = hotkey_->grab(chord_);
    for (const auto since = Clock::now();
         grab == X11Hotkey::Grab::Taken && Clock::now() - since < chordTakenBound;
         grab = hotkey_->grab(chord_)) {
        pauseBeforeRetry();
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

// A byte: the opening gave up the chord; the end of its pipe: it ended.
void Resident::takeNews() {
    for (auto opening = carried_.openings.begin(); opening != carried_.openings.end();) {
        pollfd news{opening->descriptor, POLLIN, 0};
        char byte = 0;
        if (poll(&news, 1, 0) != 1) {
            ++opening;
        } else if (read(opening->descriptor, &byte, 1) == 1) {
            opening->released = true;
            ++opening;
        } else {
            close(opening->descriptor);
            waitpid(opening->pid, nullptr, 0);
            opening = carried_.openings.erase(opening);
        }
    }
}

// The keyboard is frozen: the child takes the connection and opens the launcher, its
// first grab thawing the keys; once it has given up the chord (or ended), this process
// starts over on a connection of its own.
void Resident::open() {
    int ends[2];
    if (pipe(ends) != 0) {
        hotkey_->release();
        warn(std::string("Couldn't open the launcher: ") + std::strerror(errno));
        return;
    }
    fcntl(ends[0], F_SETFD, FD_CLOEXEC);
    fcntl(ends[1], F_SETFD, FD_CLOEXEC);
    const pid_t child = fork();
    if (child == 0) {
        close(ends[0]);
        becomeOpening(ends[1]);
    }
    close(ends[1]);
    if (child < 0) {
        close(ends[0]);
        hotkey_->release();
        warn(std::string("Couldn't open the launcher: ") + std::strerror(errno));
        return;
    }
    hotkey_->abandon();
    carried_.openings.push_back({child, ends[0], false});
    // The opening maps and grabs first, with no start-up of ours beside it on the cores.
    pollfd news{ends[0], POLLIN, 0};
    poll(&news, 1, -1);
    takeNews();
    restart();
}

// As the launcher a window manager starts, but for a session of its own, so that the
// resident's terminal or service ending takes neither it nor its commands down.
void Resident::becomeOpening(int released) {
    for (const Opening& other : carried_.openings) {
        close(other.descriptor);
    }
    for (std::size_t i = 0; i < stopSignals.size(); ++i) {
        const bool ignored = (carried_.stopSignalsIgnored & (1U << i)) != 0;
        signal(stopSignals[i], ignored ? SIG_IGN : SIG_DFL);
    }
    setsid();
    try {
        Launcher opening(hotkey_->handOver(released), true);
        opening.run(argc_, argv_);
    } catch (const std::runtime_error& error) {
        fatal(error.what());
    }
    std::exit(0);
}

// A fresh process image: nothing of the old connection is left, however many presses.
void Resident::restart() {
    for (const Opening& opening : carried_.openings) {
        fcntl(opening.descriptor, F_SETFD, 0);
    }
    setenv(restartVariable, encode(carried_).c_str(), 1);
    execv(carried_.executable.c_str(), argv_);
    fatal("Couldn't start over as " + carried_.executable + ": " + std::strerror(errno));
}

}  // namespace

void runResident(const std::string& chord, int argc, char** argv) {
    Resident(chord, argc, argv).run();
}
