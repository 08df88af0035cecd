#include "harness.h"

#include <X11/XKBlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace e2e {

namespace {

std::string readAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

std::vector<char*> pointers(std::vector<std::string>& strings) {
    std::vector<char*> result;
    for (auto& s : strings) {
        result.push_back(s.data());
    }
    result.push_back(nullptr);
    return result;
}

// In a child between fork and exec: keep only descriptors 0 to 2 (and keep).
void closeOtherDescriptors(int keep = -1) {
    const long limit = std::min(sysconf(_SC_OPEN_MAX), 65536L);
    for (int fd = 3; fd < limit; ++fd) {
        if (fd != keep) {
            close(fd);
        }
    }
}

// The launcher's window may vanish between listing the root's children and asking about
// one of them; that is no failure of the test.
int ignoreVanishedWindows(Display*, XErrorEvent* error) {
    if (error->error_code != BadWindow && error->error_code != BadDrawable) {
        std::fprintf(stderr, "X error %d, request %d\n", error->error_code, error->request_code);
        std::abort();
    }
    return 0;
}

}  // namespace

bool waitUntil(const std::function<bool()>& condition, Clock::duration timeout,
               Clock::duration interval) {
    const auto deadline = Clock::now() + timeout;
    while (!condition()) {
        if (Clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(interval);
    }
    return true;
}

XServer::XServer(std::vector<std::string> command, const std::string& hostDisplay) {
    int channel[2];
    if (pipe(channel) != 0) {
        throw std::runtime_error("pipe failed");
    }
    const std::string fd = std::to_string(channel[1]);
    const std::string name = command.front();
    command.insert(command.begin() + 1, {"-displayfd", fd, "-nolisten", "tcp"});
    auto argv = pointers(command);
    pid_ = fork();
    if (pid_ == 0) {
        const int devnull = open("/dev/null", O_RDWR);
        dup2(devnull, 0);
        dup2(devnull, 1);
        dup2(devnull, 2);
        closeOtherDescriptors(channel[1]);
        if (!hostDisplay.empty()) {
            setenv("DISPLAY", hostDisplay.c_str(), 1);
        }
        execvp(argv[0], argv.data());
        _exit(127);
    }
    close(channel[1]);
    std::string number;
    pollfd readable{channel[0], POLLIN, 0};
    char byte = 0;
    while (poll(&readable, 1, 20000) > 0 && read(channel[0], &byte, 1) == 1 && byte != '\n') {
        number += byte;
    }
    close(channel[0]);
    if (number.empty()) {
        kill();
        throw std::runtime_error(name + " did not start (is it installed?)");
    }
    display_ = ":" + number;
}

XServer::~XServer() { kill(); }

void XServer::kill() {
    if (pid_ > 0) {
        ::kill(pid_, SIGTERM);
        waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }
}

Process::Process(const std::string& program, const std::vector<std::string>& arguments,
                 const std::vector<std::string>& environment,
                 const std::function<void()>& beforeExec) {
    std::string pattern = "/tmp/pellacorvine-e2e-XXXXXX";
    outputDir_ = mkdtemp(pattern.data());
    const std::string out = outputDir_ + "/stdout";
    const std::string err = outputDir_ + "/stderr";
    std::vector<std::string> argv = arguments;
    argv.insert(argv.begin(), program);
    std::vector<std::string> envp = environment;
    auto argPointers = pointers(argv);
    auto envPointers = pointers(envp);
    pid_ = fork();
    if (pid_ == 0) {
        const int devnull = open("/dev/null", O_RDONLY);
        dup2(devnull, 0);
        dup2(open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), 1);
        dup2(open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), 2);
        closeOtherDescriptors();
        setpgid(0, 0);
        if (beforeExec) {
            beforeExec();
        }
        execve(program.c_str(), argPointers.data(), envPointers.data());
        _exit(127);
    }
}

Process::~Process() {
    if (running()) {
        ::kill(pid_, SIGKILL);
        waitExit(5s);
    }
    std::error_code ignored;
    std::filesystem::remove_all(outputDir_, ignored);
}

