// Drives a launcher on a display from a script: waits for its window and grab, types,
// presses keys and saves a PNG screenshot of the window.
//   pellacorvine-drive DISPLAY wait | type TEXT | key NAME | shot FILE ...
// The window found by wait is used by the steps after it in the same call:
//   pellacorvine-drive :5 wait type "xte" key Tab shot out.png key Escape
#include <cstdio>
#include <string>
#include <thread>

#include "harness.h"

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s DISPLAY wait|type TEXT|key NAME|shot FILE ...\n", argv[0]);
        return 2;
    }
    e2e::XSession session(argv[1]);
    Window window = 0;
    for (int i = 2; i < argc; ++i) {
        const std::string step = argv[i];
        if (step == "wait") {
            // The launcher may have mapped its window before we connected.
            session.watchForWindows();
            window = session.findMappedWindow();
            if (window == 0) {
                window = session.waitForMappedWindow();
            }
            if (window == 0 || !session.waitForForeignGrab()) {
                std::fprintf(stderr, "no launcher window appeared\n");
                return 1;
            }
        } else if (step == "type" && i + 1 < argc) {
            session.type(argv[++i]);
        } else if (step == "key" && i + 1 < argc) {
            session.key(argv[++i]);
        } else if (step == "shot" && i + 1 < argc && window != 0) {
            // The demo cannot know what the line should look like, so it gives the launcher
            // a moment to paint the last key before the picture.
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
            if (!e2e::writePng(session.capture(window), argv[++i])) {
                return 1;
            }
        } else {
            std::fprintf(stderr, "bad step: %s\n", step.c_str());
            return 2;
        }
    }
    return 0;
}
