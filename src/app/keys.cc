// Key handling and line editing: what each key does to the line, the cursor and the lists.
#include <X11/X.h>
#include <X11/keysym.h>

#include <cctype>

#include "app/launcher.h"

namespace {

constexpr std::uint16_t lastCharacterKeysym = 0x13BE;  // XK_Ydiaeresis

// The byte a key inserts, or false for keys that insert nothing.
bool insertableByte(std::uint16_t keysym, char& byte) {
    if (keysym >= XK_space && keysym <= lastCharacterKeysym) {
        byte = static_cast<char>(keysym & 0xFF);
        return true;
    }
    if (keysym >= XK_KP_0 && keysym <= XK_KP_9) {
        byte = static_cast<char>('0' + (keysym - XK_KP_0));
        return true;
    }
    return false;
}

// Control+K and Control+W. Caps Lock alone, a mode left on by mistake, upper-cases their
// key value and still means them; Shift, a chord made on purpose, makes them letters.
bool isControlChord(const InputEvent& event, std::uint16_t lower) {
    const bool capsOnly = (event.state & (LockMask | ShiftMask)) == LockMask;
    return (event.state & ControlMask) != 0 &&
           (event.keysym == lower || (capsOnly && event.keysym == lower - ('a' - 'A')));
}

// toupper is only defined for byte values; every other key value stays as it is.
std::uint16_t shifted(std::uint16_t keysym) {
    return keysym <= 0xFF ? static_cast<std::uint16_t>(std::toupper(keysym)) : keysym;
}

}  // namespace

bool Launcher::handleKey(InputEvent& event) {
    if ((event.state & ShiftMask) != 0) {
        event.keysym = shifted(event.keysym);
    }
    if ((event.state & Mod1Mask) != 0 && runBookmark(static_cast<char>(event.keysym & 0xFF))) {
        return true;
    }
    switch (event.keysym) {
    case XK_BackSpace: deleteBackward(); break;
    case XK_Tab:
    case XK_KP_Tab: replaceLine(completion.complete(text)); break;
    case XK_Return: return runLine();
    case XK_Escape: quit(Leaving::ByEscape);
    case XK_Home:
    case XK_KP_Home: cursor = 0; break;
    case XK_Left:
    case XK_KP_Left: moveLeft(); break;
    case XK_Up:
    case XK_KP_Up: replaceLine(history.previous()); break;
    case XK_Right:
    case XK_KP_Right: moveRight(); break;
    case XK_Down:
    case XK_KP_Down: replaceLine(history.next()); break;
    case XK_End:
    case XK_KP_End: cursor = text.size(); break;
    case XK_k:
    case XK_K:
        if (isControlChord(event, XK_k)) {
            killLine();
            event.keysym = 0;
        }
        break;
    case XK_w:
    case XK_W:
        if (isControlChord(event, XK_w)) {
            deleteWordBackward();
            event.keysym = 0;
        }
        break;
    default: break;
    }
    insertKey(event.keysym);
    return false;
}

bool Launcher::runBookmark(char key) {
    std::string command = bookmarks.lookup(key);
    if (command.empty()) {
        return false;
    }
    text = std::move(command);
    return runLine();
}

// Saving and starting the shell may each wait on a file system for good: by then the
// keyboard is free. A signal meanwhile lets the save finish first.
bool Launcher::runLine() {
    letGo(Leaving::ToLaunch);
    {
        const EndingSignals::Held saveUnderWay;
        history.save(text);
    }
    launch();
    return true;
}

void Launcher::insertKey(std::uint16_t keysym) {
    char byte = 0;
    if (!insertableByte(keysym, byte)) {
        return;
    }
    text.insert(text.begin() + static_cast<std::ptrdiff_t>(cursor), byte);
    ++cursor;
    completion.reset();
}

void Launcher::deleteBackward() {
    completion.reset();
    if (cursor > 0) {
        --cursor;
        text.erase(cursor, 1);
    }
}

void Launcher::killLine() {
    completion.reset();
    text.clear();
    cursor = 0;
}

// The byte just before the cursor and the first byte of the line are never taken as the
// separator: a trailing space goes with its word, a leading one with the first word.
void Launcher::deleteWordBackward() {
    if (cursor == 0) {
        return;
    }
    std::uint64_t start = 0;
    for (std::uint64_t i = cursor - 1; i-- > 1;) {
        if (text[i] == ' ') {
            start = i + 1;
            break;
        }
    }
    text.erase(start, cursor - start);
    cursor = start;
}

void Launcher::replaceLine(std::string line) {
    text = std::move(line);
    cursor = text.size();
}

void Launcher::moveLeft() {
    if (cursor > 0) {
        --cursor;
    }
}

void Launcher::moveRight() {
    if (cursor < text.size()) {
        ++cursor;
    }
}