bool Process::running() {
    if (status_ || pid_ <= 0) {
        return false;
    }
    int status = 0;
    if (waitpid(pid_, &status, WNOHANG) != pid_) {
        return true;
    }
    status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return false;
}

std::optional<int> Process::waitExit(Clock::duration timeout) {
    waitUntil([this] { return !running(); }, timeout);
    return status_;
}

std::string Process::standardError() const { return readAll(outputDir_ + "/stderr"); }
std::string Process::standardOutput() const { return readAll(outputDir_ + "/stdout"); }

XSession::XSession(const std::string& name) : display_(XOpenDisplay(name.c_str())) {
    if (display_ == nullptr) {
        throw std::runtime_error("cannot connect to " + name);
    }
    fcntl(ConnectionNumber(display_), F_SETFD, FD_CLOEXEC);
    XSetErrorHandler(ignoreVanishedWindows);
    probe_ = makeWindow(799, 599, 1, 1, BlackPixel(display_, DefaultScreen(display_)));
    XSync(display_, False);
}

XSession::~XSession() { XCloseDisplay(display_); }

Window XSession::makeWindow(int x, int y, int width, int height, unsigned long background,
                            bool overrideRedirect, bool mapped) {
    XSetWindowAttributes attributes{};
    attributes.override_redirect = overrideRedirect ? True : False;
    attributes.background_pixel = background;
    const Window window =
        XCreateWindow(display_, DefaultRootWindow(display_), x, y, static_cast<unsigned>(width),
                      static_cast<unsigned>(height), 0, CopyFromParent, InputOutput, CopyFromParent,
                      CWOverrideRedirect | CWBackPixel, &attributes);
    own_.push_back(window);
    if (mapped) {
        XMapWindow(display_, window);
    }
    return window;
}

void XSession::watchForWindows() {
    XSelectInput(display_, DefaultRootWindow(display_), SubstructureNotifyMask);
    XSync(display_, True);  // drop what earlier windows left in the queue
}

Window XSession::findMappedWindow() {
    Window root = 0;
    Window parent = 0;
    Window* children = nullptr;
    unsigned count = 0;
    XQueryTree(display_, DefaultRootWindow(display_), &root, &parent, &children, &count);
    Window found = 0;
    for (unsigned i = 0; i < count && found == 0; ++i) {
        XWindowAttributes attributes;
        if (XGetWindowAttributes(display_, children[i], &attributes) &&
            attributes.override_redirect && attributes.map_state == IsViewable &&
            std::find(own_.begin(), own_.end(), children[i]) == own_.end()) {
            found = children[i];
        }
    }
    XFree(children);
    return found;
}

Window XSession::waitForMappedWindow(Clock::duration timeout) {
    const auto deadline = Clock::now() + timeout;
    XFlush(display_);
    while (Clock::now() < deadline) {
        while (XPending(display_) > 0) {
            XEvent event;
            XNextEvent(display_, &event);
            if (event.type == MapNotify && event.xmap.override_redirect &&
                std::find(own_.begin(), own_.end(), event.xmap.window) == own_.end()) {
                return event.xmap.window;
            }
        }
        pollfd readable{ConnectionNumber(display_), POLLIN, 0};
        poll(&readable, 1, 10);
    }
    return 0;
}

bool XSession::waitForForeignGrab(Clock::duration timeout) {
    return waitUntil(
        [this] {
            const int status =
                XGrabKeyboard(display_, probe_, False, GrabModeAsync, GrabModeAsync, CurrentTime);
            if (status == GrabSuccess) {
                XUngrabKeyboard(display_, CurrentTime);
                XSync(display_, False);
            }
            return status == AlreadyGrabbed;
        },
        timeout);
}

namespace {
bool keyAccessDenied = false;
int noteKeyAccessDenied(Display*, XErrorEvent* error) {
    keyAccessDenied = keyAccessDenied || error->error_code == BadAccess;
    return 0;
}
}  // namespace

