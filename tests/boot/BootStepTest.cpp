// The board's bootloader download step by step: the window is connected to a
// pty whose master plays the board; the tests hand the window the board's
// answers (OnBootByte), fire its timers and read what went onto the wire.
#include "BootTestSupport.h"

#include "UpgradeDlgTestAccess.h"
#include "app/HeadlessHost.h"
#include "link/CommPort.h"
#include "link/RxQueue.h"
#include "protocol/Pacing.h"
#include "window/SendToBD.h"
#include "window/UpgradeDlg.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>

namespace {

using Clock = std::chrono::steady_clock;

const Bytes kAck = {0x01, 0x00, 0x01, 0x06, 0x04, 0x02};
const Bytes kRefusal = {0x01, 0x00, 0x01, 0x15, 0x04, 0x11};
const Bytes kReady = {0x01, 0x00, 0x05, 0x52, 0x45, 0x41, 0x44, 0x59, 0x04, 0x4B};
const Bytes kStart = {0x01, 0x00, 0x05, 0x53, 0x54, 0x41, 0x52, 0x54, 0x04, 0x40};
const Bytes kEnd = {0x01, 0x00, 0x03, 0x45, 0x4E, 0x44, 0x04, 0x49};

Bytes Erase(char letter, std::uint8_t checksum)
{
    return {0x01, 0x00, 0x06, 'E', 'R', 'A', 'S', 'E', static_cast<std::uint8_t>(letter), 0x04, checksum};
}

// ERASE k carries 'A' + k - 1; its checksum moves with the letter.
Bytes EraseMessage(int k)
{
    const auto letter = static_cast<std::uint8_t>('A' + k - 1);
    return Erase(static_cast<char>(letter), static_cast<std::uint8_t>(0x02 ^ 'A' ^ letter));
}

// The body as the board must receive it: data, then 0xFF up to whole blocks.
Bytes Padded(Bytes data)
{
    const std::size_t blocks = std::max<std::size_t>(1, (data.size() + 1023) / 1024);
    data.resize(blocks * 1024, 0xFF);
    return data;
}

double Ms(Clock::duration d)
{
    return std::chrono::duration<double, std::milli>(d).count();
}

CAppOptions OptionsFor(const std::string& port)
{
    CAppOptions options;
    options.extraPorts = {port};
    return options;
}

class BootStepTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        dlg.OnInitDialog();
        bootImage = BodyPattern(7, 1, true);
        bodyImage = Concat({BodyPattern(1500, 2), Text("##"), Bytes{0xA1, 0xA2}});
        State(dlg).m_nResultType = RESULT_TYPE_BOARD;
        State(dlg).m_strPartFile[0] = folder.Write("BOARD.UPH", bootImage);
        State(dlg).m_strPartFile[1] = folder.Write("BOARD.UPB", bodyImage);
        dlg.FillPortList();
        host.EnableControl(IDC_BUTTON_CONNECT, true);
    }

    // Connect at the chosen baud entry; the probe must be on the wire.
    void Connect(const std::string& baud = "115200")
    {
        for (int i = 0; i < host.ComboCount(IDC_COMBO_PORT); ++i)
            if (host.ComboItemText(IDC_COMBO_PORT, i) == pty.SlavePath())
                host.Choose(IDC_COMBO_PORT, i);
        for (int i = 0; i < host.ComboCount(IDC_COMBO_BAUD); ++i)
            if (host.ComboItemText(IDC_COMBO_BAUD, i) == baud)
                host.Choose(IDC_COMBO_BAUD, i);
        ASSERT_TRUE(host.Click(IDC_BUTTON_CONNECT));
        ASSERT_EQ(g_ComPort.IsConnected(), 1) << g_ComPort.LastErrorText();
        ASSERT_EQ(pty.Read(1, 1s), Bytes{'A'});
    }

    void Feed(const Bytes& bytes)
    {
        for (std::uint8_t b : bytes)
            dlg.OnBootByte(b);
    }

    int Count(const std::string& message) const
    {
        const auto texts = host.MessageTexts();
        return static_cast<int>(std::count(texts.begin(), texts.end(), message));
    }

    // Ready: the package loaded, the port closed, Connect offered again.
    void ExpectReadyAgain()
    {
        EXPECT_EQ(g_ComPort.IsConnected(), 0);
        EXPECT_EQ(State(dlg).m_bConnected, 0);
        EXPECT_EQ(host.GetText(IDC_BUTTON_CONNECT), "Connect");
        EXPECT_TRUE(host.IsControlEnabled(IDC_BUTTON_CONNECT));
        EXPECT_EQ(State(dlg).m_nResultType, RESULT_TYPE_BOARD);
        EXPECT_FALSE(State(dlg).m_strPartFile[1].empty());
        EXPECT_FALSE(host.HasMessage("Upgrade Complete."));
    }

    CTempFolder folder;
    CPty pty;
    CHeadlessHost host;
    CUpgradeDlg dlg{host, OptionsFor(pty.SlavePath())};
    Bytes bootImage;
    Bytes bodyImage;
};

