#include <gtest/gtest.h>

#include "display/x11_lib_x11.h"

namespace {

TEST(VisibleTextTest, SendsOnlyBytesThatCanShowAndNoMoreThanOneRequestCarries) {
    struct Case {
        std::size_t length;
        int windowWidth;
        int minCharWidth;
        long maxRequestUnits;
        std::size_t sent;
    };
    for (const Case& c : {Case{300000, 640, 7, 65535, 92},  // byte 92 begins at 2 + 644 or later
                          Case{91, 640, 7, 65535, 91},      // a line that fits goes whole
                          Case{300000, 640, 1, 65535, 638},
                          Case{300000, 640, 0, 65535, 259842},  // no bound: 1,023 items of 254
                          Case{300000, 640, -3, 4194303, 300000},
                          Case{300000, 2, 7, 65535, 0},
                          Case{300000, 640, 7, 4, 0}}) {
        EXPECT_EQ(visibleTextBytes(c.length, c.windowWidth, c.minCharWidth, c.maxRequestUnits), c.sent)
            << c.length << " bytes, width " << c.windowWidth << ", min " << c.minCharWidth;
    }
}

TEST(KeyValueTest, KeysymsUpToFfffAndPrintableLatin1CodePointsFromRealKeysOnly) {
    struct Case {
        unsigned long keysym;
        bool sent;
        bool isKey;
        std::uint16_t value;
    };
    for (const Case& c : {Case{0xFF1B, false, true, 0xFF1B}, Case{0xFFB1, false, true, 0xFFB1},
                          Case{0x06C1, false, true, 0x06C1}, Case{0x1000041, false, true, 0x41},
                          Case{0x10000E9, false, true, 0x00E9}, Case{0x100090A, false, false, 0},
                          Case{0x100091B, false, false, 0}, Case{0x10020AC, false, false, 0},
                          Case{0x100007F, false, false, 0}, Case{0x100FF1B, false, false, 0},
                          Case{0x1008FF13, false, false, 0}, Case{0x61, true, false, 0},
                          Case{0xFF0D, true, false, 0}}) {
        std::uint16_t value = 0;
        EXPECT_EQ(keyValue(c.keysym, c.sent, value), c.isKey) << std::hex << c.keysym << " " << c.sent;
        if (c.isKey) {
            EXPECT_EQ(value, c.value) << std::hex << c.keysym;
        }
    }
}

TEST(Latin1PatternTest, SetsTheLastTwoFields) {
    EXPECT_EQ(withLatin1Charset("-*-*-medium-r-*-*-15-*-*-*-*-*-*-*"),
              "-*-*-medium-r-*-*-15-*-*-*-*-*-iso8859-1");
    EXPECT_EQ(withLatin1Charset("-a-b--x-y"), "-a-b--iso8859-1");
    EXPECT_EQ(withLatin1Charset("-x-y"), "-iso8859-1");
    EXPECT_EQ(withLatin1Charset("fixed"), "");
    EXPECT_EQ(withLatin1Charset("-fixed"), "");
}

}  // namespace