bool XSession::waitForForeignKeyGrab(KeyCode code, unsigned modifiers, Clock::duration timeout) {
    return waitUntil(
        [&] {
            keyAccessDenied = false;
            const XErrorHandler previous = XSetErrorHandler(noteKeyAccessDenied);
            const Window root = DefaultRootWindow(display_);
            XGrabKey(display_, code, modifiers, root, False, GrabModeAsync, GrabModeAsync);
            XSync(display_, False);
            const bool denied = keyAccessDenied;
            if (!denied) {
                XUngrabKey(display_, code, modifiers, root);
                XSync(display_, False);
            }
            XSetErrorHandler(previous);
            return denied;
        },
        timeout);
}

bool XSession::waitForForeignPointerGrab(Clock::duration timeout) {
    return waitUntil(
        [this] {
            const int status = XGrabPointer(display_, probe_, False, 0, GrabModeAsync,
                                            GrabModeAsync, None, None, CurrentTime);
            if (status == GrabSuccess) {
                XUngrabPointer(display_, CurrentTime);
                XSync(display_, False);
            }
            return status == AlreadyGrabbed;
        },
        timeout);
}

bool XSession::holdKeyboard() {
    const bool held = XGrabKeyboard(display_, probe_, False, GrabModeAsync, GrabModeAsync,
                                    CurrentTime) == GrabSuccess;
    XSync(display_, False);
    return held;
}

void XSession::releaseKeyboard() {
    XUngrabKeyboard(display_, CurrentTime);
    XSync(display_, False);
}

void XSession::sendKeysym(KeySym keysym, std::vector<KeySym> modifiers) {
    const auto bound = dedicated_.find(keysym);
    const KeyCode code =
        bound != dedicated_.end() ? bound->second : XKeysymToKeycode(display_, keysym);
    if (code == 0) {
        throw std::runtime_error("no keycode for keysym " + std::to_string(keysym));
    }
    // A keysym on the shifted level of its key needs Shift as well.
    if (bound == dedicated_.end() && XkbKeycodeToKeysym(display_, code, 0, 0) != keysym &&
        XkbKeycodeToKeysym(display_, code, 0, 1) == keysym) {
        modifiers.push_back(XK_Shift_L);
    }
    sendKeycode(code, modifiers);
}

void XSession::sendKeycode(KeyCode code, const std::vector<KeySym>& modifiers) {
    for (const KeySym modifier : modifiers) {
        XTestFakeKeyEvent(display_, XKeysymToKeycode(display_, modifier), True, CurrentTime);
    }
    XTestFakeKeyEvent(display_, code, True, CurrentTime);
    XTestFakeKeyEvent(display_, code, False, CurrentTime);
    for (auto it = modifiers.rbegin(); it != modifiers.rend(); ++it) {
        XTestFakeKeyEvent(display_, XKeysymToKeycode(display_, *it), False, CurrentTime);
    }
    XSync(display_, False);
}

namespace {
std::vector<KeySym> modifierKeysyms(const std::vector<std::string>& names) {
    std::vector<KeySym> held;
    for (const auto& name : names) {
        held.push_back(name == "Shift"     ? XK_Shift_L
                       : name == "Control" ? XK_Control_L
                       : name == "Super"   ? XK_Super_L
                                           : XK_Alt_L);
    }
    return held;
}
}  // namespace

void XSession::keycode(KeyCode code, const std::vector<std::string>& modifiers) {
    sendKeycode(code, modifierKeysyms(modifiers));
}

void XSession::key(const std::string& keysymName, const std::vector<std::string>& modifiers) {
    const std::vector<KeySym> held = modifierKeysyms(modifiers);
    const KeySym keysym = XStringToKeysym(keysymName.c_str());
    if (keysym == NoSymbol) {
        throw std::runtime_error("unknown keysym " + keysymName);
    }
    sendKeysym(keysym, held);
}

