// The command line of yurn.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "shell/options.h"

namespace {

struct Parsed {
    bool ok;
    Options options;
    std::string error;
    // The arguments, kept alive: values in options point into them.
    std::shared_ptr<std::vector<std::string>> args;
};

Parsed parse(std::vector<std::string> given)
{
    auto args = std::make_shared<std::vector<std::string>>(std::move(given));
    args->insert(args->begin(), "yurn");
    std::vector<char*> argv;
    for (std::string& a : *args)
        argv.push_back(a.data());
    Parsed p;
    p.args = args;
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

TEST(Options, ValuesAfterAnEqualsSignAndTheShortHelp)
{
    Parsed p = parse({"--fps=30000/1001", "--depth=8", "--script=engine", "--data=/tmp/x", "--verbose", "-h"});
    ASSERT_TRUE(p.ok) << p.error;
    EXPECT_EQ(p.options.fps_numerator, 30000);
    EXPECT_EQ(p.options.fps_denominator, 1001);
    EXPECT_EQ(p.options.offered_modes, OFFER_8);
    EXPECT_STREQ(p.options.script, "engine");
    EXPECT_STREQ(p.options.data, "/tmp/x");
    EXPECT_TRUE(p.options.verbose);
    EXPECT_TRUE(p.options.help);
    // An empty value after '=' is a value, and --data needs a folder.
    p = parse({"--data="});
    EXPECT_FALSE(p.ok);
    EXPECT_NE(p.error.find("--data"), std::string::npos) << p.error;
    p = parse({"--data", "otra"});
    ASSERT_TRUE(p.ok);
    EXPECT_STREQ(p.options.data, "otra");
    EXPECT_EQ(parse({}).options.data, nullptr);
}

TEST(Options, FlagsTakeNoValueAndUnknownNamesAreNamedWithoutTheirValue)
{
    Parsed p = parse({"--stats=1"});
    EXPECT_FALSE(p.ok);
    EXPECT_NE(p.error.find("--stats"), std::string::npos) << p.error;
    p = parse({"--colour=red"});
    EXPECT_FALSE(p.ok);
    EXPECT_NE(p.error.find("\"--colour\""), std::string::npos) << p.error;
    // Only a double-dash option splits at '='.
    p = parse({"-x=1"});
    EXPECT_FALSE(p.ok);
    EXPECT_NE(p.error.find("\"-x=1\""), std::string::npos) << p.error;
}

TEST(Options, FrameRatesAreBoundedAndTheBoundsAreNamed)
{
    // One frame a minute and a thousand a second are the limits, inclusive.
    for (const char* ok : {"1/60", "1000", "60000/60", "2/119", "1000000000/1000000"}) {
        const Parsed p = parse({"--fps", ok});
        EXPECT_TRUE(p.ok) << ok << ": " << p.error;
    }
    for (const char* bad : {"1/61", "1/100000000", "1001", "1000000000", "1000001/1000"}) {
        const Parsed p = parse({"--fps", bad});
        EXPECT_FALSE(p.ok) << bad;
        EXPECT_NE(p.error.find(bad), std::string::npos) << p.error;
        EXPECT_NE(p.error.find("1/60"), std::string::npos) << p.error;
        EXPECT_NE(p.error.find("1000"), std::string::npos) << p.error;
    }
}

TEST(Options, HelpNamesEveryExitCodeScriptAndOption)
{
    char* text = nullptr;
    size_t size = 0;
    FILE* out = open_memstream(&text, &size);
    ASSERT_NE(out, nullptr);
    print_usage(out);
    std::fclose(out);
    const std::string help(text, size);
    std::free(text);
    for (const char* code : {"   19  ", "    7  ", "    0  ", "    1  ", "    2  ", "  130  "})
        EXPECT_NE(help.find(std::string("\n") + code), std::string::npos) << "exit code" << code;
    for (const char* name : {"--help, -h", "--version", "--data DIR", "--verbose", "--fps", "de 1/60 a 1000", "show",
                             "engine", "standin"})
        EXPECT_NE(help.find(name), std::string::npos) << name;
}
