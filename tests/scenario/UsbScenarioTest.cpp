// Whole user scenarios over USB against the virtual target on a pty: the
// connection, a full upgrade from a .DAT package, and the faults a target
// can show during a run. The protocol timers are the real ones; only the
// stall timeout is shortened.
#include "ScenarioFixture.h"
#include "UpgradeDlgTestAccess.h"
#include "history/HistoryDb.h"

using namespace scenario;

namespace {

class UsbScenario : public ScenarioFixture {};

TEST_F(UsbScenario, ConnectSendsTheBoardCheckAfterOneSecondAndItsAnswerEnablesSysCheck)
{
    StartTarget();
    LoadParts({100});
    EXPECT_FALSE(host.IsControlEnabled(IDC_BUTTON_SYS_CHECK));
    const auto clicked = std::chrono::steady_clock::now();
    ASSERT_TRUE(host.Click(IDC_BUTTON_CONNECT));
    EXPECT_EQ(host.GetText(IDC_BUTTON_CONNECT), "Dis Connect");
    EXPECT_TRUE(WaitFor([&] { return host.IsControlEnabled(IDC_BUTTON_SYS_CHECK); }, 5s));
    const auto waited = std::chrono::steady_clock::now() - clicked;
    EXPECT_GE(waited, 1000ms);
    EXPECT_LT(waited, 2500ms);
    EXPECT_NE(FramesLog().find("1E 01 1"), std::string::npos) << FramesLog();
    EXPECT_FALSE(host.IsTimerRunning(IDT_NO_RESPONSE));
    EXPECT_TRUE(host.Messages().empty());
}

TEST_F(UsbScenario, ASilentTargetIsReportedAfterOnePlusThreeSecondsAndTheLinkCloses)
{
    sim.silent = true;
    StartTarget();
    LoadParts({100});
    const auto clicked = std::chrono::steady_clock::now();
    ASSERT_TRUE(host.Click(IDC_BUTTON_CONNECT));
    ASSERT_TRUE(
        WaitFor([&] { return host.HasMessage("The machine does not respond to the protocol."); }, 8s));
    const auto waited = std::chrono::steady_clock::now() - clicked;
    EXPECT_GE(waited, 4000ms);
    EXPECT_LT(waited, 5500ms);
    EXPECT_FALSE(State(*dlg).m_UsbLink.IsOpen());
    EXPECT_EQ(State(*dlg).m_bConnected, 0);
    EXPECT_EQ(host.GetText(IDC_BUTTON_CONNECT), "Connect");
    EXPECT_TRUE(host.IsControlEnabled(IDC_BUTTON_CONNECT));
    EXPECT_FALSE(host.IsControlEnabled(IDC_BUTTON_SYS_CHECK));
    EXPECT_EQ(host.ListRowCount(IDC_LIST_PART), 1); // the package stays loaded
}

TEST_F(UsbScenario, DisConnectResetsTheWindowAndPutsTheBaudListBackTo38400)
{
    StartTarget();
    LoadParts({100, 100});
    Connect();
    host.Choose(IDC_COMBO_BAUD, 0);
    ASSERT_TRUE(host.Click(IDC_BUTTON_CONNECT));
    EXPECT_EQ(host.GetText(IDC_BUTTON_CONNECT), "Connect");
    EXPECT_FALSE(host.IsControlEnabled(IDC_BUTTON_CONNECT));
    EXPECT_FALSE(host.IsControlEnabled(IDC_BUTTON_SYS_CHECK));
    EXPECT_FALSE(host.IsControlEnabled(IDC_BUTTON_UPGRADE_START));
    EXPECT_EQ(host.ComboItemText(IDC_COMBO_BAUD, host.ComboSelected(IDC_COMBO_BAUD)), "38400");
    EXPECT_EQ(host.ListRowCount(IDC_LIST_PART), 0);
    EXPECT_FALSE(host.IsControlVisible(IDC_CHECK_MAIN));
    EXPECT_FALSE(State(*dlg).m_UsbLink.IsOpen());
    EXPECT_EQ(State(*dlg).m_bConnected, 0);
}

// The window as Ready leaves it: the package loaded, Connect offered again.
void ExpectReadyWithPackage(ScenarioFixture& f, CHeadlessHost& host, CUpgradeDlg& dlg, int rows)
{
    (void)f;
    EXPECT_FALSE(State(dlg).m_UsbLink.IsOpen());
    EXPECT_EQ(State(dlg).m_bConnected, 0);
    EXPECT_EQ(host.GetText(IDC_BUTTON_CONNECT), "Connect");
    EXPECT_TRUE(host.IsControlEnabled(IDC_BUTTON_CONNECT));
    EXPECT_TRUE(host.IsControlEnabled(IDC_BUTTON_FILE_LOAD));
    EXPECT_FALSE(host.IsControlEnabled(IDC_BUTTON_SYS_CHECK));
    EXPECT_FALSE(host.IsControlEnabled(IDC_BUTTON_UPGRADE_START));
    EXPECT_EQ(host.ListRowCount(IDC_LIST_PART), rows);
    for (int id : {IDT_BOARD_CHECK, IDT_NO_RESPONSE, IDT_STALL, IDT_PROGRAM_ANIM})
        EXPECT_FALSE(host.IsTimerRunning(id)) << id;
}

TEST_F(UsbScenario, AnUnplugDuringARunEndsItWithinASecondAndTheWindowIsReadyWithThePackage)
{
    sim.unplugAt.push_back(CSimPoint{"data-down", 2});
    options.stallTimeoutMs = 60000; // the loss, not the stall watch, must end it
    StartTarget();
    LoadParts({20000, 3000});
    Connect();
    SysCheck();
    CheckOnly({IDC_CHECK_MAIN});
    host.ClearMessages();
    ASSERT_TRUE(host.Click(IDC_BUTTON_UPGRADE_START));
    ASSERT_TRUE(WaitFor([&] { return target->Sim().Unplugged(); }, 5s))
        << ::testing::PrintToString(host.MessageTexts()) << ::testing::PrintToString(host.Traces());
    const auto gone = std::chrono::steady_clock::now();
    ASSERT_TRUE(WaitFor([&] { return State(*dlg).m_bRunActive == 0; }, 3s));
    EXPECT_LT(std::chrono::steady_clock::now() - gone, 1000ms);
    EXPECT_EQ(host.MessageTexts(),
              std::vector<std::string>{"The connection to the machine was lost during the upgrade."});
    EXPECT_EQ(Result(0), "Upgrade fail");
    ExpectReadyWithPackage(*this, host, *dlg, 2);
}

TEST_F(UsbScenario, AnUnplugWhileConnectedClosesTheLinkAndDisConnectIsNoLongerOffered)
{
    sim.unplugAt.push_back(CSimPoint{"sys-check", 1});
    StartTarget();
    LoadParts({100});
    Connect();
    ASSERT_TRUE(host.Click(IDC_BUTTON_SYS_CHECK));
    ASSERT_TRUE(target->Sim().WaitEnded(3000ms));
    EXPECT_TRUE(WaitFor([&] { return host.HasMessage("The connection to the machine was lost."); }, 2s))
        << ::testing::PrintToString(host.MessageTexts());
    EXPECT_TRUE(host.HasTrace("device lost"));
    ExpectReadyWithPackage(*this, host, *dlg, 1);
}

TEST_F(UsbScenario, DisConnectRightAfterConnectLeavesNoTimerToReportALaterSilence)
{
    sim.silent = true;
    StartTarget();
    LoadParts({100});
    ASSERT_TRUE(host.Click(IDC_BUTTON_CONNECT));
    host.RunFor(300ms);
    ASSERT_TRUE(host.Click(IDC_BUTTON_CONNECT));
    EXPECT_EQ(host.GetText(IDC_BUTTON_CONNECT), "Connect");
    host.RunFor(4500ms);
    EXPECT_TRUE(host.Messages().empty()) << ::testing::PrintToString(host.MessageTexts());
    EXPECT_FALSE(host.IsTimerRunning(IDT_BOARD_CHECK));
    EXPECT_FALSE(host.IsTimerRunning(IDT_NO_RESPONSE));
}

TEST_F(UsbScenario, WithoutABootImageUpgradeStartSendsNothingAndNamesTheFoldersSearched)
{
    StartTarget();
    LoadParts({3000});
    std::filesystem::remove_all(dir / "Boot");
    Connect();
    SysCheck();
    const std::string framesBefore = FramesLog();
    host.ClearMessages();
    ASSERT_TRUE(host.Click(IDC_BUTTON_UPGRADE_START));
    ASSERT_EQ(host.MessageTexts().size(), 1u);
    const std::string text = host.MessageTexts()[0];
    EXPECT_EQ(text.rfind("Can not find the boot folder", 0), 0u) << text;
    EXPECT_NE(text.find((dir / "Boot").string()), std::string::npos) << text;
    host.RunFor(300ms);
    EXPECT_EQ(FramesLog(), framesBefore); // no UP Index went out
    EXPECT_EQ(State(*dlg).m_bRunActive, 0);
    EXPECT_EQ(State(*dlg).m_bConnected, 1);
    EXPECT_TRUE(host.IsControlEnabled(IDC_BUTTON_UPGRADE_START));
    EXPECT_TRUE(host.IsControlEnabled(IDC_BUTTON_SYS_CHECK));
    EXPECT_EQ(host.MessageTexts().size(), 1u);
}

TEST_F(UsbScenario, TheBootFolderBesideThePackageServesWhenTheStartUpFolderHasNone)
{
    StartTarget();
    LoadParts({3000}, 5000);
    // Started from another folder (a desktop menu starts in the home folder).
    std::filesystem::create_directories(dir / "home");
    State(*dlg).m_szStartDir = (dir / "home").string();
    Connect();
    SysCheck();
    CheckOnly({IDC_CHECK_MAIN});
    EXPECT_EQ(Upgrade(), kComplete) << ::testing::PrintToString(host.MessageTexts());
    EXPECT_TRUE(SameBytes(Recorded(ITEM_MAIN, "boot"), bootImage));
}

TEST_F(UsbScenario, WithoutAnFtdiDeviceTheLibftdiBackendFailsToConnectAndLeavesNothingOpen)
{
    MakeWindow(); // no --usb-tty: the libftdi backend
    LoadParts({100});
    ASSERT_TRUE(host.Click(IDC_BUTTON_CONNECT));
    if (State(*dlg).m_UsbLink.DeviceCount() > 0)
        GTEST_SKIP() << "an FTDI device is attached to this machine";
    EXPECT_TRUE(host.HasMessage("USB connection failed!"));
    EXPECT_EQ(State(*dlg).m_bConnected, 0);
    EXPECT_FALSE(State(*dlg).m_UsbLink.IsOpen());
    EXPECT_EQ(host.GetText(IDC_BUTTON_CONNECT), "Connect");
    EXPECT_FALSE(host.IsTimerRunning(IDT_BOARD_CHECK));
}

TEST_F(UsbScenario, AFullQuorinV1DatPackageIsUpgradedFromConnectToCompletion)
{
    // Part sizes around the chunk size: one chunk exactly, one byte more, one byte.
    const std::size_t sizes[PART_COUNT] = {20000, 8192, 8193, 1, 5000};
    PackParts({sizes, sizes + PART_COUNT});

    ScenarioFixture::options.historyFile = (dir / "history.sqlite").string();
    StartTarget();
    PutBootFile("V1.00.OHH", Pattern(9000, 1));
    PutBootFile("V1.10.OHH", Pattern(8192, 2));             // the greatest name is the boot file
    WriteFileBytes(dir / "Boot" / "Q.OHX", Pattern(50, 3)); // not a boot file
    FileLoad(dir / "pkg.DAT");
    if (State(*dlg).m_bHasPart[0] == 0 && host.Messages().empty())
        GTEST_SKIP() << "the part-image loader is not wired into File Load in this build";
    ASSERT_TRUE(host.Messages().empty()) << ::testing::PrintToString(host.MessageTexts());
    for (int i = 0; i < PART_COUNT; ++i)
        ASSERT_EQ(State(*dlg).m_bHasPart[i], 1) << i;

    Connect();
    SysCheck();
    EXPECT_EQ(host.GetText(IDC_EDIT_SERIAL), "QV2024001");
    EXPECT_EQ(Upgrade(), kComplete) << ::testing::PrintToString(host.MessageTexts());
    ASSERT_EQ(host.ListRowCount(IDC_LIST_PART), PART_COUNT);
    for (int row = 0; row < PART_COUNT; ++row)
        EXPECT_EQ(Result(row), "Complete") << row;
    ExpectRecorded();
    EXPECT_TRUE(host.IsControlEnabled(IDC_BUTTON_FILE_LOAD));
    EXPECT_TRUE(host.IsControlEnabled(IDC_BUTTON_CONNECT));
    EXPECT_TRUE(host.IsControlEnabled(IDC_BUTTON_SYS_CHECK));
    EXPECT_FALSE(host.IsControlEnabled(IDC_BUTTON_UPGRADE_START));
    // The window recorded the run by itself, as it ended.
    CHistoryDb history;
    std::vector<CHistoryRun> runs;
    std::string error;
    ASSERT_TRUE(history.Open(ScenarioFixture::options.historyFile, false, error) &&
                history.List({}, runs, error))
        << error;
    ASSERT_EQ(runs.size(), 1u);
    EXPECT_EQ(runs[0].program, "velunda");
    EXPECT_EQ(runs[0].outcome, "success");
    EXPECT_EQ(runs[0].exitCode, -1);
    EXPECT_EQ(runs[0].serial, "QV2024001");
    ASSERT_EQ(runs[0].items.size(), static_cast<std::size_t>(PART_COUNT));
    for (const CHistoryItem& item : runs[0].items)
        EXPECT_EQ(item.result, "Complete") << item.item;
}

TEST_F(UsbScenario, EveryImageTheTargetRecordedEqualsThePackagePartsForChunkEdgeSizes)
{
    StartTarget();
    LoadParts({8192, 8193, 1, 3 * 8192, 7}, 8193);
    Connect();
    SysCheck();
    EXPECT_EQ(Upgrade(), kComplete) << ::testing::PrintToString(host.MessageTexts());
    for (int row = 0; row < PART_COUNT; ++row)
        EXPECT_EQ(Result(row), "Complete") << row;
    ExpectRecorded();
    EXPECT_EQ(host.GetText(IDC_STATIC_PROGRAM_PERCENT), "100 %");
    EXPECT_EQ(host.GetText(IDC_STATIC_ERASE_PERCENT), "100 %");
}

struct FaultCase {
    const char* name;
    std::function<void(CSimConfig&)> fault;
    const char* end; // the last message of the faulty run
    bool secondRun;  // the fault hits only the first run
    friend void PrintTo(const FaultCase& c, std::ostream* os) { *os << c.name; }
};

class FaultScenario : public ScenarioFixture, public ::testing::WithParamInterface<FaultCase> {};

// A fault ends the run with its own cause, never in a completion the target
// did not earn; a second run right after completes.
TEST_P(FaultScenario, AFaultEndsTheRunWithItsCauseAndARetryCompletes)
{
    const FaultCase& c = GetParam();
    c.fault(sim);
    StartTarget();
    LoadParts({20000, 3000});
    Connect();
    SysCheck();
    CheckOnly({IDC_CHECK_MAIN});

    const auto started = std::chrono::steady_clock::now();
    const std::string end = Upgrade(20s);
    const auto took = std::chrono::steady_clock::now() - started;
    EXPECT_EQ(end, c.end) << ::testing::PrintToString(host.MessageTexts());
    if (end == kComplete) {
        // Only when the target holds exactly the package.
        EXPECT_TRUE(SameBytes(Recorded(ITEM_MAIN, "data"), parts[0]));
        EXPECT_TRUE(SameBytes(Recorded(ITEM_MAIN, "boot"), bootImage));
        EXPECT_EQ(Result(0), "Complete");
    } else {
        EXPECT_FALSE(host.HasMessage(kComplete));
        EXPECT_EQ(Result(0), "Upgrade fail");
    }
    if (end == kStalled) {
        EXPECT_GE(took, std::chrono::milliseconds(options.stallTimeoutMs));
    } else {
        EXPECT_LT(took, std::chrono::milliseconds(options.stallTimeoutMs)) << "waited for the stall watch";
    }
    EXPECT_TRUE(host.IsControlEnabled(IDC_BUTTON_FILE_LOAD));
    EXPECT_TRUE(host.IsControlEnabled(IDC_BUTTON_CONNECT));
    EXPECT_TRUE(host.IsControlEnabled(IDC_BUTTON_SYS_CHECK));
    EXPECT_FALSE(host.IsTimerRunning(IDT_PROGRAM_ANIM));
    EXPECT_FALSE(State(*dlg).m_fileDownload.IsOpen());
    if (!c.secondRun)
        return;

    // No settling time: whatever the first run left on the wire lands in this one.
    SysCheck();
    CheckOnly({IDC_CHECK_MAIN});
    EXPECT_EQ(Upgrade(), kComplete) << ::testing::PrintToString(host.MessageTexts());
    EXPECT_EQ(Result(0), "Complete");
    EXPECT_TRUE(SameBytes(Recorded(ITEM_MAIN, "data"), parts[0]));
    EXPECT_TRUE(SameBytes(Recorded(ITEM_MAIN, "boot"), bootImage));
}

void Nak(CSimConfig& c, const char* kind, int n)
{
    c.nakAt.push_back(CSimPoint{kind, n});
}
void Hold(CSimConfig& c, const char* kind, int n)
{
    c.delays.push_back(CSimDelayRule{CSimPoint{kind, n}, std::chrono::milliseconds(3000)});
}
void Dup(CSimConfig& c, const char* kind, int n)
{
    c.dupAt.push_back(CSimPoint{kind, n});
}

constexpr const char* kWithErrors = "Upgrade finished with errors.";
constexpr const char* kStalled = ScenarioFixture::kStalled;
constexpr const char* kComplete = ScenarioFixture::kComplete;

INSTANTIATE_TEST_SUITE_P(
    Faults, FaultScenario,
    ::testing::Values(
        FaultCase{"NakUpIndex", [](CSimConfig& c) { Nak(c, "up-index", 1); },
                  "ACK UP Index Protocal Result : FALSE!", true},
        FaultCase{"NakBootDown", [](CSimConfig& c) { Nak(c, "boot-down", 1); },
                  "ACK Boot Down Protocal Result : FALSE!", true},
        FaultCase{"NakBootEnd", [](CSimConfig& c) { Nak(c, "boot-end", 1); },
                  "ACK Boot End Protocal Result : FALSE!", true},
        FaultCase{"NakDataDown", [](CSimConfig& c) { Nak(c, "data-down", 2); },
                  "ACK Data Down Protocal Result : FALSE!", true},
        FaultCase{"NakDataEnd", [](CSimConfig& c) { Nak(c, "data-end", 1); },
                  "ACK Data End Protocal Result : FALSE!", true},
        FaultCase{"NakEraseEnd", [](CSimConfig& c) { Nak(c, "erase-end", 1); },
                  "ACK Erase End Protocol Result : FALSE!", true},
        FaultCase{"NakProgramEnd", [](CSimConfig& c) { Nak(c, "program-end", 1); },
                  "ACK Program End Protocol Result : FALSE!", true},
        FaultCase{"EraseFail", [](CSimConfig& c) { c.eraseFailItems.push_back(ITEM_MAIN); }, kWithErrors,
                  false},
        FaultCase{"ProgramFail", [](CSimConfig& c) { c.programFailItems.push_back(ITEM_MAIN); }, kWithErrors,
                  false},
        FaultCase{"QuietDuringDataDownload", [](CSimConfig& c) { Hold(c, "data-down", 2); }, kStalled, true},
        FaultCase{"QuietDuringProgramming", [](CSimConfig& c) { Hold(c, "program-step", 4); }, kStalled,
                  true},
        FaultCase{"SilentFromTheMiddleOfTheDownload",
                  [](CSimConfig& c) {
                      c.silentAt.push_back(CSimPoint{"data-down", 2});
                  },
                  kStalled, false},
        // An answer twice: the second is no answer to anything and changes nothing.
        FaultCase{"DuplicatedProgramEnd", [](CSimConfig& c) { Dup(c, "program-end", 1); }, kComplete, true},
        FaultCase{"DuplicatedBootDownAck", [](CSimConfig& c) { Dup(c, "boot-down", 1); }, kComplete, true},
        FaultCase{"DuplicatedDataEndAck", [](CSimConfig& c) { Dup(c, "data-end", 1); }, kComplete, true},
        // Another request's acknowledgement moves nothing on.
        FaultCase{"BootDownAckForUpIndex",
                  [](CSimConfig& c) {
                      c.wrongCmdAt.push_back(CSimPoint{"up-index", 1});
                  },
                  kStalled, true},
        FaultCase{"FinishAckForDataEnd",
                  [](CSimConfig& c) {
                      c.wrongCmdAt.push_back(CSimPoint{"data-end", 1});
                  },
                  kStalled, true}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(UsbScenario, AfterAnEraseFailAnotherItemCanStillBeUpgraded)
{
    sim.eraseFailItems.push_back(ITEM_MAIN);
    StartTarget();
    LoadParts({20000, 3000});
    Connect();
    SysCheck();
    CheckOnly({IDC_CHECK_MAIN});
    EXPECT_EQ(Upgrade(20s), kWithErrors);
    EXPECT_EQ(host.GetText(IDC_STATIC_ERASE_PERCENT), "0 %");
    EXPECT_EQ(Result(0), "Upgrade fail");
    SysCheck();
    CheckOnly({IDC_CHECK_CIS_M});
    EXPECT_EQ(Upgrade(), kComplete) << ::testing::PrintToString(host.MessageTexts());
    EXPECT_EQ(Result(1), "Complete");
    EXPECT_TRUE(SameBytes(Recorded(ITEM_CIS_M, "data"), parts[1]));
}

} // namespace
