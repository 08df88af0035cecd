// The resident's chord as -hotkey gives it: modifier names and one KeySym, or why not.
#include <gtest/gtest.h>

#include <X11/X.h>
#include <X11/keysym.h>

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

}  // namespace
