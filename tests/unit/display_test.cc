#include <gtest/gtest.h>

#include "display/key_value.h"
#include "display/placement.h"
#include "display/x11_lib_x11.h"

namespace {

TEST(VisibleTextTest, SendsOnlyBytesThatCanShowAndNoMoreThanOneRequestCarries) {
    struct Case {
        std::size_t length;
        int windowWidth;
        int minCharWidth;
        long maxRequestUnits;
        std::size_t sent;
    };
    for (const Case& c : {Case{300000, 640, 7, 65535, 92},  // byte 92 begins at 2 + 644 or later
                          Case{91, 640, 7, 65535, 91},      // a line that fits goes whole
                          Case{300000, 640, 1, 65535, 638},
                          Case{300000, 640, 0, 65535, 259842},  // no bound: 1,023 items of 254
                          Case{300000, 640, -3, 4194303, 300000}, Case{300000, 2, 7, 65535, 0},
                          Case{300000, 640, 7, 4, 0}}) {
        EXPECT_EQ(visibleTextBytes(c.length, c.windowWidth, c.minCharWidth, c.maxRequestUnits),
                  c.sent)
            << c.length << " bytes, width " << c.windowWidth << ", min " << c.minCharWidth;
    }
}

TEST(KeyValueTest, KeysymsUpToFfffAndPrintableLatin1CodePointsFromRealKeysOnly) {
    struct Case {
        unsigned long keysym;
        bool sent;
        bool isKey;
        std::uint16_t value;
    };
    for (const Case& c : {Case{0xFF1B, false, true, 0xFF1B}, Case{0xFFB1, false, true, 0xFFB1},
                          Case{0x06C1, false, true, 0x06C1}, Case{0x1000041, false, true, 0x41},
                          Case{0x10000E9, false, true, 0x00E9}, Case{0x100090A, false, false, 0},
                          Case{0x100091B, false, false, 0}, Case{0x10020AC, false, false, 0},
                          Case{0x100007F, false, false, 0}, Case{0x1000080, false, false, 0},
                          Case{0x100009F, false, false, 0}, Case{0x100FF1B, false, false, 0},
                          Case{0x1008FF13, false, false, 0}, Case{0x61, true, false, 0},
                          Case{0xFF0D, true, false, 0}}) {
        std::uint16_t value = 0;
        EXPECT_EQ(keyValue(c.keysym, c.sent, value), c.isKey)
            << std::hex << c.keysym << " " << c.sent;
        if (c.isKey) {
            EXPECT_EQ(value, c.value) << std::hex << c.keysym;
        }
    }
}

// The default 640 by 25 window, centred unless the row says otherwise, on a 2560 by 1600
// screen. focus is the focused window's top-level, inner the focused window inside it.
TEST(MonitorTest, CentresOnTheMonitorInUse) {
    const std::vector<Area> sideBySide = {{0, 0, 1280, 800}, {1280, 0, 1280, 800}};
    const std::vector<Area> lShaped = {
        {0, 0, 1280, 800}, {0, 800, 1280, 800}, {1280, 800, 1280, 800}};
    struct Case {
        const char* name;
        std::vector<Area> monitors;
        std::optional<Area> focus;
        std::optional<Point> pointer;
        std::int32_t x;
        std::int32_t y;
        Point placed;
        std::optional<Area> inner = std::nullopt;
    };
    for (const Case& c :
         {Case{"FocusOnTheRight",
               sideBySide,
               Area{1400, 100, 200, 200},
               Point{10, 10},
               -1,
               -1,
               {1600, 388}},
          Case{"FocusMostlyLeft",
               sideBySide,
               Area{1000, 100, 400, 100},
               std::nullopt,
               -1,
               -1,
               {320, 388}},
          Case{"NoFocusPointerRight",
               sideBySide,
               std::nullopt,
               Point{2000, 300},
               -1,
               -1,
               {1600, 388}},
          Case{"FocusOnNoMonitor",
               sideBySide,
               Area{3000, 0, 100, 100},
               Point{2000, 300},
               -1,
               -1,
               {1600, 388}},
          Case{"PointerInTheGap", lShaped, std::nullopt, Point{2000, 300}, -1, -1, {320, 388}},
          Case{"NoPointer", sideBySide, std::nullopt, std::nullopt, -1, -1, {320, 388}},
          Case{"SizesAndOffsetDiffer",
               {{0, 0, 1920, 1080}, {1920, 56, 1280, 1024}},
               std::nullopt,
               Point{2000, 500},
               -1,
               -1,
               {2240, 556}},
          Case{"OneMonitor", {{0, 0, 800, 600}}, std::nullopt, Point{700, 10}, -1, -1, {80, 288}},
          Case{"FocusOnNoMonitorPointerLeft",
               sideBySide,
               Area{3000, 0, 100, 100},
               Point{100, 100},
               -1,
               -1,
               {320, 388}},
          Case{"OneMonitorSmallerThanTheScreen",
               {{0, 0, 1000, 800}},
               std::nullopt,
               Point{1500, 300},
               -1,
               -1,
               {180, 388}},
          Case{"NoMonitorTheWholeScreen", {}, std::nullopt, Point{10, 10}, -1, -1, {960, 788}},
          Case{"VirtualRootTheFocusedWindowInside",
               sideBySide,
               Area{0, 0, 2560, 800},
               std::nullopt,
               -1,
               -1,
               {1600, 388},
               Area{1400, 100, 200, 200}},
          // A desktop window under the whole screen has the focus after a click on it.
          Case{"DesktopCoveringBothThePointerDecides",
               sideBySide,
               Area{0, 0, 2560, 800},
               Point{2000, 300},
               -1,
               -1,
               {1600, 388}},
          Case{"FocusOnBothEquallyThePointerDecides",
               sideBySide,
               Area{1180, 100, 200, 100},
               Point{2000, 300},
               -1,
               -1,
               {1600, 388}},
          Case{"PointerOnTheFirstColumnOfTheRight",
               sideBySide,
               std::nullopt,
               Point{1280, 300},
               -1,
               -1,
               {1600, 388}},
          Case{"FrameCoveringOneMonitorIsNoVirtualRoot",
               sideBySide,
               Area{0, 0, 1280, 800},
               std::nullopt,
               -1,
               -1,
               {320, 388},
               Area{1400, 100, 200, 200}},
          Case{"FixedXCentredY",
               sideBySide,
               Area{1400, 100, 200, 200},
               std::nullopt,
               10,
               -1,
               {10, 388}}}) {
        const auto focus =
            c.focus ? std::optional(focusOutline(c.monitors, *c.focus, c.inner.value_or(*c.focus)))
                    : std::nullopt;
        const Area screen{0, 0, 2560, 1600};
        const Point placed =
            placeWindow(chooseMonitor(screen, c.monitors, focus, c.pointer), c.x, c.y, 640, 25);
        EXPECT_EQ(placed.x, c.placed.x) << c.name;
        EXPECT_EQ(placed.y, c.placed.y) << c.name;
    }
}

// A screen locker's window covers a monitor: its outline, border included, reaches within
// 8 pixels of every edge. The monitor here is the right one of two 1280 by 800 heads.
TEST(CoverTest, ReachesWithinEightPixelsOfEveryEdge) {
    const Area right{1280, 0, 1280, 800};
    struct Case {
        const char* name;
        Area outer;
        bool covers;
    };
    for (const Case& c : {Case{"Exactly", {1280, 0, 1280, 800}, true},
                          Case{"OnePixelInsideEachEdge", {1281, 1, 1278, 798}, true},
                          Case{"EightInside", {1288, 8, 1264, 784}, true},
                          Case{"NineInsideOnTheLeft", {1289, 0, 1271, 800}, false},
                          Case{"NineShortAtTheBottom", {1280, 0, 1280, 791}, false},
                          Case{"BothMonitors", {0, 0, 2560, 800}, true},
                          Case{"TheOtherMonitor", {0, 0, 1280, 800}, false}}) {
        EXPECT_EQ(coversArea(c.outer, right), c.covers) << c.name;
    }
}

}  // namespace
