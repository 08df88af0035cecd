#pragma once

// Which KeySyms the line takes, and as what value.
#include <cstdint>

// The key value of a KeySym: the KeySym itself up to 0xFFFF; above that only printable
// Latin-1 code points count, as their byte, since the line holds Latin-1 bytes (U+090A
// must not insert a line feed). False for every other KeySym, and for a key press another
// client sent: no key at all.
bool keyValue(unsigned long keysym, bool sent, std::uint16_t& value);