// --- Messages and acknowledgements

struct MessageCase {
    const char* name;
    std::function<void(CUpgradeDlg&)> send;
    Bytes wire;
};

class BootMessageTest : public BootStepTest, public ::testing::WithParamInterface<MessageCase> {};

TEST_P(BootMessageTest, EachMessageGoesOutAsTheBoardExpectsIt)
{
    Connect();
    GetParam().send(dlg);
    const Bytes got = pty.ReadQuiet(50ms);
    EXPECT_EQ(FirstDifference(GetParam().wire, got), "");
}

INSTANTIATE_TEST_SUITE_P(
    Messages, BootMessageTest,
    ::testing::Values(MessageCase{"Ready", [](CUpgradeDlg& d) { Board(d).SendMessage_Ready(); }, kReady},
                      MessageCase{"EraseA",
                                  [](CUpgradeDlg& d) {
                                      BoardState(d).m_nEraseIndex = 1;
                                      Board(d).SendMessage_Erase();
                                  },
                                  Erase('A', 0x02)},
                      MessageCase{"EraseE",
                                  [](CUpgradeDlg& d) {
                                      BoardState(d).m_nEraseIndex = 5;
                                      Board(d).SendMessage_Erase();
                                  },
                                  Erase('E', 0x06)},
                      MessageCase{"EraseJ",
                                  [](CUpgradeDlg& d) {
                                      BoardState(d).m_nEraseIndex = 10;
                                      Board(d).SendMessage_Erase();
                                  },
                                  Erase('J', 0x09)},
                      MessageCase{"Start", [](CUpgradeDlg& d) { Board(d).SendMessage_HexDataReady(); },
                                  kStart},
                      MessageCase{"End", [](CUpgradeDlg& d) { Board(d).SendMessage_HexDataEnd(); }, kEnd},
                      MessageCase{"SerialFrame",
                                  [](CUpgradeDlg& d) {
                                      const std::uint8_t model = 3;
                                      State(d).m_pSendToBD->MakePacketAndSend(CMD_SYS_CHECK, SUB_REQUEST,
                                                                              &model, 1);
                                  },
                                  Bytes{0xFB, 0x04, 0x0A, 0x01, 0x00, 0x01, 0x03, 0xFB, 0x0D}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(BootStepTest, OnlyTheExactSixAcknowledgementBytesCountAsAcknowledged)
{
    const struct {
        Bytes answer;
        int ack;
    } cases[] = {
        {kAck, 1},
        {kRefusal, 0},
        {{0x01, 0x00, 0x01, 0x06, 0x04, 0x03}, 0},
        {{0x02, 0x00, 0x01, 0x06, 0x04, 0x02}, 0},
        {{0x00, 0x00, 0x00, 0x00, 0x00, 0x00}, 0},
    };
    for (const auto& c : cases) {
        std::copy(c.answer.begin(), c.answer.end(), BoardState(dlg).m_BootRx);
        EXPECT_EQ(Board(dlg).IsBootAck(), c.ack) << ::testing::PrintToString(c.answer);
    }
}

TEST_F(BootStepTest, AFrameWriteOnAClosedPortIsTraced)
{
    const std::uint8_t model = 3;
    State(dlg).m_pSendToBD->MakePacketAndSend(CMD_SYS_CHECK, SUB_REQUEST, &model, 1);
    EXPECT_TRUE(host.HasTrace("Error : MakePacketAndSend() -> g_ComPort.WriteComm()"));
}

// --- Boot mode and boot image

TEST_F(BootStepTest, OnlyTheAnswerAStopsTheBootModeWatchAndSchedulesTheBootImage)
{
    Connect("38300");
    EXPECT_EQ(pty.SlaveSpeed(), 38300u);
    EXPECT_EQ(BoardState(dlg).m_nBootStep, DEF_STEP_MAINCHECK);
    EXPECT_TRUE(host.IsTimerRunning(IDT_BOOT_MODE));

    Feed({'B', 'a', 0x06, 0x00});
    EXPECT_EQ(BoardState(dlg).m_nBootStep, DEF_STEP_MAINCHECK);
    EXPECT_TRUE(host.IsTimerRunning(IDT_BOOT_MODE));
    EXPECT_FALSE(host.IsTimerRunning(IDT_SEND_BOOT));

    Feed({'A'});
    EXPECT_FALSE(host.IsTimerRunning(IDT_BOOT_MODE));
    EXPECT_TRUE(host.IsTimerRunning(IDT_SEND_BOOT));
    for (int id : {IDC_STATIC_PROGRAM, IDC_PROGRESS_PROGRAM, IDC_STATIC_PROGRAM_PERCENT, IDC_STATIC_VERIFY,
                   IDC_PROGRESS_VERIFY, IDC_STATIC_VERIFY_PERCENT})
        EXPECT_FALSE(host.IsControlVisible(id)) << id;
    for (int id : {IDC_PROGRESS_BOOT, IDC_PROGRESS_ERASE, IDC_PROGRESS_DATA})
        EXPECT_TRUE(host.IsControlVisible(id)) << id;
}

TEST_F(BootStepTest, ASecondAnswerARestartsTheHalfSecondBeforeTheBootImage)
{
    Connect();
    const auto first = Clock::now();
    Feed({'A'});
    host.RunFor(300ms);
    Feed({'A'});
    host.RunUntil([&] { return Clock::now() - first >= 600ms; }, 1s);
    EXPECT_EQ(BoardState(dlg).m_nBootStep, DEF_STEP_MAINCHECK) << "the boot image started from the first 'A'";
    EXPECT_TRUE(host.RunUntil([&] { return BoardState(dlg).m_nBootStep == DEF_STEP_BOOT; }, 500ms));
    EXPECT_EQ(pty.Read(1, 1s), Bytes{bootImage[0]});
}

struct MissingCase {
    const char* name;
    bool bootThere;
    bool bodyThere;
};

class MissingImageTest : public BootStepTest, public ::testing::WithParamInterface<MissingCase> {};

TEST_P(MissingImageTest, AMissingImageIsTracedByPathAndEndsTheUpgradeWithAMessage)
{
    const std::string boot = State(dlg).m_strPartFile[0];
    const std::string body = State(dlg).m_strPartFile[1];
    if (!GetParam().bootThere)
        State(dlg).m_strPartFile[0] = folder.Path() + "/NONE.UPH";
    if (!GetParam().bodyThere)
        State(dlg).m_strPartFile[1] = folder.Path() + "/NONE.UPB";
    Connect();
    Feed({'A'});
    EXPECT_FALSE(host.IsTimerRunning(IDT_SEND_BOOT));
    EXPECT_TRUE(host.HasTrace("==> Main File Chewck Fail\r\n"));
    EXPECT_EQ(host.HasTrace(folder.Path() + "/NONE.UPH ==> Not Search File\r\n"), !GetParam().bootThere);
    EXPECT_EQ(host.HasTrace(folder.Path() + "/NONE.UPB ==> Not Search File\r\n"), !GetParam().bodyThere);
    EXPECT_FALSE(host.HasTrace(boot + " ==> Not Search File"));
    EXPECT_FALSE(host.HasTrace(body + " ==> Not Search File"));
    EXPECT_EQ(host.MessageTexts(), std::vector<std::string>{"Board upgrade failed."});
    EXPECT_EQ(g_ComPort.IsConnected(), 0);
    EXPECT_EQ(host.GetText(IDC_BUTTON_CONNECT), "Connect");
    EXPECT_TRUE(host.IsControlEnabled(IDC_BUTTON_CONNECT));
}

INSTANTIATE_TEST_SUITE_P(Missing, MissingImageTest,
                         ::testing::Values(MissingCase{"Boot", false, true}, MissingCase{"Body", true, false},
                                           MissingCase{"Both", false, false}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(BootStepTest, TheBootImageGoesOutOneByteperAnswerAndItsLastAnswerStartsThePortCycle)
{
    Connect("38300");
    Feed({'A'});
    dlg.OnTimer(IDT_SEND_BOOT);
    ASSERT_EQ(BoardState(dlg).m_nBootStep, DEF_STEP_BOOT);
    EXPECT_EQ(BoardState(dlg).m_nDownloadTotal, static_cast<std::int64_t>(bootImage.size()));

    Bytes received;
    const std::size_t n = bootImage.size();
    for (std::size_t k = 1; k <= n; ++k) {
        const Bytes one = pty.Read(1, 1s);
        ASSERT_EQ(one.size(), 1u) << "boot byte " << k;
        received.push_back(one[0]);
        EXPECT_TRUE(pty.Read(1, 5ms).empty()) << "more than one byte before answer " << k;
        EXPECT_TRUE(host.IsTimerRunning(IDT_BOOT_TIMEOUT));
        const auto before = Clock::now();
        dlg.OnBootByte(0x06);
        const auto took = Clock::now() - before;
        if (k < n) {
            EXPECT_GE(Ms(took), 1.0) << "the byte after answer " << k << " left too early";
            EXPECT_EQ(host.GetText(IDC_STATIC_BOOT_PERCENT), std::to_string(k * 100 / n) + " %");
        }
    }
    EXPECT_EQ(FirstDifference(bootImage, received), "");
    EXPECT_FALSE(BoardState(dlg).m_fileDownload.IsOpen());
    EXPECT_EQ(host.GetText(IDC_STATIC_BOOT_PERCENT), "100 %");
    EXPECT_FALSE(host.IsTimerRunning(IDT_BOOT_TIMEOUT));
    EXPECT_TRUE(host.IsTimerRunning(IDT_PORT_CLOSE));
    EXPECT_TRUE(pty.Read(1, 20ms).empty());

    // Port cycle: closed, reopened at 115200, READY a second later.
    dlg.OnTimer(IDT_PORT_CLOSE);
    EXPECT_EQ(g_ComPort.IsConnected(), 0);
    EXPECT_TRUE(host.IsTimerRunning(IDT_PORT_REOPEN));
    dlg.OnTimer(IDT_PORT_REOPEN);
    ASSERT_EQ(g_ComPort.IsConnected(), 1) << g_ComPort.LastErrorText();
    EXPECT_EQ(pty.SlaveSpeed(), 115200u);
    EXPECT_EQ(host.GetText(IDC_BUTTON_CONNECT), "Dis Connect");
    EXPECT_TRUE(host.IsTimerRunning(IDT_SEND_READY));
    dlg.OnTimer(IDT_SEND_READY);
    EXPECT_EQ(BoardState(dlg).m_nBootStep, DEF_STEP_READY);
    EXPECT_EQ(FirstDifference(kReady, pty.ReadQuiet(50ms)), "");
}

struct SilentBootCase {
    const char* name;
    Bytes image;
    std::size_t bytesOnWire;
};

class SilentBootTest : public BootStepTest, public ::testing::WithParamInterface<SilentBootCase> {};

TEST_P(SilentBootTest, ABootByteWithoutAnswerEndsInTheBootErrorAfterASecond)
{
    State(dlg).m_strPartFile[0] = folder.Write("OTHER.UPH", GetParam().image);
    Connect();
    Feed({'A'});
    const auto start = Clock::now();
    dlg.OnTimer(IDT_SEND_BOOT);
    EXPECT_EQ(pty.ReadQuiet(50ms).size(), GetParam().bytesOnWire);
    ASSERT_TRUE(host.RunUntil([&] { return host.HasMessage("Download boot error occurred"); }, 2s));
    EXPECT_GE(Ms(Clock::now() - start), 1000.0);
    EXPECT_EQ(g_ComPort.IsConnected(), 0);
    EXPECT_FALSE(BoardState(dlg).m_fileDownload.IsOpen());
    EXPECT_EQ(host.GetText(IDC_BUTTON_CONNECT), "Connect");
    EXPECT_FALSE(host.IsControlEnabled(IDC_BUTTON_CONNECT));
    EXPECT_EQ(State(dlg).m_nResultType, 0);
    EXPECT_TRUE(State(dlg).m_strPartFile[0].empty());
    EXPECT_EQ(Count("Download boot error occurred"), 1);
}

INSTANTIATE_TEST_SUITE_P(Silent, SilentBootTest,
                         ::testing::Values(SilentBootCase{"Unanswered", BodyPattern(3, 5), 1},
                                           SilentBootCase{"EmptyImageSendsNothing", Bytes{}, 0}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(BootStepTest, AFailedReopenAt115200EndsTheUpgradeWithThePackageKept)
{
    Connect();
    BoardState(dlg).m_nBootStep = DEF_STEP_BOOT;
    dlg.OnTimer(IDT_PORT_CLOSE);
    State(dlg).m_strPortName = folder.Path() + "/gone";
    dlg.OnTimer(IDT_PORT_REOPEN);
    EXPECT_EQ(Count("Board upgrade failed."), 1);
    EXPECT_FALSE(host.IsTimerRunning(IDT_SEND_READY));
    ExpectReadyAgain();
}

TEST_F(BootStepTest, APortClosedByTheUserIsNotReopenedByThePortCycle)
{
    Connect();
    BoardState(dlg).m_nBootStep = DEF_STEP_BOOT;
    dlg.DisconnectSerial();
    dlg.OnTimer(IDT_PORT_CLOSE);
    EXPECT_FALSE(host.IsTimerRunning(IDT_PORT_REOPEN));
    EXPECT_EQ(g_ComPort.IsConnected(), 0);
}

// --- READY and ERASE

TEST_F(BootStepTest, ReadysAcknowledgementIsFollowedByTenErasesWithTheEraseRowInTens)
{
    Connect();
    BoardState(dlg).m_nBootStep = DEF_STEP_READY;
    Feed(kAck);
    ASSERT_EQ(BoardState(dlg).m_nBootStep, DEF_STEP_ERASE);

    std::vector<std::string> percents;
    for (int k = 1; k <= 10; ++k) {
        const Bytes message = pty.Read(11, 1s);
        EXPECT_EQ(FirstDifference(EraseMessage(k), message), "") << "ERASE " << k;
        const auto before = Clock::now();
        Feed(kAck);
        const auto took = Clock::now() - before;
        if (k < 10) {
            EXPECT_GE(Ms(took), 10.0) << "ERASE " << k + 1 << " left too early";
        }
        percents.push_back(host.GetText(IDC_STATIC_ERASE_PERCENT));
    }
    EXPECT_EQ(percents, (std::vector<std::string>{"20 %", "30 %", "40 %", "50 %", "60 %", "70 %", "80 %",
                                                  "90 %", "100 %", "100 %"}));
    EXPECT_TRUE(pty.Read(1, 20ms).empty());
    EXPECT_TRUE(host.IsTimerRunning(IDT_SEND_START));
    dlg.OnTimer(IDT_SEND_START);
    EXPECT_EQ(BoardState(dlg).m_nBootStep, DEF_STEP_START);
    EXPECT_EQ(BoardState(dlg).m_nEraseIndex, 0);
    EXPECT_EQ(FirstDifference(kStart, pty.ReadQuiet(50ms)), "");
}

// --- Refusals

struct RefusalCase {
    const char* name;
    int step;
    const char* trace;
    int stepAfter;
};

class RefusalTest : public BootStepTest, public ::testing::WithParamInterface<RefusalCase> {};

TEST_P(RefusalTest, ARefusalIsReportedOnceClosesThePortAndConnectStartsOver)
{
    Connect();
    BoardState(dlg).m_nBootStep = GetParam().step;
    BoardState(dlg).m_nEraseIndex = 3;
    BoardState(dlg).m_nBootRxCount = 0;
    Feed(kRefusal);
    Feed({0x01, 0x00, 0x01}); // judged again where the count stays at 6
    EXPECT_TRUE(host.HasTrace(GetParam().trace));
    EXPECT_EQ(BoardState(dlg).m_nBootStep, GetParam().stepAfter);
    EXPECT_EQ(Count("Board upgrade failed."), 1);
    ExpectReadyAgain();
    for (int id : {IDT_SEND_START, IDT_SEND_HEX, IDT_SEND_FINISH})
        EXPECT_FALSE(host.IsTimerRunning(id)) << id;

    host.ClearMessages();
    ASSERT_TRUE(host.Click(IDC_BUTTON_CONNECT));
    ASSERT_EQ(g_ComPort.IsConnected(), 1);
    EXPECT_EQ(pty.Read(1, 1s), Bytes{'A'});
    EXPECT_EQ(BoardState(dlg).m_nBootStep, DEF_STEP_MAINCHECK);
    EXPECT_EQ(BoardState(dlg).m_bBoardFailShown, 0);
}

INSTANTIATE_TEST_SUITE_P(
    Refusals, RefusalTest,
    ::testing::Values(RefusalCase{"Erase", DEF_STEP_ERASE, "==> Not ERASE\r\n", DEF_STEP_HALT},
                      RefusalCase{"Start", DEF_STEP_START, "==> STEP_START - NAK\r\n", DEF_STEP_HALT},
                      RefusalCase{"Block", DEF_STEP_SENDHEX, "==> STEP_SENDHEX - NAK\r\n", DEF_STEP_HALT},
                      RefusalCase{"End", DEF_STEP_ENDHEX, "==> STEP_ENDHEX = NAK\r\n", DEF_STEP_HALT},
                      RefusalCase{"Finish", DEF_STEP_FINISH, "==> DEF_STEP_FINISH - NAK\r\n",
                                  DEF_STEP_FINISH}),
    [](const auto& info) { return std::string(info.param.name); });

// --- Body blocks, END and the finish record

struct BodyCase {
    std::string name;
    Bytes body;
    Bytes blocks; // every block the board receives, in order
    Bytes finish;
};

std::vector<BodyCase> BodyCases()
{
    const Bytes a1023 = BodyPattern(1023, 11);
    return {
        {"MarkThenLongRecord", Concat({BodyPattern(1500, 3), Text("##"), Bytes{1, 2, 3, 4, 5, 6}}),
         Padded(BodyPattern(1500, 3)), Bytes{1, 2, 3, 4}},
        {"MarkFirst", Concat({Text("##"), Bytes{9}}), Padded({}), Bytes{9}},
        {"HashAndAInsideAreData", Text("a#bA#c##"), Padded(Text("a#bA#c")), Bytes{}},
        {"ShortRecord", Concat({Text("xyz##"), Bytes{0x23, 0x41}}), Padded(Text("xyz")), Bytes{'#', 'A'}},
        {"LoneHashFillsTheBlockAndTheNextByteStartsTheNext",
         Concat({a1023, Text("#Q#R"), BodyPattern(10, 12), Text("##"), Bytes{7, 7}}),
         Padded(Concat({a1023, Text("#Q#R"), BodyPattern(10, 12)})), Bytes{7, 7}},
        {"MarkAcrossTheBlockEnd", Concat({a1023, Text("##"), Bytes{5}}), Padded(a1023), Bytes{5}},
        {"NoMark", BodyPattern(1500, 4), Padded(BodyPattern(1500, 4)), Bytes{}},
        {"NoMarkTrailingHash", Text("abc#"), Padded(Text("abc#")), Bytes{}},
        {"Empty", Bytes{}, Padded({}), Bytes{}},
        {"NoMarkWholeBlock", BodyPattern(1024, 6), Concat({BodyPattern(1024, 6), Padded({})}), Bytes{}},
    };
}

class BodyTest : public BootStepTest, public ::testing::WithParamInterface<BodyCase> {};

TEST_P(BodyTest, TheBodyGoesOutInWholeBlocksThenEndThenTheFinishRecord)
{
    const BodyCase& c = GetParam();
    State(dlg).m_strPartFile[1] = folder.Write("CASE.UPB", c.body);
    Connect();
    BoardState(dlg).m_nBootStep = DEF_STEP_START;
    Feed(kAck);

    Bytes blocks;
    std::int64_t sent = 0;
    for (int guard = 0; BoardState(dlg).m_nBootStep == DEF_STEP_SENDHEX && guard < 10; ++guard) {
        const Bytes block = pty.Read(1024, 2s);
        ASSERT_EQ(block.size(), 1024u) << "block " << guard + 1;
        EXPECT_TRUE(pty.Read(1, 5ms).empty()) << "block " << guard + 1 << " longer than 1024";
        blocks.insert(blocks.end(), block.begin(), block.end());
        sent += 1024;
        Feed(kAck);
        EXPECT_TRUE(host.IsTimerRunning(IDT_SEND_HEX));
        const std::int64_t total = static_cast<std::int64_t>(c.body.size());
        const std::int64_t percent = total == 0 ? 100 : std::min<std::int64_t>(100, sent * 100 / total);
        EXPECT_EQ(host.GetText(IDC_STATIC_DATA_PERCENT), std::to_string(percent) + " %");
        dlg.OnTimer(IDT_SEND_HEX);
    }
    EXPECT_EQ(FirstDifference(c.blocks, blocks), "");
    ASSERT_EQ(BoardState(dlg).m_nBootStep, DEF_STEP_ENDHEX);
    EXPECT_EQ(FirstDifference(kEnd, pty.ReadQuiet(30ms)), "");
    EXPECT_FALSE(BoardState(dlg).m_fileDownload.IsOpen());

    Feed(kAck);
    EXPECT_TRUE(host.HasTrace("DEF_STEP_ENDHEX\n"));
    EXPECT_EQ(host.GetText(IDC_STATIC_DATA_PERCENT), "100 %");
    ASSERT_TRUE(host.IsTimerRunning(IDT_SEND_FINISH));
    dlg.OnTimer(IDT_SEND_FINISH);
    EXPECT_EQ(BoardState(dlg).m_nBootStep, DEF_STEP_FINISH);
    EXPECT_TRUE(host.HasTrace("DEF_STEP_FINISH " + std::to_string(c.finish.size()) + "\n"));
    EXPECT_EQ(FirstDifference(c.finish, pty.ReadQuiet(50ms)), "");
}

INSTANTIATE_TEST_SUITE_P(Bodies, BodyTest, ::testing::ValuesIn(BodyCases()),
                         [](const auto& info) { return info.param.name; });

TEST_F(BootStepTest, ABodyReadAfterAnEarlierRunStartsWithoutItsEndMark)
{
    // An earlier run stopped after the end mark was read.
    BoardState(dlg).m_bHexEnd = 1;
    BoardState(dlg).m_nHexCarry = 'Z';
    Connect();
    BoardState(dlg).m_nBootStep = DEF_STEP_START;
    Feed(kAck);
    EXPECT_EQ(BoardState(dlg).m_nBootStep, DEF_STEP_SENDHEX);
    const Bytes first(bodyImage.begin(), bodyImage.begin() + 1024);
    EXPECT_EQ(FirstDifference(first, pty.Read(1024, 2s)), "");
}

// --- The receive notification

TEST_F(BootStepTest, BytesInStepZeroReachTheFrameReceiverAndBoardCheckEnablesFileLoadAndConnect)
{
    Connect();
    BoardState(dlg).m_nBootStep = DEF_STEP_NONE;
    host.EnableControl(IDC_BUTTON_CONNECT, false);
    host.EnableControl(IDC_BUTTON_FILE_LOAD, false);
    host.StartTimer(IDT_NO_RESPONSE, 5000);
    const std::uint8_t one = 1;
    pty.Write(BuildFrame(CMD_BOARD_CHECK, SUB_ACK, &one, 1));
    ASSERT_TRUE(host.RunUntil([&] { return host.IsControlEnabled(IDC_BUTTON_CONNECT); }, 2s));
    EXPECT_TRUE(host.IsControlEnabled(IDC_BUTTON_FILE_LOAD));
    EXPECT_FALSE(host.IsTimerRunning(IDT_NO_RESPONSE));
    EXPECT_FALSE(host.IsControlEnabled(IDC_BUTTON_SYS_CHECK));

    const std::uint8_t two[2] = {1, 1};
    pty.Write(BuildFrame(CMD_BOARD_CHECK, SUB_ACK, two, 2));
    EXPECT_TRUE(
        host.RunUntil([&] { return host.HasMessage("ACK Velunda Board Check Protocol Data Size Err"); }, 2s));
}

TEST_F(BootStepTest, ASystemCheckOverSerialShowsTheRecordWithoutThePackageMatch)
{
    Connect();
    BoardState(dlg).m_nBootStep = DEF_STEP_NONE;
    const std::string record(21, '0');
    pty.Write(BuildFrame(CMD_SYS_CHECK, SUB_ACK, reinterpret_cast<const std::uint8_t*>(record.data()), 21));
    host.RunUntil([&] { return g_RxQueue.Count() == 0 && dlg.SerialReceiver().packet().length == 21; }, 2s);
    host.RunFor(50ms);
    EXPECT_EQ(dlg.SerialReceiver().packet().length, 21);
    EXPECT_FALSE(host.IsControlEnabled(IDC_BUTTON_UPGRADE_START));
}

TEST_F(BootStepTest, BytesInStepNinetyNineAreDropped)
{
    Connect();
    BoardState(dlg).m_nBootStep = DEF_STEP_HALT;
    host.EnableControl(IDC_BUTTON_CONNECT, false);
    const std::uint8_t one = 1;
    pty.Write(Concat({BuildFrame(CMD_BOARD_CHECK, SUB_ACK, &one, 1), Bytes{'A'}, kAck}));
    host.RunFor(200ms);
    EXPECT_EQ(g_RxQueue.Count(), 0);
    EXPECT_FALSE(host.IsControlEnabled(IDC_BUTTON_CONNECT));
    EXPECT_EQ(BoardState(dlg).m_nBootStep, DEF_STEP_HALT);
    EXPECT_TRUE(host.Messages().empty());
    EXPECT_TRUE(pty.Read(1, 20ms).empty());
}

TEST_F(BootStepTest, TheLastAcknowledgementEndsTheUpgradeAndTheRestOfTheBatchGoesToTheFrameReceiver)
{
    Connect();
    BoardState(dlg).m_nBootStep = DEF_STEP_FINISH;
    BoardState(dlg).m_nBootRxCount = 0;
    const std::uint8_t two[2] = {1, 1};
    const Bytes batch = Concat({kAck, BuildFrame(CMD_BOARD_CHECK, SUB_ACK, two, 2)});
    // One notification for the whole batch, as the receive thread gives it.
    ASSERT_EQ(g_RxQueue.PushBlock(batch.data(), static_cast<int>(batch.size())),
              static_cast<int>(batch.size()));
    g_hSendToBD->OnRxNotify(0, static_cast<long>(batch.size()));
    EXPECT_EQ(g_RxQueue.Count(), 0);
    EXPECT_EQ(BoardState(dlg).m_nBootStep, DEF_STEP_NONE);
    EXPECT_EQ(
        host.MessageTexts(),
        (std::vector<std::string>{"Upgrade Complete.", "ACK Velunda Board Check Protocol Data Size Err"}));
    EXPECT_EQ(g_ComPort.IsConnected(), 0);
    EXPECT_EQ(State(dlg).m_nResultType, 0);
    EXPECT_FALSE(host.IsControlEnabled(IDC_BUTTON_CONNECT));
    // The port can be opened again once the notification has returned.
    EXPECT_EQ(g_ComPort.OpenPort(pty.SlavePath(), 115200), 1) << g_ComPort.LastErrorText();
    g_ComPort.ClosePort();
}

// --- Pacing

TEST(PacingTest, APauseEndsNoEarlierThanAskedAndNotMuchLater)
{
    for (int ms : {1, 10}) {
        double best = 1e9;
        // Many tries: the suite runs more tests than there are processors, so
        // a few in a row may all wait for one.
        for (int run = 0; run < 40; ++run) {
            const auto before = Clock::now();
            WaitAtLeast(ms);
            const double took = Ms(Clock::now() - before);
            EXPECT_GE(took, ms) << ms << " ms pause, run " << run;
            best = std::min(best, took);
        }
        // A scheduler tick of slack: a sanitizer build on a busy machine wakes late.
        EXPECT_LT(best, ms + 2.0) << ms << " ms pause overshoots even at best";
    }
}

} // namespace
