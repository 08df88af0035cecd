// Every binding read from any bookmarks file is one non-whitespace byte bound to a
// non-empty command without whitespace, and that key followed by its command occurs in
// the file.
#include <cstdint>
#include <string>

#include "fuzz_support.h"
#include "lists/bookmarks.h"

namespace {

bool isWhitespace(char byte) { return byte == ' ' || (byte >= '\t' && byte <= '\r'); }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string content(reinterpret_cast<const char*>(data), size);
    for (const auto& [key, command] : parseBookmarks(content)) {
        FUZZ_CHECK(!isWhitespace(key));
        FUZZ_CHECK(!command.empty());
        for (const char byte : command) {
            FUZZ_CHECK(!isWhitespace(byte));
        }
        FUZZ_CHECK(content.find(command) != std::string::npos);
        FUZZ_CHECK(content.find(key) < content.rfind(command));
    }
    return 0;
}
