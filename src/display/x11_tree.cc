// What the server tells of windows: their top-level window, their outline, the desktop's
// window, and the monitors. Every answer allows for a window that has gone meanwhile.
#include "display/x11_tree.h"

#include <X11/Xatom.h>
#ifdef PELLACORVINE_XINERAMA
#include <X11/extensions/Xinerama.h>
#endif

#include <algorithm>

std::optional<Window> topLevelOf(Display* connection, Window window) {
    for (;;) {
        Window root = None;
        Window parent = None;
        Window* children = nullptr;
        unsigned count = 0;
        if (XQueryTree(connection, window, &root, &parent, &children, &count) == 0) {
            return std::nullopt;
        }
        if (children != nullptr) {
            XFree(children);
        }
        if (parent == root || parent == None) {
            return window;
        }
        window = parent;
    }
}

std::optional<Area> areaOnRoot(Display* connection, Window window) {
    Window root = None;
    int x = 0;
    int y = 0;
    unsigned width = 0;
    unsigned height = 0;
    unsigned border = 0;
    unsigned depth = 0;
    Window child = None;
    if (XGetGeometry(connection, window, &root, &x, &y, &width, &height, &border, &depth) == 0 ||
        XTranslateCoordinates(connection, window, root, 0, 0, &x, &y, &child) == 0) {
        return std::nullopt;
    }
    return Area{x, y, static_cast<std::int32_t>(width), static_cast<std::int32_t>(height)};
}

bool isDesktop(Display* connection, Window window) {
    char typeName[] = "_NET_WM_WINDOW_TYPE";
    char desktopName[] = "_NET_WM_WINDOW_TYPE_DESKTOP";
    char* names[] = {typeName, desktopName};
    Atom atoms[2] = {None, None};
    if (XInternAtoms(connection, names, 2, True, atoms) == 0 || atoms[1] == None) {
        return false;  // no client has ever named that type
    }
    Atom actualType = None;
    int format = 0;
    unsigned long count = 0;
    unsigned long after = 0;
    unsigned char* data = nullptr;
    if (XGetWindowProperty(connection, window, atoms[0], 0, 32, False, XA_ATOM, &actualType,
                           &format, &count, &after, &data) != Success ||
        data == nullptr) {
        return false;
    }
    const auto* types = reinterpret_cast<const Atom*>(data);
    const bool desktop = format == 32 && std::find(types, types + count, atoms[1]) != types + count;
    XFree(data);
    return desktop;
}

std::vector<Area> monitorsOf([[maybe_unused]] Display* connection) {
    std::vector<Area> heads;
#ifdef PELLACORVINE_XINERAMA
    // No monitors when Xinerama is inactive; asking whether it is would cost a round trip.
    int count = 0;
    XineramaScreenInfo* info = XineramaQueryScreens(connection, &count);
    heads.reserve(static_cast<std::size_t>(count));
    for (int i = 0; i < count; ++i) {
        heads.push_back({info[i].x_org, info[i].y_org, info[i].width, info[i].height});
    }
    if (info != nullptr) {
        XFree(info);
    }
#endif
    return heads;
}

namespace {

// The outline of the focus on the root window, as focusOutline judges it; nothing where
// the focus names no window, or the desktop's.
std::optional<Area> focusArea(Display* connection, int screen, const std::vector<Area>& heads) {
    Window focused = None;
    int revert = 0;
    XGetInputFocus(connection, &focused, &revert);
    if (focused == None || focused == PointerRoot || focused == RootWindow(connection, screen)) {
        return std::nullopt;
    }
    const auto top = topLevelOf(connection, focused);
    if (isDesktop(connection, focused) || (top && isDesktop(connection, *top))) {
        return std::nullopt;
    }
    const auto topArea = top ? areaOnRoot(connection, *top) : std::nullopt;
    const auto ownArea = areaOnRoot(connection, focused);
    if (!topArea || !ownArea) {
        return std::nullopt;
    }
    return focusOutline(heads, *topArea, *ownArea);
}

std::optional<Point> pointerOn(Display* connection, int screen) {
    Window rootReturned = None;
    Window child = None;
    int rootX = 0;
    int rootY = 0;
    int windowX = 0;
    int windowY = 0;
    unsigned mask = 0;
    if (XQueryPointer(connection, RootWindow(connection, screen), &rootReturned, &child, &rootX,
                      &rootY, &windowX, &windowY, &mask) == 0) {
        return std::nullopt;
    }
    return Point{rootX, rootY};
}

}  // namespace

// A window straddling the seam would be half on each monitor.
Area monitorInUse(Display* connection, int screen) {
    return monitorInUse(connection, screen, monitorsOf(connection));
}

Area monitorInUse(Display* connection, int screen, const std::vector<Area>& heads) {
    const Area screenArea{0, 0, DisplayWidth(connection, screen),
                          DisplayHeight(connection, screen)};
    if (heads.size() < 2) {
        return chooseMonitor(screenArea, heads, std::nullopt, std::nullopt);
    }
    return chooseMonitor(screenArea, heads, focusArea(connection, screen, heads),
                         pointerOn(connection, screen));
}
