// Board upgrades end to end: Connect in the window, the virtual upgrade board
// on a pty answering as the bootloader, and the board's own recordings
// compared with the package's files.
#include "BoardRig.h"
#include "UpgradeDlgTestAccess.h"

#include "TestPaths.h"
#include "link/CommPort.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>

namespace {

using Clock = std::chrono::steady_clock;

double Ms(Clock::duration d)
{
    return std::chrono::duration<double, std::milli>(d).count();
}

// A small boot image, a body of two blocks with a '#' and an 'A' inside, the
// end mark and a three-byte finish record.
Bytes SmallBody()
{
    return Concat(
        {BodyPattern(700, 21), Text("#A#"), BodyPattern(600, 22), Text("##"), Bytes{0xF1, 0x00, 0x23}});
}

void ExpectReadyAgain(CBoardRig& rig)
{
    EXPECT_EQ(g_ComPort.IsConnected(), 0);
    EXPECT_EQ(State(*rig.dlg).m_bConnected, 0);
    EXPECT_EQ(rig.host.GetText(IDC_BUTTON_CONNECT), "Connect");
    EXPECT_TRUE(rig.host.IsControlEnabled(IDC_BUTTON_CONNECT));
    EXPECT_EQ(State(*rig.dlg).m_nResultType, RESULT_TYPE_BOARD);
    EXPECT_EQ(State(*rig.dlg).m_strPartFile[1], rig.bodyPath);
}

// Everything a finished upgrade leaves behind, on the board and in the window.
void ExpectCompleteUpgrade(CBoardRig& rig, bool firstSession = true)
{
    EXPECT_EQ(rig.CountMessage("Upgrade Complete."), 1);
    // The board notes the speed of its first boot byte only once per run of
    // the board; a later session shows the probe and READY.
    const auto bauds = ReadFileLines(rig.Record("board-baud.log"));
    const std::vector<std::string> first = {"probe 38300", "boot 38300", "ready 115200"};
    const std::vector<std::string> later = {"probe 38300", "ready 115200"};
    if (firstSession) {
        EXPECT_EQ(bauds, first);
    } else {
        ASSERT_GE(bauds.size(), later.size());
        EXPECT_EQ(std::vector<std::string>(bauds.end() - 2, bauds.end()), later);
    }
    EXPECT_EQ(FirstDifference(rig.boot, ReadFileBytes(rig.Record("board-boot.bin"))), "") << "boot image";
    EXPECT_EQ(FirstDifference(BodyOnTheWire(rig.body), ReadFileBytes(rig.Record("board-body.bin"))), "")
        << "body";
    EXPECT_EQ(FirstDifference(FinishRecordOf(rig.body), ReadFileBytes(rig.Record("board-finish.bin"))), "")
        << "finish record";

    std::vector<std::string> log = {"PROBE", "BOOT " + std::to_string(rig.boot.size()), "READY"};
    for (char letter = 'A'; letter <= 'J'; ++letter)
        log.push_back(std::string("ERASE ") + letter);
    log.push_back("START");
    const std::size_t blocks = BodyOnTheWire(rig.body).size() / 1024;
    for (std::size_t b = 1; b <= blocks; ++b)
        log.push_back("BLOCK " + std::to_string(b));
    log.push_back("END");
    log.push_back("FINISH " + std::to_string(FinishRecordOf(rig.body).size()));
    const auto lines = ReadFileLines(rig.Record("board.log"));
    ASSERT_GE(lines.size(), log.size());
    EXPECT_EQ(std::vector<std::string>(lines.end() - static_cast<std::ptrdiff_t>(log.size()), lines.end()),
              log);
    EXPECT_TRUE(ReadFileLines(rig.Record("errors.log")).empty())
        << "the board saw a protocol fault: "
        << ::testing::PrintToString(ReadFileLines(rig.Record("errors.log")));

    // The Erase row climbed in tens from 20 %.
    const std::vector<std::string> climb = {"20 %", "30 %", "40 %", "50 %", "60 %",
                                            "70 %", "80 %", "90 %", "100 %"};
    const auto& erase = rig.host.Seen(IDC_STATIC_ERASE_PERCENT);
    EXPECT_NE(std::search(erase.begin(), erase.end(), climb.begin(), climb.end()), erase.end())
        << ::testing::PrintToString(erase);
    for (int id : {IDC_STATIC_BOOT_PERCENT, IDC_STATIC_DATA_PERCENT}) {
        const auto& seen = rig.host.Seen(id);
        EXPECT_NE(std::find(seen.begin(), seen.end(), "100 %"), seen.end()) << id;
    }

    // The window is back where it started, the port closed.
    EXPECT_EQ(g_ComPort.IsConnected(), 0);
    EXPECT_EQ(State(*rig.dlg).m_bConnected, 0);
    EXPECT_EQ(BoardState(*rig.dlg).m_nBootStep, DEF_STEP_NONE);
    EXPECT_EQ(State(*rig.dlg).m_nResultType, 0);
    EXPECT_TRUE(State(*rig.dlg).m_strPartFile[1].empty());
    EXPECT_EQ(rig.host.GetText(IDC_BUTTON_CONNECT), "Connect");
    EXPECT_FALSE(rig.host.IsControlEnabled(IDC_BUTTON_CONNECT));
    EXPECT_FALSE(BoardState(*rig.dlg).m_fileDownload.IsOpen());
}

TEST(BoardScenario, AConnectAt38300UpgradesTheBoardAndResetsTheWindow)
{
    CBoardRig rig({}, BodyPattern(9, 20, true), SmallBody());
    rig.LoadPackage();
    const auto start = Clock::now();
    rig.Connect("38300");
    ASSERT_EQ(g_ComPort.IsConnected(), 1) << g_ComPort.LastErrorText();
    ASSERT_TRUE(rig.WaitForMessage("Upgrade Complete.", 15s))
        << ::testing::PrintToString(rig.host.MessageTexts());
    // 500 ms + boot bytes + 2.1 s port cycle + 2 x 500 ms after the blocks + 200 ms + 200 ms.
    EXPECT_GE(Ms(Clock::now() - start), 4000.0);
    EXPECT_EQ(rig.host.MessageTexts(), std::vector<std::string>{"Upgrade Complete."});
    ExpectCompleteUpgrade(rig);
}

TEST(BoardScenario, WithoutTheBoardsAnswerAConnectReportsBootModeFailedAfterASecond)
{
    CBoardRig rig({"--silent-at", "probe"}, BodyPattern(5, 23), SmallBody());
    rig.LoadPackage();
    const auto start = Clock::now();
    rig.Connect();
    ASSERT_TRUE(rig.WaitForMessage("Check boot mode failed.", 3s));
    EXPECT_GE(Ms(Clock::now() - start), 1000.0);
    EXPECT_EQ(g_ComPort.IsConnected(), 0);
    EXPECT_EQ(rig.host.GetText(IDC_BUTTON_CONNECT), "Connect");
    rig.host.RunFor(600ms);
    EXPECT_TRUE(ReadFileBytes(rig.Record("board-boot.bin")).empty());
    EXPECT_EQ(rig.host.MessageTexts(), std::vector<std::string>{"Check boot mode failed."});
}

TEST(BoardScenario, AnUnansweredBootByteReportsTheBootErrorAndForgetsThePackage)
{
    CBoardRig rig({"--silent-at", "boot:3"}, BodyPattern(8, 24), SmallBody());
    rig.LoadPackage();
    rig.Connect();
    ASSERT_TRUE(rig.WaitForMessage("Download boot error occurred", 4s));
    EXPECT_EQ(ReadFileBytes(rig.Record("board-boot.bin")).size(), 3u);
    EXPECT_EQ(g_ComPort.IsConnected(), 0);
    EXPECT_EQ(rig.host.GetText(IDC_BUTTON_CONNECT), "Connect");
    EXPECT_FALSE(rig.host.IsControlEnabled(IDC_BUTTON_CONNECT));
    EXPECT_EQ(State(*rig.dlg).m_nResultType, 0);
    EXPECT_TRUE(State(*rig.dlg).m_strPartFile[0].empty());
    EXPECT_FALSE(BoardState(*rig.dlg).m_fileDownload.IsOpen());
    EXPECT_EQ(rig.host.MessageTexts(), std::vector<std::string>{"Download boot error occurred"});
}

struct RefusalCase {
    const char* name;
    std::vector<std::string> simArgs;
    const char* message; // the one message of the exchange
    std::string trace;   // "" for none
    std::size_t warnings = 0;
    friend void PrintTo(const RefusalCase& c, std::ostream* os) { *os << c.name; }
};

class BoardRefusalTest : public ::testing::TestWithParam<RefusalCase> {};

TEST_P(BoardRefusalTest, AFaultNeverEndsInUpgradeCompleteAndLeavesConnectOffered)
{
    const RefusalCase& c = GetParam();
    CBoardRig rig(c.simArgs, BodyPattern(4, 25), SmallBody());
    rig.LoadPackage();
    rig.Connect();
    ASSERT_TRUE(rig.WaitForMessage(c.message, 12s)) << ::testing::PrintToString(rig.host.MessageTexts());
    EXPECT_EQ(rig.host.Warnings().size(), c.warnings) << ::testing::PrintToString(rig.host.Warnings());
    if (std::string(c.message) == "Upgrade Complete.") {
        // A harmless oddity of the board: the upgrade is whole.
        EXPECT_TRUE(c.trace.empty() || rig.host.HasTrace(c.trace)) << c.trace;
        ExpectCompleteUpgrade(rig);
        return;
    }
    // Whatever is still under way must not turn the failure into a success.
    rig.host.RunFor(1200ms);
    EXPECT_EQ(rig.host.MessageTexts(), std::vector<std::string>{c.message});
    if (c.trace[0] != '\0') {
        EXPECT_TRUE(rig.host.HasTrace(c.trace));
    }
    ExpectReadyAgain(rig);
    EXPECT_FALSE(rig.host.IsTimerRunning(IDT_BOARD_STALL));
}

constexpr const char* kFailed = "Board upgrade failed.";
constexpr const char* kSilent = "The upgrade board stopped responding.";

RefusalCase ReadyAnswered(const char* name, const std::string& b)
{
    return {name, {"--replace", "ready=" + b}, "Upgrade Complete.", "==> READY answered " + b + "\r\n", 1};
}

INSTANTIATE_TEST_SUITE_P(
    Refusals, BoardRefusalTest,
    ::testing::Values(
        RefusalCase{"EraseC", {"--refuse", "erase:3"}, kFailed, "==> Not ERASE\r\n"},
        RefusalCase{"Start", {"--refuse", "start"}, kFailed, "==> STEP_START - NAK\r\n"},
        RefusalCase{"Block", {"--refuse", "block:2"}, kFailed, "==> STEP_SENDHEX - NAK\r\n"},
        RefusalCase{"End", {"--refuse", "end"}, kFailed, "==> STEP_ENDHEX = NAK\r\n"},
        RefusalCase{"Finish", {"--refuse", "finish"}, kFailed, "==> DEF_STEP_FINISH - NAK\r\n"},
        // Any answer to READY moves on, said once; the steps after it judge the board.
        ReadyAnswered("ZerosForReady", "00 00 00 00 00 00"),
        ReadyAnswered("RefusalForReady", "01 00 01 15 04 11"),
        ReadyAnswered("MalformedReady", "01 00 02 06 06 04"),
        RefusalCase{"NotReadyRefusesEraseA", {"--refuse", "ready"}, kFailed, "==> Not ERASE\r\n", 1},
        RefusalCase{"SilentAtErase", {"--silent-at", "erase:3"}, kSilent, ""},
        RefusalCase{"ShortBlockAnswer", {"--replace", "block:1=01 00 01 06"}, kSilent, ""},
        RefusalCase{
            "VanishAtStart", {"--unplug-at", "start"}, "The connection to the upgrade board was lost.", ""},
        // An extra byte after the last boot byte's answer starts no second port cycle.
        RefusalCase{"ExtraByteBeforeReady", {"--dup", "boot:4"}, "Upgrade Complete.", ""}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(BoardScenario, DisConnectRightAfterConnectLeavesNoBootModeTimerBehind)
{
    CBoardRig rig({"--silent-at", "probe"}, BodyPattern(5, 23), SmallBody());
    rig.LoadPackage();
    rig.Connect();
    ASSERT_EQ(g_ComPort.IsConnected(), 1) << g_ComPort.LastErrorText();
    rig.host.RunFor(200ms);
    rig.host.Click(IDC_BUTTON_CONNECT);
    EXPECT_EQ(g_ComPort.IsConnected(), 0);
    rig.host.RunFor(1500ms);
    EXPECT_TRUE(rig.host.MessageTexts().empty()) << ::testing::PrintToString(rig.host.MessageTexts());
}

TEST(BoardScenario, AfterARefusedEraseConnectAgainCompletesTheUpgrade)
{
    CBoardRig rig({"--refuse", "erase:4"}, BodyPattern(6, 26), SmallBody());
    rig.LoadPackage();
    rig.Connect();
    ASSERT_TRUE(rig.WaitForMessage("Board upgrade failed.", 8s));
    ASSERT_TRUE(rig.host.IsControlEnabled(IDC_BUTTON_CONNECT));
    rig.host.ClearMessages();

    rig.Connect();
    ASSERT_EQ(g_ComPort.IsConnected(), 1) << g_ComPort.LastErrorText();
    ASSERT_TRUE(rig.WaitForMessage("Upgrade Complete.", 15s))
        << ::testing::PrintToString(rig.host.MessageTexts());
    ExpectCompleteUpgrade(rig, false);
}

} // namespace

namespace {

// Runs velunda-pack with the words given; its exit status.
int Pack(const std::vector<std::string>& words)
{
    std::string command = TestPath("VELUNDA_PACK");
    for (const auto& w : words)
        command += " '" + w + "'";
    command += " >/dev/null 2>&1";
    return std::system(command.c_str());
}

TEST(BoardScenario, ABodyWithoutItsEndMarkIsRefusedWhenThePackageIsLoaded)
{
    CBoardRig rig({}, BodyPattern(12, 27, true), BodyPattern(3000, 28));
    const std::string package = rig.folder.Path() + "/BOARD_V2.QVP";
    ASSERT_NE(Pack({"qvp", "--model", "board", "--out", package, "--board-boot", rig.bootPath, "--board-body",
                    rig.bodyPath}),
              0);
    ASSERT_EQ(Pack({"qvp", "--model", "board", "--out", package, "--board-boot", rig.bootPath, "--board-body",
                    rig.bodyPath, "--no-end-mark"}),
              0);
    rig.host.QueueOpenFileAnswer(package);
    ASSERT_TRUE(rig.host.Click(IDC_BUTTON_FILE_LOAD));
    ASSERT_EQ(rig.host.MessageTexts().size(), 1u);
    const std::string text = rig.host.MessageTexts()[0];
    EXPECT_NE(text.find("BOARD_V2.UPB\" has no end mark \"##\""), std::string::npos) << text;
    EXPECT_FALSE(rig.host.IsControlEnabled(IDC_BUTTON_CONNECT));
    EXPECT_EQ(State(*rig.dlg).m_nResultType, 0);
}

TEST(BoardScenario, APackageArchiveLoadedWithFileLoadUpgradesTheBoardAndItsUnpackedFilesGo)
{
    CBoardRig rig({}, BodyPattern(12, 27, true), SmallBody());
    const std::string package = rig.folder.Path() + "/BOARD_V2.QVP";
    ASSERT_EQ(Pack({"qvp", "--model", "board", "--out", package, "--board-boot", rig.bootPath, "--board-body",
                    rig.bodyPath}),
              0);

    rig.host.QueueOpenFileAnswer(package);
    ASSERT_TRUE(rig.host.Click(IDC_BUTTON_FILE_LOAD));
    ASSERT_EQ(State(*rig.dlg).m_nResultType, RESULT_TYPE_BOARD)
        << ::testing::PrintToString(rig.host.MessageTexts());
    const std::string unpackedBoot = State(*rig.dlg).m_strPartFile[0];
    const std::string unpackedBody = State(*rig.dlg).m_strPartFile[1];
    const std::string unpackFolder = State(*rig.dlg).m_strUnzipFolder;
    ASSERT_FALSE(unpackFolder.empty());
    EXPECT_EQ(FirstDifference(rig.boot, ReadFileBytes(unpackedBoot)), "");
    EXPECT_EQ(FirstDifference(rig.body, ReadFileBytes(unpackedBody)), "");
    EXPECT_TRUE(rig.host.IsControlEnabled(IDC_BUTTON_CONNECT));

    rig.Connect("38300");
    ASSERT_EQ(g_ComPort.IsConnected(), 1) << g_ComPort.LastErrorText();
    ASSERT_TRUE(rig.WaitForMessage("Upgrade Complete.", 15s))
        << ::testing::PrintToString(rig.host.MessageTexts());
    ExpectCompleteUpgrade(rig);
    EXPECT_FALSE(std::filesystem::exists(unpackedBoot));
    EXPECT_FALSE(std::filesystem::exists(unpackedBody));
    EXPECT_FALSE(std::filesystem::exists(unpackFolder));
    EXPECT_TRUE(std::filesystem::exists(package));
}

} // namespace
