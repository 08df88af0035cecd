// Start-up of the launcher beside floor clients and peers, measured from outside on a
// private Xvfb: spawn to window mapped (MapNotify on the root), spawn to keyboard held
// (FocusOut with NotifyGrab on a window of ours that has the focus, so we never compete
// for the grab) and Escape to exit (window gone and process ended). A second run holds
// the keyboard until the window is up and times our release to the client's grab, then
// 300 ms later, when any scan is done, reads the peak resident memory (of the largest
// process of the client's process group) and presses Escape again.
// Runs interleave; prints medians.
//   startup_bench [--synthetic-path ENTRIES] RUNS LABEL=PROGRAM [LABEL=PROGRAM ...]
// With --tab instead, it times window mapped to Tab completed and Return launched (the
// client's exit, with SHELL=/bin/true), on a core of its own and again beside a busy loop
// pinned to that core. With --two-heads the clients run on a nested Xephyr with two
// monitors side by side. With --history LINES,LINES,... the first client runs with a HOME
// of each history size: spawn to keyboard held, Return at once to launched (the client's
// exit once the shell has started, after a one-letter command), and the peak memory 300 ms
// after one Up.
// The clients get this process's PATH (or a synthetic one of about ENTRIES names) and
// HOME, and the private DISPLAY. The first client is compared with each of the others.
#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <dirent.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "../tests/e2e/harness.h"
#include "synthetic_path.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;
constexpr int warmUpRuns = 3;

struct Sample {
    double mapMs = 0;
    double grabMs = 0;
    double exitMs = 0;         // Escape as soon as the keyboard is held
    double settledExitMs = 0;  // Escape a while later, when any scan is done
    double peakKb = 0;
    double releaseMs = 0;
};

struct Client {
    std::string label;
    std::string program;
    std::vector<Sample> samples;
};

double millisecondsSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

long peakResidentKb(const std::string& process) {
    std::ifstream status("/proc/" + process + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.starts_with("VmHWM:")) {
            return std::stol(line.substr(6));
        }
    }
    return -1;
}

// A peer started through a script (dmenu_run) works in processes of its own: the largest.
// Read from /proc, so -1 where there is none.
long largestInGroup(pid_t group) {
    long largest = -1;
    DIR* proc = opendir("/proc");
    while (const dirent* entry = readdir(proc)) {
        const std::string name = entry->d_name;
        if (name.find_first_not_of("0123456789") == std::string::npos &&
            getpgid(std::stoi(name)) == group) {
            largest = std::max(largest, peakResidentKb(name));
        }
    }
    closedir(proc);
    return largest;
}

class StartupBench {
public:
    explicit StartupBench(const std::string& display) : display_(XOpenDisplay(display.c_str())) {
        if (display_ == nullptr) {
            throw std::runtime_error("cannot open " + display);
        }
        XSetWindowAttributes attributes{};
        attributes.override_redirect = True;
        attributes.event_mask = FocusChangeMask;
        focus_ = XCreateWindow(display_, DefaultRootWindow(display_), 0, 0, 1, 1, 0, CopyFromParent,
                               InputOutput, CopyFromParent, CWOverrideRedirect | CWEventMask,
                               &attributes);
        XMapWindow(display_, focus_);
        XSelectInput(display_, DefaultRootWindow(display_), SubstructureNotifyMask);
        XSync(display_, False);
    }
    ~StartupBench() { XCloseDisplay(display_); }

    Sample run(const std::string& program) {
        XSetInputFocus(display_, focus_, RevertToParent, CurrentTime);
        XSync(display_, True);
        Sample sample;
        const auto start = Clock::now();
        const pid_t pid = spawn(program);
        const auto times = mustSee({MapNotify, FocusOut}, start);  // in either order
        sample.mapMs = times[0];
        sample.grabMs = times[1];
        sample.exitMs = escape(pid);
        return sample;
    }

