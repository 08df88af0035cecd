// The fixture brings GoogleTest in before Xlib, whose None macro it must not see.
#include "e2e_fixture.h"

#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>

#include <algorithm>
#include <cstdlib>
#include <functional>
#include <ostream>
#include <thread>

namespace e2e {
namespace {

class WindowTest : public E2ETest {
protected:
    struct FontMetrics {
        int ascent;
        int descent;
        int widthOfA;
    };
    FontMetrics metrics() {
        XFontStruct* font = XLoadQueryFont(x().display(), defaultFontPattern);
        EXPECT_NE(font, nullptr);
        const FontMetrics result{font->ascent, font->descent, XTextWidth(font, "a", 1)};
        XFreeFont(x().display(), font);
        return result;
    }

    // Frame in the foreground colour, inside in the background, the cursor bar from
    // barStart two pixels below the baseline. A line of width 1 with butt caps ends at its
    // last point, so the pixel at barStart + 10 is the server's choice and not checked.
    bool paintedAsExpected(Window window, std::uint32_t fg, std::uint32_t bg, int barStart) {
        const FontMetrics font = metrics();
        const Image image = x().capture(window);
        const int barY = font.ascent + font.descent + 4;
        const int w = image.width;
        const int h = image.height;
        return image.at(0, 0) == fg && image.at(w - 1, 0) == fg && image.at(0, h - 1) == fg &&
               image.at(w - 1, h - 1) == fg && image.at(w / 2, 0) == fg && image.at(1, 1) == bg &&
               image.at(w - 2, h - 2) == bg && image.at(w / 2, h / 2) == bg &&
               image.at(barStart, barY) == fg && image.at(barStart + 9, barY) == fg &&
               image.at(barStart - 1, barY) == bg && image.at(barStart + 11, barY) == bg &&
               image.at(barStart + 5, barY - 1) == bg;
    }

