// The resident's chord as -hotkey gives it: modifier names and one KeySym, or why not.
#include <gtest/gtest.h>

#include <X11/X.h>
#include <X11/Xlib.h>
#include <X11/keysym.h>

#include <algorithm>
#include <vector>

#include "display/chord.h"

namespace {

// -hotkey's value, read before anything is shown.
TEST(ChordTest, ModifierNamesAndOneKeysymOrWhyNot) {
    struct Case {
        const char* text;
        std::uint32_t modifiers;
        std::uint64_t keysym;  // NoSymbol: refused
        const char* why = "";
    };
    for (const Case& c :
         {Case{"Mod4+p", Mod4Mask, XK_p},
          Case{"Control+Mod1+space", ControlMask | Mod1Mask, XK_space},
          Case{"super+Return", Mod4Mask, XK_Return}, Case{"F12", 0, XK_F12},
          Case{"CTRL+alt+SHIFT+P", ControlMask | Mod1Mask | ShiftMask, XK_P},
          Case{"Mod2+Mod3+Mod5+a", Mod2Mask | Mod3Mask | Mod5Mask, XK_a},
          Case{"Hyper+p", 0, NoSymbol,
               "'Hyper' is no modifier (Shift, Control, Mod1 to Mod5, Alt, Super)"},
          Case{"Mod4+", 0, NoSymbol, "it names no key"}, Case{"", 0, NoSymbol, "it names no key"},
          Case{"Mod4+nosuchkey", 0, NoSymbol, "'nosuchkey' is no KeySym name"},
          Case{"Mod4x+p", 0, NoSymbol,
               "'Mod4x' is no modifier (Shift, Control, Mod1 to Mod5, Alt, Super)"},
          Case{"Superb+p", 0, NoSymbol,
               "'Superb' is no modifier (Shift, Control, Mod1 to Mod5, Alt, Super)"},
          Case{"+p", 0, NoSymbol,
               "'' is no modifier (Shift, Control, Mod1 to Mod5, Alt, Super)"}}) {
        Chord chord;
        std::string why;
        EXPECT_EQ(parseChord(c.text, chord, why), c.keysym != NoSymbol) << c.text;
        EXPECT_EQ(why, c.why) << c.text;
        if (c.keysym != NoSymbol) {
            EXPECT_EQ(chord.modifiers, c.modifiers) << c.text;
            EXPECT_EQ(chord.keysym, c.keysym) << c.text;
        }
    }
}

// Caps Lock, NumLock or Scroll Lock left on must not make the chord another key: it is
// grabbed with every combination of the lock modifiers the live map has, each known by its
// bit (NumLock on Mod2 is 0x10, not its row 4, which would be Control).
TEST(ChordFormsTest, EveryCombinationOfTheLockModifiers) {
    constexpr unsigned char numLock = 77;
    constexpr unsigned char scrollLock = 78;
    unsigned char map[8 * 2] = {};
    map[4 * 2 + 1] = numLock;  // Mod2's second key
    map[5 * 2] = scrollLock;   // Mod3's first
    EXPECT_EQ(modifierOfKey(map, 2, numLock), unsigned{Mod2Mask});
    EXPECT_EQ(modifierOfKey(map, 2, scrollLock), unsigned{Mod3Mask});
    EXPECT_EQ(modifierOfKey(map, 2, 99), 0U);
    EXPECT_EQ(modifierOfKey(map, 2, 0), 0U) << "a key that is not there";
    const auto modifiersOf = [](const std::vector<ChordGrab>& forms) {
        std::vector<unsigned> modifiers;
        for (const ChordGrab& form : forms) {
            EXPECT_EQ(form.keycode, 33U);
            modifiers.push_back(form.modifiers);
        }
        std::sort(modifiers.begin(), modifiers.end());
        return modifiers;
    };
    const unsigned super = Mod4Mask;
    const unsigned caps = LockMask;
    EXPECT_EQ(
        modifiersOf(chordForms(33, super, {caps, Mod2Mask, Mod3Mask})),
        (std::vector<unsigned>{super, super | caps, super | Mod2Mask, super | caps | Mod2Mask,
                               super | Mod3Mask, super | caps | Mod3Mask,
                               super | Mod2Mask | Mod3Mask, super | caps | Mod2Mask | Mod3Mask}));
    EXPECT_EQ(modifiersOf(chordForms(33, super | caps, {caps})),
              (std::vector<unsigned>{super | caps}))
        << "a lock the chord names itself adds no form";
}

}  // namespace