    // We hold the keyboard until the client's window is up and it is trying to grab; then,
    // once whatever it does after the grab is done, Escape again.
    void releaseToGrab(const std::string& program, Sample& sample) {
        XSetInputFocus(display_, focus_, RevertToParent, CurrentTime);
        XGrabKeyboard(display_, focus_, False, GrabModeAsync, GrabModeAsync, CurrentTime);
        XSync(display_, True);
        const pid_t pid = spawn(program);
        // A client that grabs before it maps shows nothing until we let go.
        waitFor({MapNotify}, Clock::now(), std::chrono::milliseconds(300));
        std::this_thread::sleep_for(std::chrono::microseconds(20000 + jitter_(random_)));
        XSync(display_, True);  // our own focus events so far
        const auto release = Clock::now();
        XUngrabKeyboard(display_, CurrentTime);
        XFlush(display_);
        sample.releaseMs = mustSee({FocusOut}, release)[0];
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        sample.peakKb = static_cast<double>(largestInGroup(pid));
        sample.settledExitMs = escape(pid);
    }

    // Window mapped to the launch: one letter, Tab and Return as soon as the keyboard is held.
    double tabAndReturn(const std::string& program, int core) {
        XSetInputFocus(display_, focus_, RevertToParent, CurrentTime);
        XSync(display_, True);
        const pid_t pid = spawn(program);
        pinToCore(pid, core);
        const auto start = Clock::now();
        const double mapped = mustSee({MapNotify}, start)[0];
        mustSee({FocusOut}, start);
        for (const KeySym key : {static_cast<KeySym>(XK_l), static_cast<KeySym>(XK_Tab),
                                 static_cast<KeySym>(XK_Return)}) {
            const KeyCode code = XKeysymToKeycode(display_, key);
            XTestFakeKeyEvent(display_, code, True, CurrentTime);
            XTestFakeKeyEvent(display_, code, False, CurrentTime);
        }
        XFlush(display_);
        waitpid(pid, nullptr, 0);
        return millisecondsSince(start) - mapped;
    }

    // A one-letter command and Return as soon as the keyboard is held: milliseconds to the
    // launch (the client ends once its shell has started). Each run's letter differs from
    // the last, so that every save appends and syncs.
    double returnAtOnce(const std::string& program, std::chrono::milliseconds after = {}) {
        XSetInputFocus(display_, focus_, RevertToParent, CurrentTime);
        XSync(display_, True);
        const pid_t pid = spawn(program);
        mustSee({FocusOut}, Clock::now());
        std::this_thread::sleep_for(after);
        press(XK_a + static_cast<KeySym>(letter_++ % 26));
        const auto pressed = Clock::now();
        press(XK_Return);
        waitpid(pid, nullptr, 0);
        return millisecondsSince(pressed);
    }

    // Up as soon as the keyboard is held, then Return: milliseconds from Up to the launch,
    // the whole history's load and the save included.
    double upThenReturn(const std::string& program) {
        XSetInputFocus(display_, focus_, RevertToParent, CurrentTime);
        XSync(display_, True);
        const pid_t pid = spawn(program);
        mustSee({FocusOut}, Clock::now());
        const auto pressed = Clock::now();
        press(XK_Up);
        press(XK_Return);
        waitpid(pid, nullptr, 0);
        return millisecondsSince(pressed);
    }

    static pid_t startResident(const std::string& program) {
        return spawn(program, {"-hotkey", "Mod4+p"});
    }
    static pid_t startFloorHotkey(const std::string& program) { return spawn(program, {"i"}); }

    // Super+p typed, to the keyboard held for the client (the grabs-th grab on our focus
    // window since the press) and its window mapped; then Escape. With a daemon, that
    // connection sees the press and spawns program, as a hotkey daemon does.
    std::pair<double, double> hotkey(Display* daemon, const std::string& program, int grabs,
                                     KeySym key) {
        XSetInputFocus(display_, focus_, RevertToParent, CurrentTime);
        XSync(display_, True);
        const auto start = Clock::now();
        chord(key);
        if (daemon != nullptr) {
            XEvent event;
            do {
                XNextEvent(daemon, &event);
            } while (event.type != KeyPress);
            spawn(program);
        }
        double held = -1;
        double mapped = -1;
        for (int seen = 0; held < 0 || mapped < 0;) {
            XEvent event;
            XNextEvent(display_, &event);
            if (event.type == FocusOut && event.xfocus.window == focus_ &&
                event.xfocus.mode == NotifyGrab && ++seen == grabs) {
                held = millisecondsSince(start);
            } else if (isClients(event) && event.type == MapNotify) {
                mapped = millisecondsSince(start);
            }
        }
        press(XK_Escape);
        mustSee({UnmapNotify}, Clock::now());
        return {held, mapped};
    }

