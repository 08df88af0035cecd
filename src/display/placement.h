#pragma once

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

// The monitor to centre on: the one that overlaps most with the focused top-level window;
// when nothing is focused, or the focus overlaps no monitor, the one holding the pointer;
// else the first. monitors is not empty.
Area chooseMonitor(const std::vector<Area>& monitors, const std::optional<Area>& focus,
                   const std::optional<Point>& pointer);

// Where a window of the given size goes: a negative x or y centres it on area along that
// axis, each half truncated separately; any other stays a position on the root window.
Point placeWindow(const Area& area, std::int32_t x, std::int32_t y, std::int32_t width,
                  std::int32_t height);
