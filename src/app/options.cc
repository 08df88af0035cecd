#include <cstdio>
#include <exception>
#include <string_view>

#include "app/launcher.h"

namespace {

constexpr std::string_view usageText =
    " [-bg background] [-fg foreground] [-fo font_foundry] [-ff font_family]"
    " [-fw font_weight] [-fs font_slant] [-fwn font_width_name] [-fsn font_style_name]"
    " [-fpt font_point_size] [-x window x-coordinate] [-y window y-coordinate]"
    " [-w window width] [-h window height]\n";

struct FontOption {
    std::string_view name;
    std::size_t field;
};

constexpr FontOption fontOptions[] = {{"-fo", 0},  {"-ff", 1},  {"-fw", 2}, {"-fs", 3},
                                      {"-fwn", 4}, {"-fsn", 5}, {"-fpt", 6}};

// Base-10 like std::stoi; anything it refuses is stored as -1.
std::int32_t toNumber(const std::string& value) {
    try {
        return std::stoi(value);
    } catch (const std::exception&) {
        return -1;
    }
}

}  // namespace

void printUsage(const char* programName) {
    std::fputs("Usage: ", stderr);
    std::fputs(programName, stderr);
    std::fwrite(usageText.data(), 1, usageText.size(), stderr);
}

// Applies one option and its value; false when name is no option.
static bool applyOption(Launcher& launcher, std::string_view name, const std::string& value) {
    for (const auto& option : fontOptions) {
        if (name == option.name) {
            launcher.fontFields[option.field] = value;
            return true;
        }
    }
    if (name == "-bg") {
        launcher.background = value;
    } else if (name == "-fg") {
        launcher.foreground = value;
    } else if (name == "-x") {
        launcher.x = toNumber(value);
    } else if (name == "-y") {
        launcher.y = toNumber(value);
    } else if (name == "-w") {
        launcher.width = toNumber(value);
    } else if (name == "-h") {
        launcher.height = toNumber(value);
    } else {
        return false;
    }
    return true;
}

bool Launcher::parseArgs(int argc, char** argv) {
    // A process may be started with no arguments at all, not even its own name.
    const char* programName = argc > 0 && argv[0] != nullptr ? argv[0] : "pellacorvine";
    const std::vector<std::string> arguments(argc > 1 ? argv + 1 : argv, argc > 1 ? argv + argc : argv);
    for (std::size_t i = 0; i < arguments.size(); i += 2) {
        if (i + 1 == arguments.size() || !applyOption(*this, arguments[i], arguments[i + 1])) {
            printUsage(programName);
            return false;
        }
    }
    return true;
}