    // One Up once the keyboard is held; the peak memory 300 ms later, then Escape.
    double memoryAfterUp(const std::string& program) {
        XSetInputFocus(display_, focus_, RevertToParent, CurrentTime);
        XSync(display_, True);
        const pid_t pid = spawn(program);
        mustSee({MapNotify, FocusOut}, Clock::now());
        press(XK_Up);
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        const auto peak = static_cast<double>(largestInGroup(pid));
        escape(pid);
        return peak;
    }

    static void pinToCore(pid_t pid, int core) {
#ifdef __linux__
        cpu_set_t set;
        CPU_ZERO(&set);
        CPU_SET(core, &set);
        sched_setaffinity(pid, sizeof set, &set);
#else
        static_cast<void>(pid);
        static_cast<void>(core);
#endif
    }

private:
    static pid_t spawn(const std::string& program, const std::vector<std::string>& options = {}) {
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
        posix_spawnattr_t attributes;
        posix_spawnattr_init(&attributes);
        posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
        std::vector<std::string> words = {program};
        words.insert(words.end(), options.begin(), options.end());
        std::vector<char*> argv;
        for (std::string& word : words) {
            argv.push_back(word.data());
        }
        argv.push_back(nullptr);
        pid_t pid = 0;
        if (posix_spawn(&pid, program.c_str(), &actions, &attributes, argv.data(), environ) != 0) {
            throw std::runtime_error("cannot start " + program);
        }
        posix_spawnattr_destroy(&attributes);
        posix_spawn_file_actions_destroy(&actions);
        return pid;
    }

    void chord(KeySym key) {
        const KeyCode super = XKeysymToKeycode(display_, XK_Super_L);
        const KeyCode p = XKeysymToKeycode(display_, key);
        XTestFakeKeyEvent(display_, super, True, CurrentTime);
        XTestFakeKeyEvent(display_, p, True, CurrentTime);
        XTestFakeKeyEvent(display_, p, False, CurrentTime);
        XTestFakeKeyEvent(display_, super, False, CurrentTime);
        XFlush(display_);
    }

    void press(KeySym key) {
        const KeyCode code = XKeysymToKeycode(display_, key);
        XTestFakeKeyEvent(display_, code, True, CurrentTime);
        XTestFakeKeyEvent(display_, code, False, CurrentTime);
        XFlush(display_);
    }

    // Escape, then until the window is gone and the process has ended (a peer's script
    // may have ended before).
    double escape(pid_t pid) {
        const auto pressed = Clock::now();
        press(XK_Escape);
        mustSee({UnmapNotify}, pressed);
        waitpid(pid, nullptr, 0);
        return millisecondsSince(pressed);
    }

    // Milliseconds from start to each of the given events: MapNotify or UnmapNotify of the
    // client's window, or its grab (FocusOut); -1 for one not seen within the timeout.
    std::vector<double> waitFor(const std::vector<int>& types, Clock::time_point start,
                                std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
        std::vector<double> times(types.size(), -1);
        while (std::find(times.begin(), times.end(), -1) != times.end()) {
            if (XPending(display_) == 0) {
                const auto left = timeout - (Clock::now() - start);
                pollfd readable{ConnectionNumber(display_), POLLIN, 0};
                if (poll(&readable, 1, static_cast<int>(left / std::chrono::milliseconds(1))) <=
                    0) {
                    return times;
                }
                continue;
            }
            XEvent event;
            XNextEvent(display_, &event);
            const auto wanted = std::find(types.begin(), types.end(), event.type);
            if (isClients(event) && wanted != types.end() && times[wanted - types.begin()] < 0) {
                times[wanted - types.begin()] = millisecondsSince(start);
            }
        }
        return times;
    }

