// Where the window goes and what covers a monitor: plain geometry, no X.
#include "display/placement.h"

#include <algorithm>

namespace {

// How far inside an edge a locker's window may stop: xsecurelock's lies one pixel in.
constexpr std::int64_t coverSlack = 8;

// How far two spans along one axis share pixels; 64 bits, so no sum can overflow.
std::int64_t shared(std::int64_t start, std::int64_t length, std::int64_t otherStart,
                    std::int64_t otherLength) {
    return std::max<std::int64_t>(
        0, std::min(start + length, otherStart + otherLength) - std::max(start, otherStart));
}

std::int64_t overlap(const Area& a, const Area& b) {
    return shared(a.x, a.width, b.x, b.width) * shared(a.y, a.height, b.y, b.height);
}

bool coversAll(const std::vector<Area>& monitors, const Area& area) {
    return std::all_of(monitors.begin(), monitors.end(), [&](const Area& monitor) {
        return overlap(monitor, area) == overlap(monitor, monitor);
    });
}

// The one monitor that overlaps most with the focus; none when the focus lies on no
// monitor, covers them all, or overlaps two or more equally: it says nothing of where the
// user is then.
const Area* focusMonitor(const std::vector<Area>& monitors, const Area& focus) {
    if (coversAll(monitors, focus)) {
        return nullptr;
    }
    const Area* best = nullptr;
    std::int64_t most = 0;
    bool tied = false;
    for (const Area& monitor : monitors) {
        const std::int64_t shares = overlap(monitor, focus);
        if (shares > most) {
            most = shares;
            best = &monitor;
            tied = false;
        } else if (shares == most && shares > 0) {
            tied = true;
        }
    }
    return tied ? nullptr : best;
}

bool holds(const Area& area, const Point& point) {
    return point.x >= area.x && point.x - area.x < area.width && point.y >= area.y &&
           point.y - area.y < area.height;
}

}  // namespace

Area chooseMonitor(const Area& screen, const std::vector<Area>& monitors,
                   const std::optional<Area>& focus, const std::optional<Point>& pointer) {
    if (monitors.empty()) {
        return screen;
    }
    if (const Area* chosen = focus ? focusMonitor(monitors, *focus) : nullptr) {
        return *chosen;
    }
    for (const Area& monitor : monitors) {
        if (pointer && holds(monitor, *pointer)) {
            return monitor;
        }
    }
    return monitors.front();
}

Area focusOutline(const std::vector<Area>& monitors, const Area& topLevel, const Area& window) {
    return coversAll(monitors, topLevel) ? window : topLevel;
}

bool coversArea(const Area& outer, const Area& area) {
    const auto right = [](const Area& a) { return std::int64_t{a.x} + a.width; };
    const auto bottom = [](const Area& a) { return std::int64_t{a.y} + a.height; };
    return outer.x <= area.x + coverSlack && outer.y <= area.y + coverSlack &&
           right(outer) >= right(area) - coverSlack && bottom(outer) >= bottom(area) - coverSlack;
}

Point placeWindow(const Area& area, std::int32_t x, std::int32_t y, std::int32_t width,
                  std::int32_t height) {
    // Each half truncates separately: 600 / 2 - 25 / 2 = 288, not 287.
    return {x < 0 ? area.x + area.width / 2 - width / 2 : x,
            y < 0 ? area.y + area.height / 2 - height / 2 : y};
}
