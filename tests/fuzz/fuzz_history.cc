// Loading any history file and saving it again gives back its non-empty lines in order,
// each with its line feed; Up walks them newest first.
#include <cstdint>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "lists/history.h"

namespace {

std::vector<std::string> nonEmptyLines(const std::string& content) {
    std::vector<std::string> lines(1);
    for (const char byte : content) {
        if (byte == '\n') {
            lines.emplace_back();
        } else {
            lines.back() += byte;
        }
    }
    std::erase(lines, std::string());
    return lines;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string file = fuzzHome() + "/.pellacorvine.history";
    const std::string content(reinterpret_cast<const char*>(data), size);
    std::ofstream(file, std::ios::binary | std::ios::trunc) << content;

    History history;
    const std::vector<std::string> lines = nonEmptyLines(content);
    for (auto line = lines.rbegin(); line != lines.rend(); ++line) {
        FUZZ_CHECK(history.previous() == *line);
    }
    history.save("");
    std::ostringstream saved;
    saved << std::ifstream(file, std::ios::binary).rdbuf();
    std::string expected;
    for (const auto& line : lines) {
        expected += line + '\n';
    }
    FUZZ_CHECK(saved.str() == expected);
    return 0;
}
