// The launcher's life: its construction, start-up, event loop and ways out.
#include "app/launcher.h"

#include <X11/X.h>
#include <X11/keysym.h>

#include <algorithm>
#include <cstdlib>

Launcher::Launcher() : Launcher(createX11Interface()) {}

Launcher::Launcher(std::unique_ptr<X11Interface> displayObject, const Settings& initial)
    : display(std::move(displayObject)) {
    use(initial);
}

// The display goes first: it closes the X connection before anything else is released.
Launcher::~Launcher() { display.reset(); }

void Launcher::run(int argc, char** argv) {
    if (parseArgs(argc, argv)) {
        open();
    }
}

// Values given before a bad option stay: the usage line says what went wrong.
bool Launcher::parseArgs(int argc, char** argv) {
    Settings parsed = settings();
    const bool accepted = parseSettings(argc, argv, parsed);
    use(parsed);
    if (!accepted) {
        printUsage(programName(argc, argv));
    }
    return accepted;
}

Settings Launcher::settings() const {
    return {foreground, background, fontFields, x, y, width, height, std::nullopt};
}

void Launcher::use(const Settings& given) {
    foreground = given.foreground;
    background = given.background;
    fontFields = given.fontFields;
    x = given.x;
    y = given.y;
    width = given.width;
    height = given.height;
}

// The keyboard is taken as soon as the window is mapped: keys typed before the grab go
// to another window. Colours and font come after; without font options, a server that
// has no such font still has fixed.
void Launcher::open() {
    if (!display->openWindow(x, y, width, height)) {
        fatal("Couldn't open window");
    }
    signals.closeFirst(display->descriptor());
    if (!display->grabKeyboard()) {
        fail("Couldn't grab keyboard");
    }
    const std::vector<std::string> fonts = fontsToTry(fontFields);
    if (std::none_of(fonts.begin(), fonts.end(), [&](const std::string& font) {
            return display->setupGC(background, foreground, font);
        })) {
        fail("Couldn't setup GC");
    }
    eventLoop();
}

std::string Launcher::fontPattern() const { return joinFontFields(fontFields); }

void Launcher::eventLoop() {
    paint();
    // Only now: keys typed meanwhile already come to us, and the reads grow with PATH
    // and with the history.
    completion.startScan();
    history.startLoad();
    InputEvent event;
    while (nextInput(event)) {
        if (event.kind == EventKind::Lost) {
            quit(Leaving::ForAnotherClient);
        }
        if (event.kind == EventKind::Key && handleKey(event)) {
            return;
        }
        paint();
    }
}

// The next event to act on. While the lists come in, the window repaints and takes keys;
// a key that needs a list not yet there is held, with every key after it, and they are
// handed out in order once it is there. Escape still ends at once.
bool Launcher::nextInput(InputEvent& event) {
    for (;;) {
        if (!heldKeys.empty() && !waitsForList(heldKeys.front())) {
            event = heldKeys.front();
            heldKeys.pop_front();
            return true;
        }
        const std::vector<int> reading = {completion.readyDescriptor(), history.readyDescriptor(),
                                          bookmarks.readyDescriptor()};
        // Once the lists are in, the wait is Xlib's alone.
        if (std::any_of(reading.begin(), reading.end(), [](int fd) { return fd >= 0; }) &&
            !display->waitForEvent(reading)) {
            completion.ready();  // take in what has come
            history.ready();
            bookmarks.ready();
            continue;
        }
        if (!display->nextEvent(event)) {
            return false;
        }
        if (event.kind != EventKind::Key ||
            (heldKeys.empty() ? !waitsForList(event) : endsAtOnce(event))) {
            return true;
        }
        heldKeys.push_back(event);
    }
}

// A Tab needs the index, Up and Down the history, an Alt+key the bookmarks, read from its
// first on (an Escape typed at once is spared their helper); a bookmark that fires needs
// nothing more.
bool Launcher::waitsForList(const InputEvent& event) {
    if ((event.state & Mod1Mask) != 0) {
        bookmarks.startLoad();
        if (!bookmarks.ready()) {
            return true;
        }
    }
    if (firesBookmark(event)) {
        return false;
    }
    switch (event.keysym) {
    case XK_Tab:
    case XK_KP_Tab: return !text.empty() && !completion.ready();
    case XK_Up:
    case XK_KP_Up:
    case XK_Down:
    case XK_KP_Down: return !history.ready();
    default: return false;
    }
}

bool Launcher::endsAtOnce(const InputEvent& event) {
    return event.keysym == XK_Escape && ((event.state & Mod1Mask) == 0 || !waitsForList(event)) &&
           !firesBookmark(event);
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

// Every way out goes through here first: the server frees the keyboard and the window
// before anything that may wait on a file system, and a signal finds nothing to close.
// Only a way out the user chose waits, a moment at most, for the hotkey to be held again;
// another client that needs the keyboard, or an error, frees it at once. The lists still
// being read are of no use any more, but for a save: the history's read tells it what it
// need not read again.
void Launcher::letGo(Leaving how) {
    if (how == Leaving::ByEscape || how == Leaving::ToLaunch) {
        display->awaitHotkeyHeld();
    }
    signals.forget();
    display->disconnect();
    completion.stopScan();
    bookmarks.stopLoad();
    if (how != Leaving::ToLaunch) {
        history.stopLoad();
    }
}

void Launcher::quit(Leaving how) {
    letGo(how);
    std::exit(0);
}

void Launcher::fail(const std::string& message) {
    letGo(Leaving::OnError);
    fatal(message);
}
