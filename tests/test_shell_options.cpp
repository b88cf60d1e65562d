// The command line of yurn.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/platform.h"
#include "shell/options.h"

namespace {

struct Parsed {
    bool ok;
    Options options;
    std::string error;
};

Parsed parse(std::vector<std::string> args)
{
    args.insert(args.begin(), "yurn");
    std::vector<char*> argv;
    for (std::string& a : args)
        argv.push_back(a.data());
    Parsed p;
    char error[256] = "";
    p.ok = parse_options(int(argv.size()), argv.data(), &p.options, error, sizeof error);
    p.error = error;
    return p;
}

}  // namespace

TEST(Options, DefaultsAreTheFullShow)
{
    const Parsed p = parse({});
    ASSERT_TRUE(p.ok);
    EXPECT_FALSE(p.options.headless);
    EXPECT_FALSE(p.options.window);
    EXPECT_EQ(p.options.offered_modes, OFFER_ALL);
    EXPECT_EQ(p.options.fps_numerator, 60);
    EXPECT_EQ(p.options.fps_denominator, 1);
    EXPECT_STREQ(p.options.script, "show");
}

TEST(Options, FrameRatesAndDepths)
{
    Parsed p = parse({"--headless", "--fps", "30000/1001", "--depth", "16:555", "--stats", "--window"});
    ASSERT_TRUE(p.ok) << p.error;
    EXPECT_TRUE(p.options.headless && p.options.stats && p.options.window);
    EXPECT_EQ(p.options.fps_numerator, 30000);
    EXPECT_EQ(p.options.fps_denominator, 1001);
    EXPECT_EQ(p.options.offered_modes, OFFER_16);
    EXPECT_TRUE(p.options.mode_555);
    p = parse({"--fps", "25", "--depth", "8"});
    ASSERT_TRUE(p.ok);
    EXPECT_EQ(p.options.fps_numerator, 25);
    EXPECT_EQ(p.options.offered_modes, OFFER_8);
    EXPECT_FALSE(p.options.mode_555);
}

TEST(Options, BadCommandLinesNameWhatIsWrong)
{
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{"--fps", "0"}, "\"0\""},          {{"--fps", "60/0"}, "\"60/0\""}, {{"--fps", "-5"}, "\"-5\""},
        {{"--fps", "1x"}, "\"1x\""},        {{"--fps"}, "--fps"},            {{"--depth", "15"}, "\"15\""},
        {{"--bogus"}, "\"--bogus\""},       {{"--script", "nada"}, "\"nada\""},
        {{"--fps", "99999999999999999999"}, "99999999999999999999"},
    };
    for (const auto& [args, named] : cases) {
        const Parsed p = parse(args);
        EXPECT_FALSE(p.ok) << args[0];
        EXPECT_NE(p.error.find(named), std::string::npos) << p.error;
    }
}
