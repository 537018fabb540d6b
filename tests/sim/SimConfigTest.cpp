#include "SimConfig.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

CSimArgsResult Parse(std::vector<std::string> args)
{
    return ParseSimArgs(args);
}

TEST(SimConfig, TheSystemCheckRecordFollowsModelPartsAndBoardVersion)
{
    struct Case {
        std::vector<std::string> args;
        std::string record;
    };
    const Case cases[] = {
        {{}, "YYYYYYYYYYYYYYYNNN123"},
        {{"--model", "2"}, "NNNNNNNNNNNNYYYYYY123"},
        {{"--parts", "MAIN,cis-m,CF", "--board-version", "7A9"}, "NNNYYYYYYNNNYYYNNN7A9"},
        {{"--parts", "IR,CDM"}, "YYYNNNNNNNNNNNNYYY123"},
        {{"--model", "2", "--record", "NYYYYYYYYYYYYYYYYYNNN"}, "NYYYYYYYYYYYYYYYYYNNN"},
        {{"machine", "--model=2", "--board-version=7A9", "--"}, "NNNNNNNNNNNNYYYYYY7A9"},
    };
    for (const Case& c : cases) {
        const CSimArgsResult r = Parse(c.args);
        ASSERT_TRUE(r.ok) << r.error;
        EXPECT_EQ(r.config.sysRecord, c.record);
    }
}

TEST(SimConfig, FaultPointsCarryKindAndOccurrence)
{
    const CSimArgsResult r = Parse({"--nak", "boot-down:2", "--bad-size", "up-index",
                                    "--silent-at=data-down:3", "--delay", "data-down=50ms", "--stray",
                                    "erase-step:2=00 fb", "--erase-fail", "CDM", "--program-fail", "3"});
    ASSERT_TRUE(r.ok) << r.error;
    const CSimConfig& c = r.config;
    ASSERT_EQ(c.nakAt.size(), 1u);
    EXPECT_TRUE(c.nakAt[0].Matches("boot-down", 2));
    EXPECT_FALSE(c.nakAt[0].Matches("boot-down", 1));
    ASSERT_EQ(c.badSizeAt.size(), 1u);
    EXPECT_TRUE(c.badSizeAt[0].Matches("up-index", 1));
    EXPECT_TRUE(c.badSizeAt[0].Matches("up-index", 7));
    EXPECT_TRUE(c.silentAt.at(0).Matches("data-down", 3));
    EXPECT_EQ(c.delays.at(0).delay, std::chrono::milliseconds(50));
    EXPECT_EQ(c.strays.at(0).bytes, (std::vector<std::uint8_t>{0x00, 0xFB}));
    EXPECT_TRUE(c.strays.at(0).point.Matches("erase-step", 2));
    EXPECT_EQ(c.eraseFailItems, std::vector<int>{11});
    EXPECT_EQ(c.programFailItems, std::vector<int>{3});
}

TEST(SimConfig, BadCommandLinesAreRefusedWithAMessageNamingTheProblem)
{
    struct Case {
        std::vector<std::string> args;
        std::string inMessage;
    };
    const Case cases[] = {
        {{"--frobnicate"}, "unknown option '--frobnicate'"},
        {{"--model", "3"}, "expected 1 or 2"},
        {{"--record", "YYY"}, "exactly 21 characters"},
        {{"--board-version", "12"}, "exactly 3 characters"},
        {{"--versions", "1.0.01,1.0.02"}, "five"},
        {{"--nak", "sys-check"}, "unknown kind 'sys-check'"},
        {{"--nak", "boot-down:0"}, "N >= 1"},
        {{"--delay", "data-down"}, "KIND[:N]=DURATION"},
        {{"--delay", "data-down=fast"}, "bad duration"},
        {{"--erase-steps", "256"}, "0 to 255"},
        {{"--parts", "MAIN,XY"}, "unknown part 'XY'"},
        {{"--stray", "0G"}, "bad hexadecimal"},
        {{"--step-delay"}, "needs a value"},
        {{"--refuse", "ready"}, "board option"},
        {{"board", "--nak", "boot-down"}, "machine option"},
        {{"board", "--refuse", "probe"}, "unknown kind 'probe'"},
        {{"--verbose", "board"}, "must come first"},
        {{"--link", ""}, "empty path"},
        {{"--link="}, "--link '': an empty path"},
        {{"--model=3"}, "--model '3': expected 1 or 2"},
        {{"--verbose=1"}, "option '--verbose' takes no value"},
        {{"--silen"}, "unknown option '--silen'"},
        {{"--", "--verbose"}, "unexpected argument '--verbose'"},
    };
    for (const Case& c : cases) {
        const CSimArgsResult r = Parse(c.args);
        EXPECT_FALSE(r.ok) << c.inMessage;
        EXPECT_NE(r.error.find(c.inMessage), std::string::npos) << "got: " << r.error;
    }
}

TEST(SimConfig, DurationsTakeUnitsAndABareNumberIsMilliseconds)
{
    struct Case {
        const char* text;
        bool ok;
        SimDuration value;
    };
    const Case cases[] = {{"50ms", true, std::chrono::milliseconds(50)},
                          {"250us", true, SimDuration(250)},
                          {"2s", true, std::chrono::seconds(2)},
                          {"7", true, std::chrono::milliseconds(7)},
                          {"ms", false, {}},
                          {"5min", false, {}},
                          {"-5ms", false, {}}};
    for (const Case& c : cases) {
        SimDuration d{};
        EXPECT_EQ(ParseSimDuration(c.text, d), c.ok) << c.text;
        if (c.ok) {
            EXPECT_EQ(d, c.value) << c.text;
        }
    }
}

TEST(SimConfig, TheSerialTextIsSeparatorSerialSeparatorAndFiveVersions)
{
    const CSimArgsResult r = Parse({"--serial", "AB12", "--separator", "#*", "--versions",
                                    "1.0.01,1.0.02,1.0.03,1.0.04,1.0.05", "--serial-sub", "2"});
    ASSERT_TRUE(r.ok) << r.error;
    const std::string text(r.config.serialText.begin(), r.config.serialText.end());
    EXPECT_EQ(text, "#*AB12#*1.0.011.0.021.0.031.0.041.0.05");
    EXPECT_EQ(r.config.serialSubcommand, 2);
}

} // namespace
