// Any sequence of key presses (Return and Escape aside, which end the process) keeps
// the cursor within the line, and only insertions lengthen it, by one byte each.
#include <X11/X.h>
#include <X11/keysym.h>
#include <sys/stat.h>

#include <cstdint>
#include <fstream>
#include <iterator>

#include "app/launcher.h"
#include "fake_display.h"
#include "fuzz_support.h"

namespace {

// Keys with a meaning, picked by bytes 0x80 and up; lower bytes type ASCII.
constexpr std::uint16_t specialKeys[] = {
    XK_BackSpace, XK_Tab,    XK_KP_Tab, XK_Home,     XK_KP_Home, XK_Left,    XK_KP_Left,
    XK_Up,        XK_KP_Up,  XK_Right,  XK_KP_Right, XK_Down,    XK_KP_Down, XK_End,
    XK_KP_End,    XK_k,      XK_w,      XK_space,    XK_KP_0,    XK_KP_9,    XK_Delete,
    XK_KP_Enter,  XK_eacute, 0x06C1,    0x13BE,      0x13BF,     0,          XK_F1};

void prepareHome() {
    static const bool ready = [] {
        const std::string home = fuzzHome();
        std::ofstream(home + "/.pellacorvine.history") << "ls -la\nx\n\nxterm -e top";
        for (const char* name : {"/xterm", "/xterm-wrap", "/xcalc"}) {
            std::ofstream(home + name) << "";
            chmod((home + name).c_str(), 0755);
        }
        return true;
    }();
    (void)ready;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    prepareHome();
    DisplayScript script;
    Launcher launcher(std::make_unique<FakeDisplay>(script));
    for (std::size_t i = 0; i + 1 < size; i += 2) {
        const std::uint8_t pick = data[i];
        const std::uint16_t keysym = pick < 0x80 ? static_cast<std::uint16_t>(0x20 + pick % 0x5F)
                                                 : specialKeys[pick % std::size(specialKeys)];
        const std::uint32_t state = data[i + 1] & (ShiftMask | LockMask | ControlMask | Mod1Mask);
        InputEvent event{EventKind::Key, keysym, state};
        const std::size_t before = launcher.text.size();
        FUZZ_CHECK(!launcher.handleKey(event));
        FUZZ_CHECK(launcher.cursor <= launcher.text.size());
        const bool inserted = launcher.text.size() == before + 1;
        FUZZ_CHECK(launcher.text.size() <= before || inserted || keysym == XK_Tab ||
                   keysym == XK_KP_Tab || keysym == XK_Up || keysym == XK_KP_Up ||
                   keysym == XK_Down || keysym == XK_KP_Down);
    }
    return 0;
}
