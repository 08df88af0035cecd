#pragma once

// The launcher: its window, the line typed into it, the lists it completes and recalls
// from, and its ways out.
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "app/messages.h"
#include "app/require_env.h"
#include "app/settings.h"
#include "app/signals.h"
#include "completion/completion.h"
#include "display/x11_interface.h"
#include "lists/bookmarks.h"
#include "lists/history.h"

// The application: settings, the three lists, the input line and the display.
// The settings and the line are public so that tests can state them directly; after
// construction only parseArgs changes the settings and only handleKey the line.
class Launcher {
public:
    Launcher();
    // Takes an already created display (the default constructor passes the Xlib one) and
    // the settings to start from.
    explicit Launcher(std::unique_ptr<X11Interface> displayObject, const Settings& initial = {});
    Launcher(const Launcher&) = delete;
    Launcher& operator=(const Launcher&) = delete;
    ~Launcher();

    // The launcher's life: the options, then the window until a way out.
    void run(int argc, char** argv);
    bool parseArgs(int argc, char** argv);
    // Opens the window with the settings as they stand, and runs until a way out.
    void open();
    std::string fontPattern() const;
    bool handleKey(InputEvent& event);

private:
    Settings settings() const;
    void use(const Settings& given);
    void eventLoop();
    bool nextInput(InputEvent& event);
    bool waitsForList(const InputEvent& event);
    bool endsAtOnce(const InputEvent& event);
    bool firesBookmark(const InputEvent& event);
    void paint();
    // Escape; another client that needs the keyboard or the user gone elsewhere; an error;
    // Return or a bookmark, whose save and launch follow.
    enum class Leaving { ByEscape, ForAnotherClient, OnError, ToLaunch };
    void letGo(Leaving how);
    void launch();
    [[noreturn]] void quit(Leaving how);
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
    Completion completion;
    History history;
    Bookmarks bookmarks;
    std::string text;
    std::uint64_t cursor = 0;
};
