#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "app/require_env.h"
#include "app/signals.h"
#include "completion/completion.h"
#include "display/x11_interface.h"
#include "lists/bookmarks.h"
#include "lists/history.h"

// The fourteen fields of an X Logical Font Description, in XLFD order, without hyphens.
using FontFields = std::vector<std::string>;

// The application: settings, the three lists, the input line and the display.
// The settings and the line are public so that tests can state them directly; after
// construction only parseArgs changes the settings and only handleKey the line.
class Launcher {
public:
    Launcher();
    // Takes an already created display; the default constructor passes the Xlib one. An
    // opening is the launcher a resident opens at a press of its hotkey.
    explicit Launcher(std::unique_ptr<X11Interface> display, bool opening = false);
    Launcher(const Launcher&) = delete;
    Launcher& operator=(const Launcher&) = delete;
    ~Launcher();

    // With -hotkey, and not an opening, the resident's life (it does not return); else
    // the launcher's.
    void run(int argc, char** argv);
    bool parseArgs(int argc, char** argv);
    std::string fontPattern() const;
    bool handleKey(InputEvent& event);

private:
    void show();
    void eventLoop();
    bool nextInput(InputEvent& event);
    bool waitsForList(const InputEvent& event);
    bool endsAtOnce(const InputEvent& event);
    bool firesBookmark(const InputEvent& event);
    void paint();
    void letGo(bool saving = false);
    void launch();
    [[noreturn]] void quit();
    [[noreturn]] void fail(const std::string& message);

    bool runBookmark(char key);
    bool runLine();
    void insertKey(std::uint16_t keysym);
    void deleteBackward();
    void killLine();
    void deleteWordBackward();
    void replaceLine(std::string line);
    void moveLeft();
    void moveRight();

    std::unique_ptr<X11Interface> display;
    bool opening;
    EndingSignals signals;
    // Keys that came while a Tab waits for the index, or Up or Down for the history, in
    // the order they came.
    std::deque<InputEvent> heldKeys;

public:
    std::string foreground = "white";
    std::string background = "black";
    FontFields fontFields;
    std::int32_t x = -1;
    std::int32_t y = -1;
    std::int32_t width = 640;
    std::int32_t height = 25;
    bool resident = false;  // -hotkey given
    std::string hotkey;
    Completion completion;
    History history;
    Bookmarks bookmarks;
    std::string text;
    std::uint64_t cursor = 0;
};

// Writes "Error: " and the message to standard error and ends the process with status 1.
[[noreturn]] void fatal(const std::string& message);

// Writes the usage line for programName to standard error.
void printUsage(const char* programName);
