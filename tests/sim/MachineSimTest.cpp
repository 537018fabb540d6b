#include "SimTestSupport.h"
#include "protocol/Frame.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

namespace {

const std::vector<std::string> kFast = {
    "machine", "--step-delay", "1ms", "--erase-steps", "3", "--program-steps", "4", "--verify-steps", "2"};

std::vector<std::string> With(std::vector<std::string> extra)
{
    std::vector<std::string> args = kFast;
    args.insert(args.end(), extra.begin(), extra.end());
    return args;
}

// Sends a request and expects one acknowledgement frame with result 01.
::testing::AssertionResult Exchange(CSlave& slave, std::uint8_t cmd, std::uint8_t sub, const Bytes& payload,
                                    std::uint8_t ackSub)
{
    if (!slave.SendFrame(cmd, sub, payload))
        return ::testing::AssertionFailure() << "write failed";
    const auto ack = slave.ReadFrame();
    if (!ack)
        return ::testing::AssertionFailure() << "no answer to " << int(cmd) << "/" << int(sub);
    if (ack->command != cmd || ack->subcommand != ackSub || ack->payload != Bytes{0x01} || !ack->checksumOk)
        return ::testing::AssertionFailure() << "unexpected answer " << int(ack->command) << "/"
                                             << int(ack->subcommand) << " payload " << HexText(ack->payload);
    return ::testing::AssertionSuccess();
}

// The tool's side of one download: chunks of up to 8192 bytes, an empty
// image as one empty chunk, then the end request.
void Download(CSlave& slave, const Bytes& image, std::uint8_t downSub, std::uint8_t endSub)
{
    std::size_t sent = 0;
    do {
        const std::size_t n = std::min<std::size_t>(8192, image.size() - sent);
        ASSERT_TRUE(Exchange(slave, CMD_UPGRADE, downSub,
                             Bytes(image.begin() + static_cast<std::ptrdiff_t>(sent),
                                   image.begin() + static_cast<std::ptrdiff_t>(sent + n)),
                             downSub + 1));
        sent += n;
    } while (sent < image.size());
    ASSERT_TRUE(Exchange(slave, CMD_UPGRADE, endSub, {0x01}, endSub + 1));
}

struct CNotice {
    int command;
    int subcommand;
    Bytes payload;
    bool operator==(const CNotice&) const = default;
};

std::ostream& operator<<(std::ostream& os, const CNotice& n)
{
    return os << std::hex << n.command << "/" << n.subcommand << " [" << HexText(n.payload) << "]";
}

// Notices until the line stays quiet for 150 ms.
std::vector<CNotice> ReadNotices(CSlave& slave)
{
    std::vector<CNotice> out;
    while (auto f = slave.ReadFrame(150ms)) {
        EXPECT_TRUE(f->checksumOk);
        out.push_back({f->command, f->subcommand, f->payload});
    }
    return out;
}

std::vector<CNotice> ExpectedWork(int eraseSteps, int programSteps, int verifySteps)
{
    std::vector<CNotice> w;
    w.push_back({0x0C, 0x01, {static_cast<std::uint8_t>(eraseSteps)}});
    for (int i = 1; i <= eraseSteps; ++i)
        w.push_back({0x0C, 0x02, {static_cast<std::uint8_t>(i)}});
    w.push_back({0x0C, 0x03, {0x01}});
    w.push_back({0x0D,
                 0x01,
                 {static_cast<std::uint8_t>(programSteps >> 8), static_cast<std::uint8_t>(programSteps)}});
    for (int i = 1; i <= programSteps; ++i)
        w.push_back({0x0D, 0x02, {static_cast<std::uint8_t>(i >> 8), static_cast<std::uint8_t>(i)}});
    w.push_back({0x0D, 0x03, {0x01}});
    if (verifySteps >= 0) {
        w.push_back({0x0F,
                     0x01,
                     {static_cast<std::uint8_t>(verifySteps >> 8), static_cast<std::uint8_t>(verifySteps)}});
        for (int i = 1; i <= verifySteps; ++i)
            w.push_back({0x0F, 0x02, {static_cast<std::uint8_t>(i)}});
        w.push_back({0x0F, 0x03, {0x01}});
    }
    return w;
}

TEST(MachineSim, TheBoardCheckIsAnsweredWithOneByte)
{
    CSimFixture f(kFast);
    ASSERT_TRUE(f.Slave().SendFrame(CMD_BOARD_CHECK, 0x01, {0x01}));
    const auto ack = f.Slave().ReadFrame();
    ASSERT_TRUE(ack);
    EXPECT_EQ(ack->command, 0x1E);
    EXPECT_EQ(ack->subcommand, 0x02);
    EXPECT_EQ(ack->payload.size(), 1u);
    EXPECT_TRUE(ack->checksumOk);
    EXPECT_TRUE(ack->before.empty());
}

TEST(MachineSim, SysCheckAnswersTheRecordAndThenTheSerialFrame)
{
    CSimFixture f(With({"--model", "2", "--board-version", "4B7", "--serial", "AB12", "--separator", "##",
                        "--versions", "1.0.01,1.0.02,1.0.03,1.0.04,1.0.05", "--serial-sub", "2"}));
    ASSERT_TRUE(f.Slave().SendFrame(CMD_SYS_CHECK, 0x01, {0x02}));
    const auto record = f.Slave().ReadFrame();
    ASSERT_TRUE(record);
    EXPECT_EQ(record->command, 0x0A);
    EXPECT_EQ(record->subcommand, 0x02);
    EXPECT_EQ(std::string(record->payload.begin(), record->payload.end()), "NNNNNNNNNNNNYYYYYY4B7");
    const auto serial = f.Slave().ReadFrame();
    ASSERT_TRUE(serial);
    EXPECT_EQ(serial->command, 0x32);
    EXPECT_EQ(serial->subcommand, 0x02);
    EXPECT_EQ(std::string(serial->payload.begin(), serial->payload.end()),
              "##AB12##1.0.011.0.021.0.031.0.041.0.05");
    EXPECT_EQ(ReadFileLines(f.RecordPath("frames.log")), std::vector<std::string>{"0A 01 1"});
}

TEST(MachineSim, TheSerialFrameGoesWhereConfigured)
{
    struct Case {
        const char* when;
        std::vector<int> orderAfterBoardCheck; // commands seen after the board check
        std::vector<int> orderAfterSysCheck;
    };
    const Case cases[] = {{"sys-check", {0x1E}, {0x0A, 0x32}},
                          {"before-sys-check", {0x1E}, {0x32, 0x0A}},
                          {"board-check", {0x1E, 0x32}, {0x0A}},
                          {"never", {0x1E}, {0x0A}}};
    for (const Case& c : cases) {
        CSimFixture f(With({"--serial-when", c.when}));
        std::vector<int> seen;
        ASSERT_TRUE(f.Slave().SendFrame(CMD_BOARD_CHECK, 0x01, {0x01}));
        while (auto fr = f.Slave().ReadFrame(100ms))
            seen.push_back(fr->command);
        EXPECT_EQ(seen, c.orderAfterBoardCheck) << c.when;
        seen.clear();
        ASSERT_TRUE(f.Slave().SendFrame(CMD_SYS_CHECK, 0x01, {0x01}));
        while (auto fr = f.Slave().ReadFrame(100ms))
            seen.push_back(fr->command);
        EXPECT_EQ(seen, c.orderAfterSysCheck) << c.when;
    }
}

struct CItemCase {
    int item;
    std::size_t bootSize;
    std::size_t dataSize;
};

void PrintTo(const CItemCase& c, std::ostream* os)
{
    *os << "item " << c.item << ", boot " << c.bootSize << " bytes, data " << c.dataSize << " bytes";
}

class MachineItem : public ::testing::TestWithParam<CItemCase> {};

TEST_P(MachineItem, AWholeItemIsRecordedByteForByteAndFollowedByTheTargetsWork)
{
    const CItemCase c = GetParam();
    CSimFixture f(kFast);
    CSlave& s = f.Slave();
    const Bytes boot = Pattern(c.bootSize, 1);
    const Bytes data = Pattern(c.dataSize, 2);
    ASSERT_TRUE(Exchange(s, CMD_UPGRADE, 0x01, {static_cast<std::uint8_t>(c.item)}, 0x02));
    Download(s, boot, SUB_BOOT_DOWN, SUB_BOOT_END);
    Download(s, data, SUB_DATA_DOWN, SUB_DATA_END);
    EXPECT_EQ(ReadNotices(s), ExpectedWork(3, 4, c.item == ITEM_CDM ? 2 : -1));
    ASSERT_TRUE(Exchange(s, CMD_FINISH, 0x01, {0x01}, 0x02));

    const std::string item = std::to_string(c.item);
    EXPECT_SAME_BYTES(boot, ReadFileBytes(f.RecordPath(item + "-boot.bin")));
    EXPECT_SAME_BYTES(data, ReadFileBytes(f.RecordPath(item + "-data.bin")));

    std::vector<std::string> expected;
    char line[32];
    std::snprintf(line, sizeof line, "0B 01 1");
    expected.push_back(line);
    const auto chunks = [&](std::size_t size, const char* sub) {
        std::size_t left = size;
        do {
            const std::size_t n = std::min<std::size_t>(8192, left);
            expected.push_back(std::string("0B ") + sub + " " + std::to_string(n));
            left -= n;
        } while (left > 0);
    };
    chunks(c.bootSize, "0B");
    expected.push_back("0B 0D 1");
    chunks(c.dataSize, "15");
    expected.push_back("0B 17 1");
    expected.push_back("0E 01 1");
    EXPECT_EQ(ReadFileLines(f.RecordPath("frames.log")), expected);
    EXPECT_FALSE(std::filesystem::exists(f.RecordPath("errors.log")));
}

INSTANTIATE_TEST_SUITE_P(Sizes, MachineItem,
                         ::testing::Values(CItemCase{ITEM_MAIN, 8192, 8193},
                                           CItemCase{ITEM_CIS_M, 8193, 8192}, CItemCase{ITEM_IR, 0, 8192 * 3},
                                           CItemCase{ITEM_CF, 1, 0}, CItemCase{ITEM_CDM, 8193, 100},
                                           CItemCase{ITEM_MAIN_V2, 300, 16385}));

TEST(MachineSim, TwoItemsInOneSessionAreRecordedApart)
{
    CSimFixture f(kFast);
    CSlave& s = f.Slave();
    for (int item : {ITEM_MAIN, ITEM_CDM}) {
        ASSERT_TRUE(Exchange(s, CMD_UPGRADE, 0x01, {static_cast<std::uint8_t>(item)}, 0x02));
        Download(s, Pattern(500 + item, item), SUB_BOOT_DOWN, SUB_BOOT_END);
        Download(s, Pattern(9000 + item, item + 1), SUB_DATA_DOWN, SUB_DATA_END);
        ReadNotices(s);
    }
    for (int item : {ITEM_MAIN, ITEM_CDM}) {
        const std::string code = std::to_string(item);
        EXPECT_SAME_BYTES(Pattern(500 + item, item), ReadFileBytes(f.RecordPath(code + "-boot.bin")));
        EXPECT_SAME_BYTES(Pattern(9000 + item, item + 1), ReadFileBytes(f.RecordPath(code + "-data.bin")));
    }
}

// Answers of one request kind under a fault option.
TEST(MachineSim, FaultOptionsChangeExactlyTheChosenAnswer)
{
    struct Case {
        std::vector<std::string> fault;
        int occurrence; // which Boot Down (1-based) is affected
        Bytes payload;  // payload of the affected answer
        bool checksumOk;
        Bytes before; // stray bytes before it
    };
    const Case cases[] = {
        {{"--nak", "boot-down:2"}, 2, {0x00}, true, {}},
        {{"--bad-size", "boot-down:3"}, 3, {0x01, 0x00}, true, {}},
        {{"--corrupt", "boot-down:1"}, 1, {0x01}, false, {}},
        {{"--stray", "boot-down:2=00 FB 13"}, 2, {0x01}, true, {0x00, 0xFB, 0x13}},
    };
    for (const Case& c : cases) {
        CSimFixture f(With(c.fault));
        for (int i = 1; i <= 3; ++i) {
            ASSERT_TRUE(f.Slave().SendFrame(CMD_UPGRADE, SUB_BOOT_DOWN, Pattern(10, i)));
            const auto ack = f.Slave().ReadFrame();
            ASSERT_TRUE(ack) << c.fault[0];
            EXPECT_EQ(ack->subcommand, SUB_BOOT_DOWN_ACK);
            const bool hit = i == c.occurrence;
            EXPECT_EQ(ack->payload, hit ? c.payload : Bytes{0x01}) << c.fault[0] << " #" << i;
            EXPECT_EQ(ack->checksumOk, hit ? c.checksumOk : true) << c.fault[0] << " #" << i;
            EXPECT_EQ(ack->before, hit ? c.before : Bytes{}) << c.fault[0] << " #" << i;
        }
    }
}

TEST(MachineSim, AStrayRuleWithoutKindPrecedesEveryAnswer)
{
    CSimFixture f(With({"--stray", "AA55"}));
    for (int i = 0; i < 2; ++i) {
        ASSERT_TRUE(f.Slave().SendFrame(CMD_BOARD_CHECK, 0x01, {0x01}));
        const auto ack = f.Slave().ReadFrame();
        ASSERT_TRUE(ack);
        EXPECT_EQ(ack->before, (Bytes{0xAA, 0x55}));
    }
}

TEST(MachineSim, ABadSizeSerialFrameIsEmptyAndABadSizeRecordIsOneLonger)
{
    CSimFixture f(With({"--bad-size", "serial", "--bad-size", "sys-check"}));
    ASSERT_TRUE(f.Slave().SendFrame(CMD_SYS_CHECK, 0x01, {0x01}));
    const auto record = f.Slave().ReadFrame();
    const auto serial = f.Slave().ReadFrame();
    ASSERT_TRUE(record && serial);
    EXPECT_EQ(record->payload.size(), 22u);
    EXPECT_EQ(serial->command, 0x32);
    EXPECT_TRUE(serial->payload.empty());
}

TEST(MachineSim, ASilentTargetAnswersNothing)
{
    CSimFixture f(With({"--silent"}));
    ASSERT_TRUE(f.Slave().SendFrame(CMD_BOARD_CHECK, 0x01, {0x01}));
    ASSERT_TRUE(f.Slave().SendFrame(CMD_SYS_CHECK, 0x01, {0x01}));
    EXPECT_TRUE(f.Slave().ReadQuiet(200ms).empty());
    // It still listens: the requests are logged.
    EXPECT_EQ(ReadFileLines(f.RecordPath("frames.log")).size(), 2u);
}

TEST(MachineSim, SilenceFromTheThirdDataDownOnCoversEveryLaterRequest)
{
    CSimFixture f(With({"--silent-at", "data-down:3"}));
    for (int i = 1; i <= 2; ++i)
        ASSERT_TRUE(Exchange(f.Slave(), CMD_UPGRADE, SUB_DATA_DOWN, Pattern(8192, i), SUB_DATA_DOWN_ACK));
    ASSERT_TRUE(f.Slave().SendFrame(CMD_UPGRADE, SUB_DATA_DOWN, Pattern(5, 3)));
    EXPECT_FALSE(f.Slave().ReadFrame(200ms));
    ASSERT_TRUE(f.Slave().SendFrame(CMD_UPGRADE, SUB_DATA_END, {0x01}));
    EXPECT_TRUE(f.Slave().ReadQuiet(200ms).empty());
}

TEST(MachineSim, AnUnplugLeavesTheNthFrameUnansweredAndTheSlaveHungUp)
{
    CSimFixture f(With({"--unplug-after", "3"}));
    ASSERT_TRUE(Exchange(f.Slave(), CMD_BOARD_CHECK, 0x01, {0x01}, 0x02));
    ASSERT_TRUE(Exchange(f.Slave(), CMD_UPGRADE, 0x01, {0x05}, 0x02));
    ASSERT_TRUE(f.Slave().SendFrame(CMD_UPGRADE, SUB_BOOT_DOWN, Pattern(100, 1)));
    EXPECT_TRUE(f.Slave().WaitHangup(2000ms));
    EXPECT_TRUE(f.Sim().WaitEnded(2000ms));
    EXPECT_TRUE(f.Sim().Unplugged());
    EXPECT_FALSE(std::filesystem::exists(f.Sim().SlavePath()));
    // The frame that triggered it was still recorded.
    EXPECT_SAME_BYTES(Pattern(100, 1), ReadFileBytes(f.RecordPath("5-boot.bin")));
}

TEST(MachineSim, EraseFailAndProgramFailReplaceTheirPhaseEndsForTheChosenItem)
{
    struct Case {
        const char* option;
        std::vector<CNotice> expected;
    };
    std::vector<CNotice> eraseFail = {
        {0x0C, 0x01, {3}}, {0x0C, 0x02, {1}}, {0x0C, 0x02, {2}}, {0x0C, 0x02, {3}}, {0x0C, 0x04, {1}}};
    std::vector<CNotice> programFail = ExpectedWork(3, 4, -1);
    programFail.back() = {0x0D, 0x04, {0x01}};
    const Case cases[] = {{"--erase-fail", eraseFail}, {"--program-fail", programFail}};
    for (const Case& c : cases) {
        CSimFixture f(With({c.option, "CF"}));
        for (int item : {ITEM_CF, ITEM_IR}) {
            ASSERT_TRUE(Exchange(f.Slave(), CMD_UPGRADE, 0x01, {static_cast<std::uint8_t>(item)}, 0x02));
            Download(f.Slave(), Pattern(10, 1), SUB_BOOT_DOWN, SUB_BOOT_END);
            Download(f.Slave(), Pattern(10, 2), SUB_DATA_DOWN, SUB_DATA_END);
            EXPECT_EQ(ReadNotices(f.Slave()), item == ITEM_CF ? c.expected : ExpectedWork(3, 4, -1))
                << c.option;
        }
    }
}

TEST(MachineSim, ANakOnAPhaseEndCarriesResultZero)
{
    CSimFixture f(With({"--nak", "erase-end"}));
    ASSERT_TRUE(Exchange(f.Slave(), CMD_UPGRADE, SUB_DATA_END, {0x01}, SUB_DATA_END_ACK));
    std::vector<CNotice> expected = ExpectedWork(3, 4, -1);
    expected[4].payload = {0x00};
    EXPECT_EQ(ReadNotices(f.Slave()), expected);
}

TEST(MachineSim, ADelayHoldsBackOnlyTheChosenAnswer)
{
    CSimFixture f(With({"--delay", "data-down=60ms"}));
    const auto timed = [&](std::uint8_t sub, std::uint8_t ackSub) {
        const auto t0 = std::chrono::steady_clock::now();
        EXPECT_TRUE(Exchange(f.Slave(), CMD_UPGRADE, sub, {0x01}, ackSub));
        return std::chrono::steady_clock::now() - t0;
    };
    EXPECT_GE(timed(SUB_DATA_DOWN, SUB_DATA_DOWN_ACK), 60ms);
    EXPECT_LT(timed(SUB_BOOT_DOWN, SUB_BOOT_DOWN_ACK), 50ms);
}

TEST(MachineSim, ADelayedNoticeKeepsTheOrderOfTheNoticesAfterIt)
{
    CSimFixture f(With({"--delay", "erase-end=40ms"}));
    ASSERT_TRUE(Exchange(f.Slave(), CMD_UPGRADE, SUB_DATA_END, {0x01}, SUB_DATA_END_ACK));
    EXPECT_EQ(ReadNotices(f.Slave()), ExpectedWork(3, 4, -1));
}

TEST(MachineSim, AnswersComePromptly)
{
    CSimFixture f(kFast);
    std::vector<double> us;
    for (int i = 0; i < 50; ++i) {
        const auto t0 = std::chrono::steady_clock::now();
        ASSERT_TRUE(Exchange(f.Slave(), CMD_BOARD_CHECK, 0x01, {0x01}, 0x02));
        us.push_back(
            std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - t0).count());
    }
    std::sort(us.begin(), us.end());
    RecordProperty("median_round_trip_us", std::to_string(us[us.size() / 2]));
    // Far below a millisecond on an idle machine; generous for a loaded one.
    EXPECT_LT(us[us.size() / 2], 5000.0);
}

TEST(MachineSim, UnknownAndDamagedFramesAreLoggedAsErrors)
{
    CSimFixture f(kFast);
    ASSERT_TRUE(f.Slave().SendFrame(0x44, 0x01, {0x01}));
    Bytes bad = BuildFrame(CMD_BOARD_CHECK, 0x01, Bytes{0x01}.data(), 1);
    bad.back() ^= 0x20;
    ASSERT_TRUE(f.Slave().WriteAll(bad));
    EXPECT_TRUE(f.Slave().ReadQuiet(150ms).empty());
    const auto errors = ReadFileLines(f.RecordPath("errors.log"));
    ASSERT_GE(errors.size(), 2u);
    EXPECT_NE(errors[0].find("unexpected frame 44 01 1"), std::string::npos) << errors[0];
    EXPECT_NE(errors[1].find("checksum mismatch"), std::string::npos) << errors[1];
}

} // namespace
