#include "app/launcher.h"

#include <X11/X.h>
#include <X11/keysym.h>

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
    while (nextInput(event)) {
        if (event.kind == EventKind::Key && handleKey(event)) {
            return;
        }
        paint();
    }
}

// The next event to act on. While a Tab waits for the index, the window still repaints
// and Escape still ends at once; every other key is held and handed out in order once
// the index is there.
bool Launcher::nextInput(InputEvent& event) {
    for (;;) {
        if (!heldKeys.empty() && completion.ready()) {
            event = heldKeys.front();
            heldKeys.pop_front();
            return true;
        }
        if (!heldKeys.empty() && !display->waitForEvent(completion.readyDescriptor())) {
            continue;  // the index has come
        }
        if (!display->nextEvent(event)) {
            return false;
        }
        if (event.kind != EventKind::Key || !mustWait(event)) {
            return true;
        }
        heldKeys.push_back(event);
    }
}

bool Launcher::mustWait(const InputEvent& event) {
    if (!heldKeys.empty()) {
        return event.keysym != XK_Escape || firesBookmark(event);
    }
    const bool tab = event.keysym == XK_Tab || event.keysym == XK_KP_Tab;
    return tab && !text.empty() && !firesBookmark(event) && !completion.ready();
}

bool Launcher::firesBookmark(const InputEvent& event) {
    return (event.state & Mod1Mask) != 0 &&
           !bookmarks.lookup(static_cast<char>(event.keysym & 0xFF)).empty();
}

void Launcher::paint() {
    if (!display->redraw(text, cursor)) {
        fail("Couldn't redraw");
    }
}

// The X connection closes before the process ends: the server then frees the keyboard
// and the window at once, even while a scan thread sleeps in a dead mount for good.
void Launcher::quit() {
    display->disconnect();
    std::exit(0);
}

void Launcher::fail(const std::string& message) {
    display->disconnect();
    fatal(message);
}

void fatal(const std::string& message) {
    std::fputs("Error: ", stderr);
    std::fwrite(message.data(), 1, message.size(), stderr);
    std::fputc('\n', stderr);
    std::fflush(stderr);
    std::exit(1);
}
