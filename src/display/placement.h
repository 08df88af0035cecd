#pragma once

// Where the window goes and what covers a monitor: plain geometry, no X.
#include <cstdint>
#include <optional>
#include <vector>

// A rectangle on the root window: a monitor, or a window's outline.
struct Area {
    std::int32_t x;
    std::int32_t y;
    std::int32_t width;
    std::int32_t height;
};

struct Point {
    std::int32_t x;
    std::int32_t y;
};

// Where to centre on the screen: with no monitor reported, the whole screen; with one,
// that one, even when it is smaller; with several, the one that overlaps most with the
// focus, else (nothing focused, the focus on no monitor, covering every monitor or
// overlapping two or more equally) the one holding the pointer, else the first.
Area chooseMonitor(const Area& screen, const std::vector<Area>& monitors,
                   const std::optional<Area>& focus, const std::optional<Point>& pointer);

// What tells the monitor in use: the focused window's top-level, unless that covers every
// monitor (a virtual root, into which some desktops put every frame); then the focused
// window itself. Both as they lie on the root window.
Area focusOutline(const std::vector<Area>& monitors, const Area& topLevel, const Area& window);

// Whether a window's outer rectangle (border included) covers area, as a screen locker's
// does: it reaches within a few pixels of each of its edges.
bool coversArea(const Area& outer, const Area& area);

// Where a window of the given size goes: a negative x or y centres it on area along that
// axis, each half truncated separately; any other stays a position on the root window.
Point placeWindow(const Area& area, std::int32_t x, std::int32_t y, std::int32_t width,
                  std::int32_t height);
