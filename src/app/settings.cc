// The command line's options, read into Settings, and the usage line for one that is bad.
#include "app/settings.h"

#include <algorithm>
#include <cstdio>
#include <exception>
#include <iterator>
#include <string_view>

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

template <std::string Settings::*text>
void setText(Settings& settings, const std::string& value) {
    settings.*text = value;
}

template <std::size_t field>
void setFontField(Settings& settings, const std::string& value) {
    settings.fontFields[field] = value;
}

// An empty chord is an error of the resident, not the one-shot launcher.
void setHotkey(Settings& settings, const std::string& value) { settings.hotkey = value; }

template <std::int32_t Settings::*number>
void setNumber(Settings& settings, const std::string& value) {
    settings.*number = toNumber(value);
}

struct Option {
    std::string_view name;
    void (*apply)(Settings&, const std::string&);
};

constexpr Option options[] = {{"-bg", setText<&Settings::background>},
                              {"-fg", setText<&Settings::foreground>},
                              {"-fo", setFontField<0>},
                              {"-ff", setFontField<1>},
                              {"-fw", setFontField<2>},
                              {"-fs", setFontField<3>},
                              {"-fwn", setFontField<4>},
                              {"-fsn", setFontField<5>},
                              {"-fpt", setFontField<6>},
                              {"-x", setNumber<&Settings::x>},
                              {"-y", setNumber<&Settings::y>},
                              {"-w", setNumber<&Settings::width>},
                              {"-h", setNumber<&Settings::height>},
                              {"-hotkey", setHotkey}};

// Applies one option and its value; false when name is no option.
bool applyOption(Settings& settings, std::string_view name, const std::string& value) {
    const auto* option = std::find_if(std::begin(options), std::end(options),
                                      [&](const Option& o) { return o.name == name; });
    if (option == std::end(options)) {
        return false;
    }
    option->apply(settings, value);
    return true;
}

}  // namespace

FontFields defaultFontFields() {
    return {"*", "*", "medium", "r", "*", "*", "15", "*", "*", "*", "*", "*", "*", "*"};
}

bool parseSettings(int argc, char** argv, Settings& settings) {
    const std::vector<std::string> arguments(argc > 1 ? argv + 1 : argv,
                                             argc > 1 ? argv + argc : argv);
    for (std::size_t i = 0; i < arguments.size(); i += 2) {
        if (i + 1 == arguments.size() || !applyOption(settings, arguments[i], arguments[i + 1])) {
            return false;
        }
    }
    return true;
}

// A process may be started with no arguments at all, not even its own name.
const char* programName(int argc, char** argv) {
    return argc > 0 && argv[0] != nullptr ? argv[0] : "pellacorvine";
}

void printUsage(const char* name) {
    std::fputs("Usage: ", stderr);
    std::fputs(name, stderr);
    std::fwrite(usageText.data(), 1, usageText.size(), stderr);
}

std::string joinFontFields(const FontFields& fields) {
    std::string pattern;
    for (const auto& field : fields) {
        pattern += '-';
        pattern += field;
    }
    return pattern;
}

std::vector<std::string> fontsToTry(const FontFields& fields) {
    std::vector<std::string> fonts = {joinFontFields(fields)};
    if (fields == defaultFontFields()) {
        fonts.emplace_back("fixed");
    }
    return fonts;
}