    std::vector<double> mustSee(const std::vector<int>& types, Clock::time_point start) {
        auto times = waitFor(types, start);
        if (std::find(times.begin(), times.end(), -1) != times.end()) {
            throw std::runtime_error("no event from the client within 10 s");
        }
        return times;
    }

    bool isClients(const XEvent& event) {
        if (event.type == MapNotify && event.xmap.override_redirect &&
            event.xmap.window != focus_) {
            client_ = event.xmap.window;
            return true;
        }
        return (event.type == UnmapNotify && event.xunmap.window == client_) ||
               (event.type == FocusOut && event.xfocus.window == focus_ &&
                event.xfocus.mode == NotifyGrab);
    }

    Display* display_;
    Window focus_ = 0;
    Window client_ = 0;
    std::mt19937 random_{7};
    unsigned letter_ = 0;
    std::uniform_int_distribution<int> jitter_{0, 5000};
};

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const std::size_t n = values.size();
    return n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

std::vector<double> field(const Client& client, double Sample::*member) {
    std::vector<double> values;
    for (const Sample& sample : client.samples) {
        values.push_back(sample.*member);
    }
    return values;
}

std::string summary(const std::vector<double>& values, const char* format) {
    char text[128];
    const auto [low, high] = std::minmax_element(values.begin(), values.end());
    const std::string f = std::string(format) + " (" + format + "–" + format + ")";
    std::snprintf(text, sizeof text, f.c_str(), median(values), *low, *high);
    return text;
}

void printTable(const std::vector<Client>& clients) {
    std::printf(
        "| client | window mapped, ms | keyboard held, ms | Escape to exit at once, ms | "
        "Escape to exit after 300 ms, ms | peak RSS, kB | release to grab, ms |\n");
    std::printf("|---|---|---|---|---|---|---|\n");
    for (const Client& c : clients) {
        std::printf("| %s | %s | %s | %s | %s | %s | %s |\n", c.label.c_str(),
                    summary(field(c, &Sample::mapMs), "%.2f").c_str(),
                    summary(field(c, &Sample::grabMs), "%.2f").c_str(),
                    summary(field(c, &Sample::exitMs), "%.2f").c_str(),
                    summary(field(c, &Sample::settledExitMs), "%.2f").c_str(),
                    summary(field(c, &Sample::peakKb), "%.0f").c_str(),
                    summary(field(c, &Sample::releaseMs), "%.2f").c_str());
    }
    const Client& first = clients.front();
    for (std::size_t i = 1; i < clients.size(); ++i) {
        const Client& c = clients[i];
        const auto ratio = [&](double Sample::*member) {
            return median(field(first, member)) / median(field(c, member));
        };
        std::printf("| ratio %s / %s | %.3f | %.3f | %.3f | %.3f | %.3f | %.3f |\n",
                    first.label.c_str(), c.label.c_str(), ratio(&Sample::mapMs),
                    ratio(&Sample::grabMs), ratio(&Sample::exitMs), ratio(&Sample::settledExitMs),
                    ratio(&Sample::peakKb), ratio(&Sample::releaseMs));
    }
}

// A process that spins on one core until killed.
pid_t busyLoopOn(int core) {
    const pid_t pid = fork();
    if (pid == 0) {
        StartupBench::pinToCore(0, core);
        volatile unsigned long spin = 0;
        for (;;) {
            spin = spin + 1;
        }
    }
    return pid;
}

