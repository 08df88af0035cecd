#include <algorithm>
#include <cstdio>
#include <exception>
#include <iterator>
#include <string_view>

#include "app/launcher.h"

namespace {

constexpr std::string_view usageText =
    " [-bg background] [-fg foreground] [-fo font_foundry] [-ff font_family]"
    " [-fw font_weight] [-fs font_slant] [-fwn font_width_name] [-fsn font_style_name]"
    " [-fpt font_point_size] [-x window x-coordinate] [-y window y-coordinate]"
    " [-w window width] [-h window height]\n";

// Base-10 like std::stoi; anything it refuses is stored as -1.
std::int32_t toNumber(const std::string& value) {
    try {
        return std::stoi(value);
    } catch (const std::exception&) {
        return -1;
    }
}

template <std::string Launcher::*text>
void setText(Launcher& launcher, const std::string& value) {
    launcher.*text = value;
}

template <std::size_t field>
void setFontField(Launcher& launcher, const std::string& value) {
    launcher.fontFields[field] = value;
}

void setHotkey(Launcher& launcher, const std::string& value) {
    launcher.hotkey = value;
    launcher.resident = true;  // an empty chord is an error, not one-shot
}

template <std::int32_t Launcher::*number>
void setNumber(Launcher& launcher, const std::string& value) {
    launcher.*number = toNumber(value);
}

struct Option {
    std::string_view name;
    void (*apply)(Launcher&, const std::string&);
};

constexpr Option options[] = {{"-bg", setText<&Launcher::background>},
                              {"-fg", setText<&Launcher::foreground>},
                              {"-fo", setFontField<0>},
                              {"-ff", setFontField<1>},
                              {"-fw", setFontField<2>},
                              {"-fs", setFontField<3>},
                              {"-fwn", setFontField<4>},
                              {"-fsn", setFontField<5>},
                              {"-fpt", setFontField<6>},
                              {"-x", setNumber<&Launcher::x>},
                              {"-y", setNumber<&Launcher::y>},
                              {"-w", setNumber<&Launcher::width>},
                              {"-h", setNumber<&Launcher::height>},
                              {"-hotkey", setHotkey}};

// Applies one option and its value; false when name is no option.
bool applyOption(Launcher& launcher, std::string_view name, const std::string& value) {
    const auto* option = std::find_if(std::begin(options), std::end(options),
                                      [&](const Option& o) { return o.name == name; });
    if (option == std::end(options)) {
        return false;
    }
    option->apply(launcher, value);
    return true;
}

}  // namespace

void printUsage(const char* programName) {
    std::fputs("Usage: ", stderr);
    std::fputs(programName, stderr);
    std::fwrite(usageText.data(), 1, usageText.size(), stderr);
}

bool Launcher::parseArgs(int argc, char** argv) {
    // A process may be started with no arguments at all, not even its own name.
    const char* programName = argc > 0 && argv[0] != nullptr ? argv[0] : "pellacorvine";
    const std::vector<std::string> arguments(argc > 1 ? argv + 1 : argv,
                                             argc > 1 ? argv + argc : argv);
    for (std::size_t i = 0; i < arguments.size(); i += 2) {
        if (i + 1 == arguments.size() || !applyOption(*this, arguments[i], arguments[i + 1])) {
            printUsage(programName);
            return false;
        }
    }
    return true;
}