    // The text as the given font draws it, white on black at the launcher's pen, in a
    // window of the default size at the top of the screen.
    Image referenceLine(const char* pattern, const std::string& text) {
        const Window reference = x().coverWith(80, 0, 640, 25, "black");
        XFontStruct* font = XLoadQueryFont(x().display(), pattern);
        EXPECT_NE(font, nullptr);
        XGCValues values{};
        values.foreground = 0xFFFFFF;
        values.font = font->fid;
        GC gc = XCreateGC(x().display(), reference, GCForeground | GCFont, &values);
        Image image;
        waitUntil([&] {
            XDrawString(x().display(), reference, gc, 2, font->ascent + font->descent + 2,
                        text.data(), static_cast<int>(text.size()));
            XSync(x().display(), False);
            image = x().capture(reference);
            return std::find(image.pixels.begin(), image.pixels.end(), 0xFFFFFF) !=
                   image.pixels.end();
        });
        textRows_ = font->ascent + font->descent + 3;  // down to the cursor bar's row
        XFreeGC(x().display(), gc);
        XFreeFont(x().display(), font);
        XDestroyWindow(x().display(), reference);
        return image;
    }
    // The inside of the window above the cursor bar, where the text lies.
    bool sameTextRows(const Image& shown, const Image& expected) const {
        for (int row = 1; row < textRows_; ++row) {
            for (int column = 1; column < expected.width - 1; ++column) {
                if (shown.at(column, row) != expected.at(column, row)) {
                    return false;
                }
            }
        }
        return true;
    }
    int textRows_ = 0;
};

struct GeometryCase {
    const char* name;
    std::vector<std::string> arguments;
    int x, y, width, height;
};

std::ostream& operator<<(std::ostream& out, const GeometryCase& c) { return out << c.name; }

class GeometryTest : public WindowTest, public ::testing::WithParamInterface<GeometryCase> {};

TEST_P(GeometryTest, WindowIsPlacedSizedAndFixed) {
    std::unique_ptr<Process> launcher;
    const Window window = startReady(launcher, GetParam().arguments);
    XWindowAttributes attributes;
    XGetWindowAttributes(x().display(), window, &attributes);
    EXPECT_EQ(attributes.x, GetParam().x);
    EXPECT_EQ(attributes.y, GetParam().y);
    EXPECT_EQ(attributes.width, GetParam().width);
    EXPECT_EQ(attributes.height, GetParam().height);
    EXPECT_TRUE(attributes.override_redirect);
    EXPECT_EQ(attributes.border_width, 0);
    XSizeHints hints{};
    long supplied = 0;
    ASSERT_TRUE(XGetWMNormalHints(x().display(), window, &hints, &supplied));
    EXPECT_EQ(hints.flags, PMinSize | PMaxSize);
    EXPECT_EQ(
        std::vector<int>({hints.min_width, hints.min_height, hints.max_width, hints.max_height}),
        std::vector<int>(
            {GetParam().width, GetParam().height, GetParam().width, GetParam().height}));
    x().key("Escape");
    expectEnd(*launcher, 0, "");
}

INSTANTIATE_TEST_SUITE_P(
    Options, GeometryTest,
    ::testing::Values(GeometryCase{"Default", {}, 80, 288, 640, 25},
                      GeometryCase{"LeftEdge", {"-x", "0"}, 0, 288, 640, 25},
                      GeometryCase{"WiderThanScreen", {"-w", "900"}, -50, 288, 900, 25},
                      GeometryCase{"OddWidthHalvesSeparately", {"-w", "641"}, 80, 288, 641, 25},
                      GeometryCase{"NegativeXPositiveY", {"-x", "-5", "-y", "10"}, 80, 10, 640, 25},
                      GeometryCase{
                          "UnreadableNumberCentres", {"-x", "abc", "-h", "40"}, 80, 280, 640, 40}),
    [](const auto& test) { return test.param.name; });

TEST_F(WindowTest, PaintsFrameBackgroundAndCursorWithDefaultColours) {
    std::unique_ptr<Process> launcher;
    const Window window = startReady(launcher);
    EXPECT_TRUE(waitUntil([&] { return paintedAsExpected(window, 0xFFFFFF, 0x000000, 2); }));
    x().type("abc");
    x().key("Left");
    x().key("Left");
    const int barStart = 2 + metrics().widthOfA;
    EXPECT_TRUE(waitUntil([&] { return paintedAsExpected(window, 0xFFFFFF, 0x000000, barStart); }));
    x().key("Escape");
    expectEnd(*launcher, 0, "");
}

// The window a resident makes before the press is, once a press shows it, the one-shot
// launcher's: its place, its size, its colours, its line and cursor.
TEST_F(WindowTest, ResidentsOpeningIsPlacedAndPaintedAsTheOneShotWindow) {
    auto resident = start({"-hotkey", "Mod4+p", "-bg", "navy", "-fg", "#ffcc00"}, environment());
    ASSERT_TRUE(x().waitForForeignKeyGrab(XKeysymToKeycode(x().display(), XK_p), Mod4Mask))
        << resident->standardError();
    x().watchForWindows();
    x().key("p", {"Super"});
    const Window window = x().waitForMappedWindow();
    ASSERT_NE(window, 0U);
    XWindowAttributes attributes{};
    XGetWindowAttributes(x().display(), window, &attributes);
    EXPECT_EQ(std::vector<int>({attributes.x, attributes.y, attributes.width, attributes.height}),
              std::vector<int>({80, 288, 640, 25}));
    const std::uint32_t fg = x().pixelValue("#ffcc00");
    const std::uint32_t bg = x().pixelValue("navy");
    x().type("abc");
    x().key("Left");
    x().key("Left");
    EXPECT_TRUE(
        waitUntil([&] { return paintedAsExpected(window, fg, bg, 2 + metrics().widthOfA); }));
    x().key("Escape");
}

// Monitors set after the resident made its window, before the press: the opening's window
// is, once painted, where the one-shot launcher's goes then.
TEST_F(WindowTest, ResidentsOpeningFollowsMonitorsSetAfterItsPreparation) {
    auto resident = start({"-hotkey", "Mod4+p"}, environment());
    ASSERT_TRUE(x().waitForForeignKeyGrab(XKeysymToKeycode(x().display(), XK_p), Mod4Mask))
        << resident->standardError();
    const std::string xrandr = "xrandr -display " + displayName();
    ASSERT_EQ(std::system((xrandr + " --setmonitor left 700/100x600/100+0+0 none").c_str()), 0);
    XTestFakeMotionEvent(x().display(), -1, 100, 100, CurrentTime);
    const auto placedBy = [&](const std::function<void()>& open) {
        x().watchForWindows();
        open();
        const Window window = x().waitForMappedWindow();
        EXPECT_TRUE(waitUntil([&] { return paintedAsExpected(window, 0xFFFFFF, 0x000000, 2); }));
        XWindowAttributes attributes{};
        XGetWindowAttributes(x().display(), window, &attributes);
        x().key("Escape");
        return std::make_pair(attributes.x, attributes.y);
    };
    std::unique_ptr<Process> oneShot;
    const auto expected = placedBy([&] { oneShot = start({}, environment()); });
    expectEnd(*oneShot, 0, "");
    EXPECT_NE(expected, std::make_pair(80, 288)) << "the monitors changed nothing";
    EXPECT_EQ(placedBy([&] { x().key("p", {"Super"}); }), expected);
    EXPECT_EQ(std::system((xrandr + " --delmonitor left").c_str()), 0);
}

TEST_F(WindowTest, PaintsWithColoursFromOptions) {
    std::unique_ptr<Process> launcher;
    const Window window = startReady(launcher, {"-bg", "navy", "-fg", "#ffcc00"});
    EXPECT_TRUE(waitUntil([&] {
        return paintedAsExpected(window, x().pixelValue("#ffcc00"), x().pixelValue("navy"), 2);
    }));
    x().key("Escape");
    expectEnd(*launcher, 0, "");
}

TEST_F(WindowTest, RepaintsWhatAnotherWindowCovered) {
    std::unique_ptr<Process> launcher;
    const Window window = startReady(launcher);
    ASSERT_TRUE(waitUntil([&] { return paintedAsExpected(window, 0xFFFFFF, 0, 2); }));
    const Window cover = x().coverWith(0, 0, 800, 400, "red");  // short of a locker's
    ASSERT_TRUE(waitUntil([&] { return x().capture(window).at(1, 1) == 0xFF0000; }));
    XDestroyWindow(x().display(), cover);
    XSync(x().display(), False);
    EXPECT_TRUE(waitUntil([&] { return paintedAsExpected(window, 0xFFFFFF, 0, 2); }));
    x().key("Escape");
    expectEnd(*launcher, 0, "");
}

TEST_F(WindowTest, GivesUpOnAKeyboardHeldLongerThanThreeSeconds) {
    ASSERT_TRUE(x().holdKeyboard());
    auto launcher = start({}, environment());
    EXPECT_EQ(launcher->waitExit(2500ms), std::nullopt) << "gave up before its 3 s";
    EXPECT_EQ(launcher->waitExit(10s), 1);
    x().releaseKeyboard();
    EXPECT_EQ(launcher->standardError(), "Error: Couldn't grab keyboard\n");
}

// At 16 pixels the open charset fields let the server pick a Korean font that shows
// nothing of the line: the text must be what the ISO 8859-1 font draws.
TEST_F(WindowTest, LargerFontDrawsTheLineWithLatin1Glyphs) {
    std::unique_ptr<Process> launcher;
    const Window window = startReady(launcher, {"-fpt", "16"});
    x().type("Hello");
    const Image expected = referenceLine("-*-*-medium-r-*-*-16-*-*-*-*-*-iso8859-1", "Hello");
    EXPECT_TRUE(waitUntil([&] { return sameTextRows(x().capture(window), expected); }));
    x().key("Escape");
    expectEnd(*launcher, 0, "");
}

// Two 1280x800 heads side by side; the focus is on a child window, which lies on the left
// head, of a window that lies mostly on the right one.
struct FocusCase {
    struct Box {
        int x, y, width, height;
    };
    const char* name;
    Box parent;
    Box child;  // within the parent
    std::pair<int, int> placed;
};

std::ostream& operator<<(std::ostream& out, const FocusCase& c) { return out << c.name; }

class FocusTest : public WindowTest, public ::testing::WithParamInterface<FocusCase> {};

TEST_P(FocusTest, CentresOnTheMonitorInUse) {
#ifndef PELLACORVINE_XINERAMA
    GTEST_SKIP() << "built without Xinerama";
#endif
    if (std::system("command -v Xephyr >/dev/null") != 0) {
        GTEST_SKIP() << "no Xephyr";
    }
    const XServer heads({"Xephyr", "-screen", "1280x800", "-screen", "1280x800", "+xinerama"},
                        displayName());
    XSession session(heads.display());
    const FocusCase& c = GetParam();
    const Window parent =
        session.coverWith(c.parent.x, c.parent.y, c.parent.width, c.parent.height, "red");
    const Window child = XCreateSimpleWindow(session.display(), parent, c.child.x, c.child.y,
                                             static_cast<unsigned>(c.child.width),
                                             static_cast<unsigned>(c.child.height), 0, 0, 0);
    XMapWindow(session.display(), child);
    XSetInputFocus(session.display(), child, RevertToParent, CurrentTime);
    const std::vector<std::string> env = {"HOME=" + home.path(), "PATH=" + bin.path(),
                                          "DISPLAY=" + heads.display()};
    // The one-shot launcher, then a resident's opening, whose window was made before the
    // focus was known.
    Process resident(program, {"-hotkey", "Mod4+p"}, env);
    ASSERT_TRUE(session.waitForForeignKeyGrab(XKeysymToKeycode(session.display(), XK_p), Mod4Mask))
        << resident.standardError();
    for (const bool byHotkey : {false, true}) {
        session.watchForWindows();
        std::unique_ptr<Process> launcher =
            byHotkey ? nullptr
                     : std::make_unique<Process>(program, std::vector<std::string>{}, env);
        if (byHotkey) {
            session.key("p", {"Super"});
        }
        const Window window = session.waitForMappedWindow();
        ASSERT_NE(window, 0U) << (launcher ? launcher->standardError() : resident.standardError());
        XWindowAttributes attributes{};
        XGetWindowAttributes(session.display(), window, &attributes);
        EXPECT_EQ(std::make_pair(attributes.x, attributes.y), c.placed) << byHotkey;
        ASSERT_TRUE(session.waitForForeignGrab());
        session.key("Escape");
        if (launcher) {
            expectEnd(*launcher, 0, "");
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    TwoHeads, FocusTest,
    ::testing::Values(
        // The frame decides: 320 of its 600 pixels are on the right.
        FocusCase{"ChildOfAFrame", {1000, 100, 600, 200}, {0, 0, 200, 200}, {1600, 388}},
        // A root-sized window holds every frame: the focused window inside it decides.
        FocusCase{"InsideAVirtualRoot", {0, 0, 2560, 800}, {1400, 100, 200, 200}, {1600, 388}}),
    [](const auto& test) { return test.param.name; });

// A server with only its built-in fonts (no 15-pixel one) has fixed: the default pattern
// falls back to it, a family the user asked for does not.
struct FontCase {
    const char* name;
    bool builtInFontsOnly;
    std::vector<std::string> arguments;
    const char* error;  // empty when the window opens
};

std::ostream& operator<<(std::ostream& out, const FontCase& c) { return out << c.name; }

class FontTest : public E2ETest, public ::testing::WithParamInterface<FontCase> {};

TEST_P(FontTest, OpensOrFailsWithTheFontItFinds) {
    const FontCase& c = GetParam();
    std::vector<std::string> command = {"Xvfb", "-screen", "0", "800x600x24"};
    if (c.builtInFontsOnly) {
        command.insert(command.end(), {"-fp", "built-ins"});
    }
    const XServer server(command);
    XSession session(server.display());
    session.watchForWindows();
    Process launcher(program, c.arguments,
                     {"HOME=" + home.path(), "PATH=" + bin.path(), "DISPLAY=" + server.display()});
    if (*c.error == '\0') {
        ASSERT_NE(session.waitForMappedWindow(), 0U) << launcher.standardError();
        ASSERT_TRUE(session.waitForForeignGrab());
        session.key("Escape");
    }
    expectEnd(launcher, *c.error == '\0' ? 0 : 1, c.error);
}

INSTANTIATE_TEST_SUITE_P(
    Servers, FontTest,
    ::testing::Values(
        FontCase{"NoSuchFamily", false, {"-ff", "no-such-family"}, "Error: Couldn't setup GC\n"},
        FontCase{"BuiltInsDefaultFallsBackToFixed", true, {}, ""},
        FontCase{
            "BuiltInsNoSuchFamily", true, {"-ff", "nosuchfamily"}, "Error: Couldn't setup GC\n"}),
    [](const auto& test) { return test.param.name; });

TEST_F(WindowTest, MissingOrUnreachableDisplayFails) {
    const std::vector<std::string> base = {"HOME=" + home.path(), "PATH=" + bin.path()};
    for (const std::string display : {"unset", "", ":4711"}) {
        auto env = base;
        if (display != "unset") {
            env.push_back("DISPLAY=" + display);
        }
        Process launcher(PELLACORVINE_BINARY, {}, env);
        EXPECT_EQ(launcher.waitExit(), 1) << display;
        EXPECT_EQ(launcher.standardError(), "Error: Couldn't open window\n") << display;
    }
}

struct EnvironmentCase {
    const char* name;
    std::vector<std::string> arguments;
    const char* unset;
    int status;
    std::string error;  // "USAGE" stands for the usage line of the binary
};

std::ostream& operator<<(std::ostream& out, const EnvironmentCase& c) { return out << c.name; }

class CommandLineTest : public E2ETest, public ::testing::WithParamInterface<EnvironmentCase> {};

// These end before any window: no window may appear, and stdout stays empty.
TEST_P(CommandLineTest, EndsBeforeTheDisplay) {
    std::vector<std::string> env;
    for (const auto& variable : environment()) {
        if (!variable.starts_with(std::string(GetParam().unset) + "=")) {
            env.push_back(variable);
        }
    }
    auto launcher = start(GetParam().arguments, env);
    const std::string usage = std::string("Usage: ") + PELLACORVINE_BINARY + usageText;
    expectEnd(*launcher, GetParam().status, GetParam().error == "USAGE" ? usage : GetParam().error);
    EXPECT_EQ(x().waitForMappedWindow(100ms), 0U);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, CommandLineTest,
    ::testing::Values(
        EnvironmentCase{"HeightWithoutValue", {"-h"}, "NONE", 0, "USAGE"},
        EnvironmentCase{"UnknownOption", {"-z", "1"}, "NONE", 0, "USAGE"},
        EnvironmentCase{"ZeroWidth", {"-w", "0"}, "NONE", 1, "Error: Couldn't open window\n"},
        // What every opening would fail on, the resident says at its start.
        EnvironmentCase{"ResidentWithZeroWidth",
                        {"-hotkey", "Mod4+p", "-w", "0"},
                        "NONE",
                        1,
                        "Error: Couldn't open window\n"},
        EnvironmentCase{"ResidentWithAFontTheServerLacks",
                        {"-hotkey", "Mod4+p", "-ff", "no-such-family"},
                        "NONE",
                        1,
                        "Error: Couldn't setup GC\n"},
        EnvironmentCase{"EmptyHotkey",
                        {"-hotkey", ""},
                        "NONE",
                        1,
                        "Error: Couldn't read hotkey '': it names no key\n"},
        EnvironmentCase{
            "NoHome", {}, "HOME", 1, "Error: Could not find HOME environment variable\n"},
        EnvironmentCase{"NoHomeBadOption",
                        {"-z"},
                        "HOME",
                        1,
                        "Error: Could not find HOME environment variable\n"},
        EnvironmentCase{
            "NoPath", {"-z"}, "PATH", 1, "Error: Could not find PATH environment variable\n"}),
    [](const auto& test) { return test.param.name; });

}  // namespace
}  // namespace e2e
