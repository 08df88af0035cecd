#include "app/launcher.h"

#include <cstdio>
#include <cstdlib>

namespace {

FontFields defaultFontFields() {
    return {"*", "*", "medium", "r", "*", "*", "15", "*", "*", "*", "*", "*", "*", "*"};
}

}  // namespace

Launcher::Launcher() : Launcher(createX11Interface()) {}

Launcher::Launcher(std::unique_ptr<X11Interface> displayObject)
    : display(std::move(displayObject)), fontFields(defaultFontFields()) {}

// The display goes first: it closes the X connection before anything else is released.
Launcher::~Launcher() { display.reset(); }

void Launcher::run(int argc, char** argv) {
    if (!parseArgs(argc, argv)) {
        return;
    }
    if (!display->openWindow(x, y, width, height)) {
        fatal("Couldn't open window");
    }
    if (!display->setupGC(background, foreground, fontPattern())) {
        fatal("Couldn't setup GC");
    }
    if (!display->grabKeyboard()) {
        fatal("Couldn't grab keyboard");
    }
    // Only now: keys typed meanwhile already come to us, and the scan grows with PATH.
    completion.startScan();
    eventLoop();
}

std::string Launcher::fontPattern() const {
    std::string pattern;
    for (const auto& field : fontFields) {
        pattern += '-';
        pattern += field;
    }
    return pattern;
}

void Launcher::eventLoop() {
    paint();
    InputEvent event;
    while (display->nextEvent(event)) {
        if (event.kind == EventKind::Key && handleKey(event)) {
            return;
        }
        paint();
    }
}

void Launcher::paint() {
    if (!display->redraw(text, cursor)) {
        fatal("Couldn't redraw");
    }
}

void fatal(const std::string& message) {
    std::fputs("Error: ", stderr);
    std::fwrite(message.data(), 1, message.size(), stderr);
    std::fputc('\n', stderr);
    std::fflush(stderr);
    std::exit(1);
}
