// Presses a resident's chord and types a line at once, run after run, and counts the lines
// that did not arrive whole and the keys that went astray to the focused window.
//   pellacorvine-stress DISPLAY RUNS RECORD
// The resident holds Mod4+p on DISPLAY, with a recording SHELL that writes RECORD.
#include <X11/Xlib.h>
#include <X11/keysym.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include "harness.h"
#include "test_support.h"

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: %s DISPLAY RUNS RECORD\n", argv[0]);
        return 2;
    }
    using namespace e2e;
    XSession session(argv[1]);
    Display* display = session.display();
    const Window focused = session.ordinaryWindow(0, 0, 200, 200);
    XSelectInput(display, focused, KeyPressMask);
    // A window manager maps it in its own time.
    waitUntil([&] {
        XWindowAttributes attributes{};
        return XGetWindowAttributes(display, focused, &attributes) != 0 &&
               attributes.map_state == IsViewable;
    });
    const std::string record = argv[3];
    const int runs = std::stoi(argv[2]);
    int lost = 0;
    int astray = 0;
    for (int run = 0; run < runs; ++run) {
        XSetInputFocus(display, focused, RevertToParent, CurrentTime);
        std::filesystem::remove(record);
        session.key("p", {"Super"});
        session.type("xterm");
        session.key("Return");
        // As long as a machine at any load may take: a late line is no lost one.
        const bool arrived = waitUntil([&] { return std::filesystem::exists(record); }, 30s);
        const std::string text = arrived ? readFile(record) : "";
        if (text.find("arg:-c\narg:xterm\n") == std::string::npos) {
            ++lost;
            std::printf("run %d: %s\n", run, arrived ? text.c_str() : "nothing ran");
        }
        XEvent event;
        while (XCheckWindowEvent(display, focused, KeyPressMask, &event)) {
            astray += event.xkey.keycode != XKeysymToKeycode(display, XK_Super_L);
        }
        // The resident holds the chord again before the next press, as after a command.
        waitUntil(
            [&] {
                return session.waitForForeignKeyGrab(XKeysymToKeycode(display, XK_p), Mod4Mask,
                                                     0ms);
            },
            5s);
    }
    std::printf("%d runs: %d lines lost or cut, %d keys astray\n", runs, lost, astray);
    return lost == 0 && astray == 0 ? 0 : 1;
}