// Idle and loaded runs interleave, each client in turn; the launcher's core is the last.
int tabUnderLoad(StartupBench& bench, int runs, std::vector<Client>& clients) {
#ifndef __linux__
    std::printf("Skipped: pinning a process to a core is done on Linux only.\n");
    return 0;
#endif
    setenv("SHELL", "/bin/true", 1);
    const int core = static_cast<int>(sysconf(_SC_NPROCESSORS_ONLN)) - 1;
    std::vector<std::vector<double>> idle(clients.size());
    std::vector<std::vector<double>> loaded(clients.size());
    for (int run = 0; run < warmUpRuns + runs; ++run) {
        for (std::size_t i = 0; i < clients.size(); ++i) {
            const double quiet = bench.tabAndReturn(clients[i].program, core);
            const pid_t busy = busyLoopOn(core);
            const double busyTime = bench.tabAndReturn(clients[i].program, core);
            kill(busy, SIGKILL);
            waitpid(busy, nullptr, 0);
            if (run >= warmUpRuns) {
                idle[i].push_back(quiet);
                loaded[i].push_back(busyTime);
            }
        }
    }
    std::printf("%d interleaved runs per client after %d warm-up runs; median (min–max).\n\n", runs,
                warmUpRuns);
    std::printf(
        "| client | mapped to launched, idle, ms | beside a busy loop on its core, ms | "
        "ratio busy / idle |\n|---|---|---|---|\n");
    for (std::size_t i = 0; i < clients.size(); ++i) {
        std::printf("| %s | %s | %s | %.2f |\n", clients[i].label.c_str(),
                    summary(idle[i], "%.2f").c_str(), summary(loaded[i], "%.2f").c_str(),
                    median(loaded[i]) / median(idle[i]));
    }
    return 0;
}

// A HOME whose history holds lines like those people type, about 13 bytes each, or from
// 2,000,000 lines on about 35 (2,500,000 lines make 86 MB); none at all for 0.
std::string homeWithHistory(long lines) {
    std::string pattern = "/tmp/pellacorvine-bench-home-XXXXXX";
    const std::string home = mkdtemp(pattern.data());
    const std::string longer = lines >= 2000000 ? " --class a-wider-one" : "";
    if (lines > 0) {
        std::ofstream history(home + "/.pellacorvine.history", std::ios::binary);
        for (long i = 0; i < lines; ++i) {
            history << (i % 2 == 0 ? std::string("firefox") : "xterm -e htop " + std::to_string(i))
                    << longer << '\n';
        }
    }
    return home;
}

// What moving the file through a pipe costs the system: the floor of the helper's load.
double catThroughAPipe(const std::string& file) {
    const std::string command = "cat '" + file + "' 2>/dev/null | cat > /dev/null";
    const auto start = Clock::now();
    if (std::system(command.c_str()) != 0) {
        return -1;
    }
    return millisecondsSince(start);
}

