// Screen lockers told from everything else: an override-redirect window of another
// client over a whole monitor that no window manager made. i3lock maps one and moves the
// focus to it; slock and xsecurelock create one and map it only once they hold the
// keyboard; a compositor's overlay window counts too, which does no harm.
#include "display/x11_lockers.h"

#include <X11/Xatom.h>

#include <deque>
#include <string>
#include <vector>

#include "display/x11_tree.h"

namespace {

// The windows of one frame looked into for a managed window: a frame holds one near its top.
constexpr std::size_t frameSearchLimit = 256;

// Xlib keeps the connection's resource-id mask in its private fields (resource_mask):
// the bits above it tell which client made a window.
XID clientOf(Display* connection, XID resource) {
    return resource & ~reinterpret_cast<_XPrivDisplay>(connection)->private4;
}

bool isOurs(Display* connection, Window window) {
    return clientOf(connection, window) ==
           clientOf(connection, reinterpret_cast<_XPrivDisplay>(connection)->private3);
}

int screenOfRoot(Display* connection, Window root) {
    for (int screen = 0; screen < ScreenCount(connection); ++screen) {
        if (RootWindow(connection, screen) == root) {
            return screen;
        }
    }
    return -1;
}

// The monitors on the default screen; any other screen, or one without monitors, whole.
bool coversAMonitor(Display* connection, int screen, const Area& outer) {
    std::vector<Area> areas;
    if (screen == DefaultScreen(connection)) {
        areas = monitorsOf(connection);
    }
    if (areas.empty()) {
        areas.push_back(
            {0, 0, DisplayWidth(connection, screen), DisplayHeight(connection, screen)});
    }
    for (const Area& area : areas) {
        if (coversArea(outer, area)) {
            return true;
        }
    }
    return false;
}

bool hasProperty(Display* connection, Window window, Atom property) {
    Atom type = None;
    int format = 0;
    unsigned long count = 0;
    unsigned long after = 0;
    unsigned char* data = nullptr;
    const bool has = XGetWindowProperty(connection, window, property, 0, 0, False, AnyPropertyType,
                                        &type, &format, &count, &after, &data) == Success &&
                     type != None;
    if (data != nullptr) {
        XFree(data);
    }
    return has;
}

std::vector<Window> childrenOf(Display* connection, Window window) {
    Window root = None;
    Window parent = None;
    Window* children = nullptr;
    unsigned count = 0;
    std::vector<Window> found;
    if (XQueryTree(connection, window, &root, &parent, &children, &count) != 0 &&
        children != nullptr) {
        found.assign(children, children + count);
    }
    if (children != nullptr) {
        XFree(children);
    }
    return found;
}

// A frame: some window below it carries WM_STATE, which only a window manager sets.
bool holdsManagedWindow(Display* connection, Window window) {
    const Atom state = XInternAtom(connection, "WM_STATE", True);
    std::deque<Window> below = {window};
    for (std::size_t looked = 0; state != None && !below.empty() && looked < frameSearchLimit;
         ++looked) {
        for (const Window child : childrenOf(connection, below.front())) {
            if (hasProperty(connection, child, state)) {
                return true;
            }
            below.push_back(child);
        }
        below.pop_front();
    }
    return false;
}

// The window a root's _NET_SUPPORTING_WM_CHECK names, where it names itself as well, as
// a live manager's does; None otherwise.
Window supportingCheck(Display* connection, Window root) {
    const Atom check = XInternAtom(connection, "_NET_SUPPORTING_WM_CHECK", True);
    const auto named = [&](Window window) {
        Atom type = None;
        int format = 0;
        unsigned long count = 0;
        unsigned long after = 0;
        unsigned char* data = nullptr;
        Window found = None;
        if (XGetWindowProperty(connection, window, check, 0, 1, False, XA_WINDOW, &type, &format,
                               &count, &after, &data) == Success &&
            data != nullptr && format == 32 && count == 1) {
            found = *reinterpret_cast<const Window*>(data);
        }
        if (data != nullptr) {
            XFree(data);
        }
        return found;
    };
    const Window window = check == None ? None : named(root);
    return window != None && named(window) == window ? window : None;
}

// The manager's client: the owner of WM_S<screen>, or (for a manager that takes no such
// selection, as fluxbox) the maker of the window its EWMH check names.
bool isWindowManagers(Display* connection, int screen, Window window) {
    const std::string name = "WM_S" + std::to_string(screen);
    const Atom selection = XInternAtom(connection, name.c_str(), True);
    const Window owner = selection == None ? None : XGetSelectionOwner(connection, selection);
    const Window manager =
        owner != None ? owner : supportingCheck(connection, RootWindow(connection, screen));
    return (manager != None && clientOf(connection, manager) == clientOf(connection, window)) ||
           holdsManagedWindow(connection, window);
}

// What an override-redirect window of root's screen, with this outline, would be.
bool isLockers(Display* connection, Window root, Window window, const Area& outer) {
    const int screen = screenOfRoot(connection, root);
    return screen >= 0 && !isOurs(connection, window) &&
           coversAMonitor(connection, screen, outer) &&
           !isWindowManagers(connection, screen, window);
}

Area outline(int x, int y, int width, int height, int border) {
    return {x, y, width + 2 * border, height + 2 * border};
}

// A window as its attributes show it now.
bool isLockers(Display* connection, Window window, const XWindowAttributes& attributes) {
    return attributes.override_redirect &&
           isLockers(connection, attributes.root, window,
                     outline(attributes.x, attributes.y, attributes.width, attributes.height,
                             attributes.border_width));
}

bool isMappedLockers(Display* connection, Window window) {
    XWindowAttributes attributes{};
    return XGetWindowAttributes(connection, window, &attributes) != 0 &&
           attributes.map_state == IsViewable && isLockers(connection, window, attributes);
}

}  // namespace

void watchRoots(Display* connection) {
    for (int screen = 0; screen < ScreenCount(connection); ++screen) {
        XSelectInput(connection, RootWindow(connection, screen),
                     SubstructureNotifyMask | FocusChangeMask);
    }
}

bool announcesLocker(Display* connection, const XEvent& event) {
    if (event.xany.send_event != False) {
        return false;
    }
    if (event.type == CreateNotify) {
        const XCreateWindowEvent& created = event.xcreatewindow;
        return created.override_redirect &&
               isLockers(connection, created.parent, created.window,
                         outline(created.x, created.y, created.width, created.height,
                                 created.border_width));
    }
    return event.type == MapNotify && event.xmap.override_redirect &&
           screenOfRoot(connection, event.xmap.event) >= 0 &&
           !isOurs(connection, event.xmap.window) && isMappedLockers(connection, event.xmap.window);
}

bool isLockersWindow(Display* connection, Window window) {
    const auto top = topLevelOf(connection, window);
    return top && !isOurs(connection, *top) && isMappedLockers(connection, *top);
}

bool lockerWindowMapped(Display* connection) {
    for (int screen = 0; screen < ScreenCount(connection); ++screen) {
        for (const Window child : childrenOf(connection, RootWindow(connection, screen))) {
            if (!isOurs(connection, child) && isMappedLockers(connection, child)) {
                return true;
            }
        }
    }
    return false;
}
