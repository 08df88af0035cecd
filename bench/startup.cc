// Start-up of the launcher beside the floor client, measured from outside on a private
// Xvfb: spawn to window mapped (MapNotify on the root), spawn to keyboard held (FocusOut
// with NotifyGrab on a window of ours that has the focus, so we never compete for the
// grab), Escape to exit, and peak resident memory. Runs interleave; prints medians.
//   startup_bench [--synthetic-path ENTRIES] RUNS LABEL=PROGRAM [LABEL=PROGRAM ...]
// The clients get this process's PATH (or a synthetic one of about ENTRIES names) and
// HOME, and the private DISPLAY. The last client is the base of the ratios.
#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <stdexcept>
#include <string>
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
    double exitMs = 0;
    double peakKb = 0;
};

struct Client {
    std::string label;
    std::string program;
    std::vector<Sample> samples;
};

double millisecondsSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

long peakResidentKb(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.starts_with("VmHWM:")) {
            return std::stol(line.substr(6));
        }
    }
    return -1;
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
        focus_ = XCreateWindow(display_, DefaultRootWindow(display_), 0, 0, 1, 1, 0,
                               CopyFromParent, InputOutput, CopyFromParent,
                               CWOverrideRedirect | CWEventMask, &attributes);
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
        waitForMapAndGrab(start, sample);
        sample.peakKb = static_cast<double>(peakResidentKb(pid));
        const auto escape = Clock::now();
        const KeyCode code = XKeysymToKeycode(display_, XK_Escape);
        XTestFakeKeyEvent(display_, code, True, CurrentTime);
        XTestFakeKeyEvent(display_, code, False, CurrentTime);
        XFlush(display_);
        waitpid(pid, nullptr, 0);
        sample.exitMs = millisecondsSince(escape);
        return sample;
    }

private:
    static pid_t spawn(const std::string& program) {
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
        std::string name = program;
        char* argv[] = {name.data(), nullptr};
        pid_t pid = 0;
        if (posix_spawn(&pid, program.c_str(), &actions, nullptr, argv, environ) != 0) {
            throw std::runtime_error("cannot start " + program);
        }
        posix_spawn_file_actions_destroy(&actions);
        return pid;
    }

    void waitForMapAndGrab(Clock::time_point start, Sample& sample) {
        bool mapped = false;
        bool grabbed = false;
        while (!(mapped && grabbed)) {
            if (XPending(display_) == 0) {
                pollfd readable{ConnectionNumber(display_), POLLIN, 0};
                if (poll(&readable, 1, 10000) <= 0) {
                    throw std::runtime_error("client did not map and grab within 10 s");
                }
                continue;
            }
            XEvent event;
            XNextEvent(display_, &event);
            if (event.type == MapNotify && event.xmap.override_redirect && !mapped) {
                sample.mapMs = millisecondsSince(start);
                mapped = true;
            } else if (event.type == FocusOut && event.xfocus.window == focus_ &&
                       event.xfocus.mode == NotifyGrab && !grabbed) {
                sample.grabMs = millisecondsSince(start);
                grabbed = true;
            }
        }
    }

    Display* display_;
    Window focus_ = 0;
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
    std::printf("| client | window mapped, ms | keyboard held, ms | Escape to exit, ms | peak RSS, kB |\n");
    std::printf("|---|---|---|---|---|\n");
    for (const Client& c : clients) {
        std::printf("| %s | %s | %s | %s | %s |\n", c.label.c_str(),
                    summary(field(c, &Sample::mapMs), "%.2f").c_str(),
                    summary(field(c, &Sample::grabMs), "%.2f").c_str(),
                    summary(field(c, &Sample::exitMs), "%.2f").c_str(),
                    summary(field(c, &Sample::peakKb), "%.0f").c_str());
    }
    const Client& base = clients.back();
    for (std::size_t i = 0; i + 1 < clients.size(); ++i) {
        const Client& c = clients[i];
        const auto ratio = [&](double Sample::*member) {
            return median(field(c, member)) / median(field(base, member));
        };
        std::printf("| ratio %s / %s | %.3f | %.3f | %.3f | %.3f |\n", c.label.c_str(),
                    base.label.c_str(), ratio(&Sample::mapMs), ratio(&Sample::grabMs),
                    ratio(&Sample::exitMs), ratio(&Sample::peakKb));
    }
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> arguments(argv + 1, argv + argc);
    e2e::Xvfb server;  // started while PATH still finds Xvfb
    setenv("DISPLAY", server.display().c_str(), 1);
    std::string synthetic;
    if (arguments.size() >= 2 && arguments[0] == "--synthetic-path") {
        synthetic = makeSyntheticPath(std::stoi(arguments[1]));
        setenv("PATH", synthetic.c_str(), 1);
        arguments.erase(arguments.begin(), arguments.begin() + 2);
    }
    if (arguments.size() < 2) {
        std::fprintf(stderr, "usage: %s [--synthetic-path ENTRIES] RUNS LABEL=PROGRAM ...\n", argv[0]);
        return 2;
    }
    const int runs = std::stoi(arguments[0]);
    std::vector<Client> clients;
    for (std::size_t i = 1; i < arguments.size(); ++i) {
        const auto equals = arguments[i].find('=');
        clients.push_back({arguments[i].substr(0, equals), arguments[i].substr(equals + 1), {}});
    }
    StartupBench bench(server.display());
    for (int run = 0; run < warmUpRuns + runs; ++run) {
        for (Client& client : clients) {
            const Sample sample = bench.run(client.program);
            if (run >= warmUpRuns) {
                client.samples.push_back(sample);
            }
        }
    }
    std::printf("%d interleaved runs per client after %d warm-up runs; median (min–max).\n\n",
                runs, warmUpRuns);
    printTable(clients);
    if (!synthetic.empty()) {
        removeSyntheticPath(synthetic);
    }
    return 0;
}