// The same client with each history size, interleaved; each is compared with the first.
int historyCosts(StartupBench& bench, int runs, const std::string& program,
                 const std::vector<long>& sizes) {
    setenv("SHELL", "/bin/true", 1);
    std::vector<std::string> homes;
    for (const long size : sizes) {
        homes.push_back(homeWithHistory(size));
    }
    std::vector<std::vector<double>> held(sizes.size());
    std::vector<std::vector<double>> launched(sizes.size());
    std::vector<std::vector<double>> memory(sizes.size());
    std::vector<std::vector<double>> recalled(sizes.size());
    std::vector<std::vector<double>> piped(sizes.size());
    std::vector<std::vector<double>> later(sizes.size());
    for (int run = 0; run < warmUpRuns + runs; ++run) {
        for (std::size_t i = 0; i < sizes.size(); ++i) {
            setenv("HOME", homes[i].c_str(), 1);
            const double grab = bench.run(program).grabMs;
            const double launch = bench.returnAtOnce(program);
            const double peak = bench.memoryAfterUp(program);
            const double upReturn = bench.upThenReturn(program);
            const double cat = catThroughAPipe(homes[i] + "/.pellacorvine.history");
            const double afterRead = bench.returnAtOnce(program, std::chrono::milliseconds(300));
            if (run >= warmUpRuns) {
                held[i].push_back(grab);
                launched[i].push_back(launch);
                memory[i].push_back(peak);
                recalled[i].push_back(upReturn);
                piped[i].push_back(cat);
                later[i].push_back(afterRead);
            }
        }
    }
    std::printf("%d interleaved runs per size after %d warm-up runs; median (min–max).\n\n", runs,
                warmUpRuns);
    std::printf(
        "| history lines | file, kB | keyboard held, ms | ratio | letter and Return to launched, "
        "ms | "
        "ratio | peak RSS after one Up, kB |\n|---|---|---|---|---|---|---|\n");
    for (std::size_t i = 0; i < sizes.size(); ++i) {
        std::ifstream file(homes[i] + "/.pellacorvine.history", std::ios::binary | std::ios::ate);
        const long bytes = file ? static_cast<long>(file.tellg()) : 0;
        std::printf("| %ld | %ld | %s | %.2f | %s | %.2f | %s |\n", sizes[i], bytes / 1024,
                    summary(held[i], "%.2f").c_str(), median(held[i]) / median(held[0]),
                    summary(launched[i], "%.2f").c_str(), median(launched[i]) / median(launched[0]),
                    summary(memory[i], "%.0f").c_str());
    }
    std::printf(
        "\n| history lines | letter and Return 300 ms after the grab, ms | ratio | "
        "Up then Return to launched, ms | over no history, ms | "
        "cat FILE \\| cat > /dev/null, ms | (Up then Return over none) / cat |\n"
        "|---|---|---|---|---|---|---|\n");
    for (std::size_t i = 0; i < sizes.size(); ++i) {
        const double over = median(recalled[i]) - median(recalled[0]);
        std::printf("| %ld | %s | %.2f | %s | %.2f | %s | %.2f |\n", sizes[i],
                    summary(later[i], "%.2f").c_str(), median(later[i]) / median(later[0]),
                    summary(recalled[i], "%.2f").c_str(), over, summary(piped[i], "%.2f").c_str(),
                    over / median(piped[i]));
        std::filesystem::remove_all(homes[i]);
    }
    return 0;
}

