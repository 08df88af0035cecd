// Any command line is either accepted, with every string option holding its last value
// and nothing written, or rejected with exactly the usage line.
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "app/launcher.h"
#include "fake_display.h"
#include "fuzz_support.h"
#include "test_constants.h"

namespace {

const std::string usage = std::string("Usage: prog") + usageText;

const std::map<std::string, int> fontField = {{"-fo", 0},  {"-ff", 1},  {"-fw", 2}, {"-fs", 3},
                                              {"-fwn", 4}, {"-fsn", 5}, {"-fpt", 6}};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzzHome();
    // Arguments are the input split at NUL bytes.
    std::vector<std::string> arguments = {"prog"};
    std::string current;
    for (std::size_t i = 0; i < size; ++i) {
        if (data[i] == 0) {
            arguments.push_back(current);
            current.clear();
        } else {
            current += static_cast<char>(data[i]);
        }
    }
    if (!current.empty()) {
        arguments.push_back(current);
    }
    std::vector<char*> argv;
    for (auto& argument : arguments) {
        argv.push_back(argument.data());
    }
    argv.push_back(nullptr);

    DisplayScript script;
    Launcher launcher(std::make_unique<FakeDisplay>(script));
    bool accepted = false;
    const std::string error = capturedStderr(
        [&] { accepted = launcher.parseArgs(static_cast<int>(arguments.size()), argv.data()); });
    if (!accepted) {
        FUZZ_CHECK(error == usage);
        return 0;
    }
    FUZZ_CHECK(error.empty());
    FUZZ_CHECK(arguments.size() % 2 == 1);
    std::map<std::string, std::string> last;
    for (std::size_t i = 1; i < arguments.size(); i += 2) {
        last[arguments[i]] = arguments[i + 1];
    }
    for (const auto& [name, value] : last) {
        if (name == "-bg") {
            FUZZ_CHECK(launcher.background == value);
        } else if (name == "-fg") {
            FUZZ_CHECK(launcher.foreground == value);
        } else if (name == "-hotkey") {
            Settings settings;
            FUZZ_CHECK(parseSettings(static_cast<int>(arguments.size()), argv.data(), settings));
            FUZZ_CHECK(settings.hotkey == value);
        } else if (fontField.count(name) != 0) {
            FUZZ_CHECK(launcher.fontFields[static_cast<std::size_t>(fontField.at(name))] == value);
        } else {
            FUZZ_CHECK(name == "-x" || name == "-y" || name == "-w" || name == "-h");
        }
    }
    FUZZ_CHECK(launcher.fontFields.size() == 14);
    FUZZ_CHECK(script.calls.empty());
    return 0;
}