void XSession::type(const std::string& ascii) {
    for (const char c : ascii) {
        sendKeysym(static_cast<unsigned char>(c), {});
    }
}

void XSession::clickAt(int x, int y, unsigned button) {
    XTestFakeMotionEvent(display_, -1, x, y, CurrentTime);
    XTestFakeButtonEvent(display_, button, True, CurrentTime);
    XTestFakeButtonEvent(display_, button, False, CurrentTime);
    XSync(display_, False);
}

void XSession::mapKeysyms(const std::vector<KeySym>& keysyms) {
    int low = 0;
    int high = 0;
    XDisplayKeycodes(display_, &low, &high);
    int perCode = 0;
    KeySym* map =
        XGetKeyboardMapping(display_, static_cast<KeyCode>(low), high - low + 1, &perCode);
    std::size_t next = 0;
    for (int code = high; code >= low && next < keysyms.size(); --code) {
        const KeySym* row = map + (code - low) * perCode;
        if (std::all_of(row, row + perCode, [](KeySym s) { return s == NoSymbol; })) {
            std::vector<KeySym> syms(static_cast<std::size_t>(perCode), keysyms[next]);
            XChangeKeyboardMapping(display_, code, perCode, syms.data(), 1);
            dedicated_[keysyms[next]] = static_cast<KeyCode>(code);
            ++next;
        }
    }
    XFree(map);
    XSync(display_, False);
}

void XSession::useLayouts(const std::string& layouts, int group) {
    const std::string command =
        "setxkbmap -display " + std::string(DisplayString(display_)) + " -layout " + layouts;
    if (std::system(command.c_str()) != 0) {
        throw std::runtime_error("failed: " + command);
    }
    XkbLockGroup(display_, XkbUseCoreKbd, static_cast<unsigned>(group));
    XSync(display_, False);  // takes in the new map, for the keycodes of keys to type
    dedicated_.clear();
}

Image XSession::capture(Window window) {
    XWindowAttributes attributes;
    XGetWindowAttributes(display_, window, &attributes);
    const Window root = DefaultRootWindow(display_);
    int left = 0;
    int top = 0;
    Window child = 0;
    XTranslateCoordinates(display_, window, root, 0, 0, &left, &top, &child);
    Image image{attributes.width, attributes.height, {}};
    XImage* raw = XGetImage(display_, root, left, top, static_cast<unsigned>(image.width),
                            static_cast<unsigned>(image.height), AllPlanes, ZPixmap);
    for (int y = 0; y < image.height; ++y) {
        for (int x = 0; x < image.width; ++x) {
            image.pixels.push_back(static_cast<std::uint32_t>(XGetPixel(raw, x, y) & 0xFFFFFF));
        }
    }
    XDestroyImage(raw);
    return image;
}

std::uint32_t XSession::pixelValue(const std::string& colourName) {
    XColor color{};
    const Colormap colormap = DefaultColormap(display_, DefaultScreen(display_));
    XParseColor(display_, colormap, colourName.c_str(), &color);
    XAllocColor(display_, colormap, &color);
    return static_cast<std::uint32_t>(color.pixel & 0xFFFFFF);
}

Window XSession::coverWith(int x, int y, int width, int height, const std::string& colourName) {
    const Window window = makeWindow(x, y, width, height, pixelValue(colourName));
    XSync(display_, False);
    return window;
}

Window XSession::overrideRedirect(int x, int y, int width, int height, bool mapped) {
    const Window window = makeWindow(x, y, width, height, pixelValue("blue"), true, mapped);
    XSync(display_, False);
    return window;
}

Window XSession::ordinaryWindow(int x, int y, int width, int height) {
    const Window window = makeWindow(x, y, width, height, pixelValue("green"), false);
    XSync(display_, False);
    return window;
}

void XSession::destroyOwnWindows() {
    for (const Window window : own_) {
        if (window != probe_) {
            XDestroyWindow(display_, window);
        }
    }
    own_ = {probe_};
    XSync(display_, False);
}

}  // namespace e2e
