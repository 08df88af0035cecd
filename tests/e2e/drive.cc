// Drives a launcher on a display from a script: waits for its window and grab, types,
// presses keys and saves a PNG screenshot of the window.
//   pellacorvine-drive DISPLAY watch-and-wait | type TEXT | key NAME | shot FILE
// The window is remembered between steps by running all steps in one call:
//   pellacorvine-drive :5 wait type "xte" key Tab shot out.png key Escape
#include <cstdio>
#include <string>

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
            session.watchForWindows();
            window = session.waitForMappedWindow();
            if (window == 0 || !session.waitForForeignGrab()) {
                std::fprintf(stderr, "no launcher window appeared\n");
                return 1;
            }
        } else if (step == "type" && i + 1 < argc) {
            session.type(argv[++i]);
        } else if (step == "key" && i + 1 < argc) {
            session.key(argv[++i]);
        } else if (step == "shot" && i + 1 < argc && window != 0) {
            // Let the launcher paint what was typed before the picture is taken.
            e2e::waitUntil([] { return false; }, std::chrono::milliseconds(200));
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
