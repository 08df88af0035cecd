#include <gtest/gtest.h>

#include <ostream>

#include <vector>

#include "launcher_fixture.h"
#include "test_constants.h"

namespace {

class OptionsTest : public LauncherTest {
protected:
    // Runs parseArgs over the arguments after argv[0] = "prog"; returns what stderr got.
    std::string parse(std::vector<std::string> arguments, bool expected) {
        arguments.insert(arguments.begin(), "prog");
        std::vector<char*> argv;
        for (auto& argument : arguments) {
            argv.push_back(argument.data());
        }
        argv.push_back(nullptr);
        ::testing::internal::CaptureStderr();
        EXPECT_EQ(launcher().parseArgs(static_cast<int>(arguments.size()), argv.data()), expected);
        return ::testing::internal::GetCapturedStderr();
    }
};

TEST_F(OptionsTest, EveryOptionSetsItsMember) {
    EXPECT_EQ(
        parse({"-bg", "red", "-fg",  "blue",   "-fo",  "F",    "-ff",     "fixed", "-fw", "bold",
               "-fs", "i",   "-fwn", "normal", "-fsn", "sans", "-fpt",    "20",    "-x",  "1",
               "-y",  "2",   "-w",   "3",      "-h",   "4",    "-hotkey", "Mod4+p"},
              true),
        "");
    const Launcher& l = launcher();
    EXPECT_EQ(l.background, "red");
    EXPECT_EQ(l.foreground, "blue");
    EXPECT_EQ(l.fontPattern(), "-F-fixed-bold-i-normal-sans-20-*-*-*-*-*-*-*");
    EXPECT_EQ(std::vector<int>({l.x, l.y, l.width, l.height}), std::vector<int>({1, 2, 3, 4}));
}

// -hotkey is what makes main choose the resident: an empty chord too, which the resident
// then refuses; the launcher itself takes it and ignores it.
TEST(SettingsTest, HotkeyIsKeptEvenWhenEmpty) {
    for (const char* chord : {"Mod4+p", ""}) {
        std::string option = "-hotkey";
        std::string value = chord;
        char* argv[] = {option.data(), option.data(), value.data(), nullptr};
        Settings settings;
        EXPECT_TRUE(parseSettings(3, argv, settings));
        EXPECT_EQ(settings.hotkey, chord);
    }
    Settings none;
    char* bare[] = {nullptr};
    EXPECT_TRUE(parseSettings(0, bare, none));
    EXPECT_FALSE(none.hotkey);
}

TEST_F(OptionsTest, NoArgumentsKeepDefaults) {
    EXPECT_EQ(parse({}, true), "");
    EXPECT_EQ(launcher().foreground, "white");
    EXPECT_EQ(launcher().background, "black");
    EXPECT_EQ(std::vector<int>({launcher().x, launcher().y, launcher().width, launcher().height}),
              std::vector<int>({-1, -1, 640, 25}));
}

struct NumberCase {
    const char* value;
    int stored;
};

std::ostream& operator<<(std::ostream& out, const NumberCase& c) {
    return out << "'" << c.value << "'";
}

class NumberConversionTest : public OptionsTest,
                             public ::testing::WithParamInterface<NumberCase> {};

TEST_P(NumberConversionTest, StoresWhatStoiReadsOrMinusOne) {
    launcher().x = 99;
    EXPECT_EQ(parse({"-x", GetParam().value}, true), "");
    EXPECT_EQ(launcher().x, GetParam().stored);
}

INSTANTIATE_TEST_SUITE_P(
    Values, NumberConversionTest,
    ::testing::Values(NumberCase{"12", 12}, NumberCase{" 7", 7}, NumberCase{"+8", 8},
                      NumberCase{"-5", -5}, NumberCase{"12abc", 12}, NumberCase{"0x10", 0},
                      NumberCase{"abc", -1}, NumberCase{"", -1}, NumberCase{"3000000000", -1},
                      NumberCase{"-3000000000", -1}, NumberCase{"2147483647", 2147483647}));

struct RejectCase {
    const char* name;
    std::vector<std::string> arguments;
};

std::ostream& operator<<(std::ostream& out, const RejectCase& c) { return out << c.name; }

class RejectTest : public OptionsTest, public ::testing::WithParamInterface<RejectCase> {};

TEST_P(RejectTest, WritesExactlyTheUsageLine) {
    EXPECT_EQ(parse(GetParam().arguments, false), std::string("Usage: prog") + usageText);
}

INSTANTIATE_TEST_SUITE_P(Arguments, RejectTest,
                         ::testing::Values(RejectCase{"HeightWithoutValue", {"-h"}},
                                           RejectCase{"UnknownOption", {"-z", "1"}},
                                           RejectCase{"BareWord", {"word"}},
                                           RejectCase{"EmptyArgument", {"", "x"}},
                                           RejectCase{"LoneHyphen", {"-", "x"}},
                                           RejectCase{"PrefixOfName", {"-f", "x"}},
                                           RejectCase{"LongerThanName", {"-bgx", "x"}},
                                           RejectCase{"WrongCase", {"-BG", "x"}},
                                           RejectCase{"MissingSecondValue", {"-bg", "red", "-fg"}}),
                         [](const auto& test) { return test.param.name; });

TEST_F(OptionsTest, ValuesAreNeverTakenAsOptions) {
    EXPECT_EQ(parse({"-bg", "-fg"}, true), "");
    EXPECT_EQ(launcher().background, "-fg");
    EXPECT_EQ(launcher().foreground, "white");
    EXPECT_EQ(parse({"-fg", ""}, true), "");
    EXPECT_EQ(launcher().foreground, "");
}

TEST_F(OptionsTest, LaterOccurrenceWinsAndEarlierValuesStayOnFailure) {
    EXPECT_EQ(parse({"-x", "10", "-x", "20"}, true), "");
    EXPECT_EQ(launcher().x, 20);
    parse({"-bg", "red", "-fg"}, false);
    EXPECT_EQ(launcher().background, "red");
}

TEST_F(OptionsTest, EmptyArgumentVectorIsAcceptedWithoutReadingArgvZero) {
    char* argv[] = {nullptr};
    ::testing::internal::CaptureStderr();
    EXPECT_TRUE(launcher().parseArgs(0, argv));
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
}

}  // namespace
