// Which KeySyms the line takes, and as what value.
#include "display/key_value.h"

namespace {

constexpr unsigned long unicodeKeysymBase = 0x1000000;

bool isPrintableLatin1(unsigned long codePoint) {
    return (codePoint >= 0x20 && codePoint <= 0x7E) || (codePoint >= 0xA0 && codePoint <= 0xFF);
}

}  // namespace

bool keyValue(unsigned long keysym, bool sent, std::uint16_t& value) {
    if (sent) {
        return false;
    }
    if (keysym > 0xFFFF && !isPrintableLatin1(keysym - unicodeKeysymBase)) {
        return false;
    }
    value = static_cast<std::uint16_t>(keysym & 0xFFFF);
    return true;
}
