// The hotkey's text read into modifier bits and a KeySym.
#include "display/chord.h"

#include <X11/Xlib.h>

#include <algorithm>
#include <cctype>
#include <string_view>

namespace {

struct ModifierName {
    std::string_view name;
    std::uint32_t mask;
};

constexpr ModifierName modifierNames[] = {
    {"shift", ShiftMask}, {"control", ControlMask}, {"ctrl", ControlMask}, {"mod1", Mod1Mask},
    {"alt", Mod1Mask},    {"mod2", Mod2Mask},       {"mod3", Mod3Mask},    {"mod4", Mod4Mask},
    {"super", Mod4Mask},  {"mod5", Mod5Mask}};

bool modifierMask(std::string name, std::uint32_t& mask) {
    std::transform(name.begin(), name.end(), name.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    const auto* found = std::find_if(std::begin(modifierNames), std::end(modifierNames),
                                     [&](const ModifierName& m) { return m.name == name; });
    if (found == std::end(modifierNames)) {
        return false;
    }
    mask |= found->mask;
    return true;
}

}  // namespace

bool parseChord(const std::string& text, Chord& chord, std::string& why) {
    chord = Chord{};
    std::size_t start = 0;
    for (std::size_t plus = text.find('+'); plus != std::string::npos;
         plus = text.find('+', start)) {
        const std::string name = text.substr(start, plus - start);
        if (!modifierMask(name, chord.modifiers)) {
            why = "'" + name + "' is no modifier (Shift, Control, Mod1 to Mod5, Alt, Super)";
            return false;
        }
        start = plus + 1;
    }
    const std::string key = text.substr(start);
    chord.keysym = key.empty() ? NoSymbol : XStringToKeysym(key.c_str());
    if (chord.keysym == NoSymbol) {
        why = key.empty() ? "it names no key" : "'" + key + "' is no KeySym name";
        return false;
    }
    return true;
}