// The hotkey's way to the window: a resident that holds it against the launcher spawned
// by a daemon that does (as a window manager's binding does), and against a floor client
// that holds a chord with its window made before the press, interleaved.
int hotkeyCosts(StartupBench& bench, const std::string& display, int runs,
                const std::string& program, const std::string& floor) {
    setenv("SHELL", "/bin/true", 1);
    // The daemon's chord is Super+o, the floor's Super+i: the resident holds Super+p.
    Display* daemon = XOpenDisplay(display.c_str());
    XGrabKey(daemon, XKeysymToKeycode(daemon, XK_o), AnyModifier, DefaultRootWindow(daemon), False,
             GrabModeAsync, GrabModeAsync);
    XSync(daemon, False);
    const pid_t resident = StartupBench::startResident(program);
    const pid_t floorClient = StartupBench::startFloorHotkey(floor);
    std::vector<double> held[3];
    std::vector<double> mapped[3];
    for (int run = 0; run < warmUpRuns + runs; ++run) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));  // it holds the chord again
        const std::pair<double, double> times[3] = {bench.hotkey(nullptr, program, 1, XK_p),
                                                    bench.hotkey(daemon, program, 2, XK_o),
                                                    bench.hotkey(nullptr, floor, 1, XK_i)};
        for (int way = 0; way < 3 && run >= warmUpRuns; ++way) {
            held[way].push_back(times[way].first);
            mapped[way].push_back(times[way].second);
        }
    }
    for (const pid_t pid : {resident, floorClient}) {
        kill(pid, SIGTERM);
        waitpid(pid, nullptr, 0);
    }
    XCloseDisplay(daemon);
    std::printf("%d interleaved runs after %d warm-up runs; median (min–max).\n\n", runs,
                warmUpRuns);
    std::printf(
        "| how the hotkey opens it | hotkey to keyboard held, ms | hotkey to window mapped, ms |\n"
        "|---|---|---|\n| resident (-hotkey Mod4+p) | %s | %s |\n"
        "| one-shot, spawned by a daemon | %s | %s |\n"
        "| floor: a client with its window made before the press | %s | %s |\n"
        "| ratio resident / one-shot | %.3f | %.3f |\n"
        "| ratio resident / floor | %.3f | %.3f |\n",
        summary(held[0], "%.2f").c_str(), summary(mapped[0], "%.2f").c_str(),
        summary(held[1], "%.2f").c_str(), summary(mapped[1], "%.2f").c_str(),
        summary(held[2], "%.2f").c_str(), summary(mapped[2], "%.2f").c_str(),
        median(held[0]) / median(held[1]), median(mapped[0]) / median(mapped[1]),
        median(held[0]) / median(held[2]), median(mapped[0]) / median(mapped[2]));
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> arguments(argv + 1, argv + argc);
    e2e::Xvfb server;  // started while PATH still finds Xvfb
    setenv("DISPLAY", server.display().c_str(), 1);
    std::string synthetic;
    const bool tab = !arguments.empty() && arguments[0] == "--tab";
    if (tab) {
        arguments.erase(arguments.begin());
    }
    const bool hotkey = !arguments.empty() && arguments[0] == "--hotkey";
    if (hotkey) {
        arguments.erase(arguments.begin());
    }
    // Two 1280x800 monitors side by side: a nested Xephyr with Xinerama, shown on the Xvfb.
    std::unique_ptr<e2e::XServer> heads;
    if (!arguments.empty() && arguments[0] == "--two-heads") {
        heads = std::make_unique<e2e::XServer>(
            std::vector<std::string>{"Xephyr", "-screen", "1280x800", "-screen", "1280x800",
                                     "+xinerama"},
            server.display());
        setenv("DISPLAY", heads->display().c_str(), 1);
        arguments.erase(arguments.begin());
    }
    std::vector<long> historySizes;
    if (arguments.size() >= 2 && arguments[0] == "--history") {
        std::stringstream list(arguments[1]);
        for (std::string size; std::getline(list, size, ',');) {
            historySizes.push_back(std::stol(size));
        }
        arguments.erase(arguments.begin(), arguments.begin() + 2);
    }
    if (arguments.size() >= 2 && arguments[0] == "--synthetic-path") {
        synthetic = makeSyntheticPath(std::stoi(arguments[1]));
        setenv("PATH", synthetic.c_str(), 1);
        arguments.erase(arguments.begin(), arguments.begin() + 2);
    }
    if (arguments.size() < 2) {
        std::fprintf(
            stderr,
            "usage: %s [--tab] [--two-heads] [--history LINES,...] [--synthetic-path ENTRIES] RUNS "
            "LABEL=PROGRAM ...\n",
            argv[0]);
        return 2;
    }
    const int runs = std::stoi(arguments[0]);
    std::vector<Client> clients;
    for (std::size_t i = 1; i < arguments.size(); ++i) {
        const auto equals = arguments[i].find('=');
        clients.push_back({arguments[i].substr(0, equals), arguments[i].substr(equals + 1), {}});
    }
    StartupBench bench(heads ? heads->display() : server.display());
    if (tab) {
        return tabUnderLoad(bench, runs, clients);
    }
    if (hotkey) {
        if (clients.size() < 2) {
            std::fprintf(stderr, "--hotkey needs the launcher, then the floor client\n");
            return 2;
        }
        return hotkeyCosts(bench, server.display(), runs, clients[0].program, clients[1].program);
    }
    if (!historySizes.empty()) {
        return historyCosts(bench, runs, clients.front().program, historySizes);
    }
    for (int run = 0; run < warmUpRuns + runs; ++run) {
        for (Client& client : clients) {
            Sample sample = bench.run(client.program);
            bench.releaseToGrab(client.program, sample);
            if (run >= warmUpRuns) {
                client.samples.push_back(sample);
            }
        }
    }
    std::printf("%d interleaved runs per client after %d warm-up runs; median (min–max).\n\n", runs,
                warmUpRuns);
    printTable(clients);
    if (!synthetic.empty()) {
        removeSyntheticPath(synthetic);
    }
    return 0;
}
