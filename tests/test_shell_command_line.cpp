// The command-line reader shared by yurn and the tools.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "shell/command_line.h"

namespace {

// What a reader sees of each argument: the name, the value after '=' ("-"
// for none) and whether it is an option, as one line per argument.
struct Line {
    std::vector<std::string> args;
    std::vector<char*> argv;
    CommandLine line;

    Line(std::vector<std::string> given, bool double_dash_ends)
        : args(std::move(given)), line{.argc = 0, .argv = nullptr, .double_dash_ends_options = double_dash_ends}
    {
        args.insert(args.begin(), "program");
        for (std::string& a : args)
            argv.push_back(a.data());
        line.argc = int(argv.size());
        line.argv = argv.data();
    }

    std::vector<std::string> read_all()
    {
        std::vector<std::string> seen;
        Argument a;
        while (next_argument(line, &a))
            seen.push_back(std::string(a.name) + "|" + (a.value ? a.value : "-") + "|" + (a.is_option ? "o" : "x"));
        return seen;
    }
};

}  // namespace

TEST(CommandLine, SplitsDoubleDashOptionsAtTheFirstEqualsSignOnly)
{
    Line l({"--fps=30", "--data=a=b", "--data=", "-x=1", "-", "file", "--stats"}, true);
    const std::vector<std::string> expected = {"--fps|30|o", "--data|a=b|o", "--data||o", "-x=1|-|o",
                                               "-|-|x",      "file|-|x",     "--stats|-|o"};
    EXPECT_EQ(l.read_all(), expected);
}

TEST(CommandLine, DoubleDashEndsTheOptionsOnlyWhereAProgramTakesOperands)
{
    Line tools({"-a", "--", "--b=1", "--", "-"}, true);
    const std::vector<std::string> operands = {"-a|-|o", "--b=1|-|x", "--|-|x", "-|-|x"};
    EXPECT_EQ(tools.read_all(), operands);
    // yurn has no operands: "--" is an option name like any other.
    Line show({"--", "--=x"}, false);
    const std::vector<std::string> names = {"--|-|o", "--|x|o"};
    EXPECT_EQ(show.read_all(), names);
}

TEST(CommandLine, ValuesComeAfterTheEqualsSignOnceOrFromTheNextArgument)
{
    Line l({"--fit=crop", "--size", "--stats", "--out"}, true);
    Argument a;
    ASSERT_TRUE(next_argument(l.line, &a));
    EXPECT_STREQ(take_value(l.line, a), "crop");
    EXPECT_EQ(a.value, nullptr);  // taken: a second ask reads the next argument
    ASSERT_TRUE(next_argument(l.line, &a));
    EXPECT_EQ(a.name, "--size");
    // The next argument is the value whatever it looks like.
    EXPECT_STREQ(take_value(l.line, a), "--stats");
    ASSERT_TRUE(next_argument(l.line, &a));
    EXPECT_EQ(a.name, "--out");
    EXPECT_EQ(take_value(l.line, a), nullptr);
    EXPECT_FALSE(next_argument(l.line, &a));
    EXPECT_TRUE(is_help("-h") && is_help("--help"));
    EXPECT_FALSE(is_help("-help") || is_help("--h") || is_help("-H"));
}

TEST(CommandLine, NumbersAreDigitsOnlyAndBoundedWithoutWrapping)
{
    uint64_t v = 7;
    EXPECT_TRUE(read_decimal("0", 10, &v) && v == 0);
    EXPECT_TRUE(read_decimal("1000000000", 1000000000, &v) && v == 1000000000);
    EXPECT_TRUE(read_decimal("0012", 12, &v) && v == 12);
    v = 7;
    for (const char* bad : {"", "+1", "-1", " 1", "1 ", "1x", "0x10", "1e3", "1000000001"})
        EXPECT_FALSE(read_decimal(bad, 1000000000, &v)) << bad;
    EXPECT_EQ(v, 7u);  // left alone on failure
    // 2^64 + 1 would wrap to 1 in 64 bits; the largest bound still refuses it.
    EXPECT_TRUE(read_decimal("18446744073709551615", UINT64_MAX, &v) && v == UINT64_MAX);
    EXPECT_FALSE(read_decimal("18446744073709551617", UINT64_MAX, &v));
    EXPECT_FALSE(read_decimal("99999999999999999999999", UINT64_MAX, &v));
    // 4294967296 + 320 would be 320 in 32 bits.
    uint32_t a = 0, b = 0;
    EXPECT_TRUE(read_decimal_pair("320x240", 'x', 65535, &a, &b) && a == 320 && b == 240);
    EXPECT_TRUE(read_decimal_pair("3,1000", ',', 1000, &a, &b) && a == 3 && b == 1000);
    for (const char* bad : {"320", "x240", "320x", "320x240x1", "320X240", "4294967616x240", "-1x2", "1x+2",
                            "1 x2", "65536x1"})
        EXPECT_FALSE(read_decimal_pair(bad, 'x', 65535, &a, &b)) << bad;
}
