#include <gtest/gtest.h>

#include <ostream>

#include <map>

#include "lists/bookmarks.h"
#include "test_support.h"

namespace {

struct BookmarkCase {
    const char* name;
    std::string content;
    std::map<char, std::string> bindings;
};

std::ostream& operator<<(std::ostream& out, const BookmarkCase& c) { return out << c.name; }

class BookmarkParseTest : public ::testing::TestWithParam<BookmarkCase> {};

TEST_P(BookmarkParseTest, BindsKeysToWords) {
    EXPECT_EQ(parseBookmarks(GetParam().content), GetParam().bindings);
}

INSTANTIATE_TEST_SUITE_P(
    Files, BookmarkParseTest,
    ::testing::Values(
        BookmarkCase{"Empty", "", {}}, BookmarkCase{"OnlyWhitespace", " \t\n\v\f\r", {}},
        BookmarkCase{"OnePerLine", "a xterm\nb firefox\n", {{'a', "xterm"}, {'b', "firefox"}}},
        BookmarkCase{"LastBindingWins", "a xterm\na urxvt", {{'a', "urxvt"}}},
        BookmarkCase{"KeyWithoutCommandIgnored", "a xterm\nb", {{'a', "xterm"}}},
        BookmarkCase{"KeyAndCommandTouch", "axterm", {{'a', "xterm"}}},
        BookmarkCase{"TwoBytes", "ab", {{'a', "b"}}},
        BookmarkCase{"CommandWithArgumentsSplits",
                     "a xterm -e top",
                     {{'a', "xterm"}, {'-', "e"}, {'t', "op"}}},
        BookmarkCase{"PairAcrossLines", "\n\n  a\n\n  xterm\n", {{'a', "xterm"}}},
        BookmarkCase{"CarriageReturnLineFeed",
                     "a xterm\r\nb firefox\r\n",
                     {{'a', "xterm"}, {'b', "firefox"}}},
        BookmarkCase{"HashIsAKey", "# comment", {{'#', "comment"}}},
        BookmarkCase{"CaseMatters", "a lower A upper", {{'a', "lower"}, {'A', "upper"}}},
        BookmarkCase{"HighBytesAreNotWhitespace", "\xE9\xA0x", {{'\xE9', "\xA0x"}}},
        BookmarkCase{"NulIsAByte", std::string("\0 cmd", 5), {{'\0', "cmd"}}}),
    [](const auto& test) { return test.param.name; });

TEST(BookmarksTest, LoadsFromHomeAndLooksUp) {
    TempDir home;
    ScopedEnv env("HOME", home.path());
    writeFile(home / ".pellacorvine.bookmarks", "a xterm\nb firefox\n");
    Bookmarks bookmarks;
    bookmarks.startLoad();  // read in a helper; the lookup waits for it
    EXPECT_EQ(bookmarks.lookup('a'), "xterm");
    EXPECT_EQ(bookmarks.lookup('b'), "firefox");
    EXPECT_EQ(bookmarks.lookup('c'), "");
}

TEST(BookmarksTest, MissingFileBindsNothing) {
    TempDir home;
    ScopedEnv env("HOME", home.path());
    Bookmarks bookmarks;
    EXPECT_EQ(bookmarks.lookup('a'), "");
}

}  // namespace
