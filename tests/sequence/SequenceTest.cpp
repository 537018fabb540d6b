// The reactions of an upgrade run, driven one acknowledgement at a time as
// the USB reader's hand-off delivers them, with the frames they send read
// back from the device.
#include "RecordingWindow.h"
#include "TestBytes.h"
#include "UpgradeDlgTestAccess.h"

#include <chrono>

using namespace seqtest;

namespace {

class SequenceTest : public RecordingWindow {
protected:
    // The reaction to event, as when the run waits for exactly that answer
    // (which answer a run waits for is the scenario tests' business).
    void Ack(int event)
    {
        static const std::pair<int, int> awaits[] = {
            {ACK_UP_INDEX, AWAIT_UP_INDEX},    {ACK_BOOT_DOWN, AWAIT_BOOT_DOWN},
            {ACK_BOOT_END, AWAIT_BOOT_END},    {ACK_DATA_DOWN, AWAIT_DATA_DOWN},
            {ACK_DATA_END, AWAIT_DATA_END},    {ACK_ERASE_STEP, AWAIT_ERASE},
            {ACK_ERASE_END, AWAIT_ERASE},      {ACK_ERASE_FAIL, AWAIT_ERASE},
            {ACK_PROGRAM_STEP, AWAIT_PROGRAM}, {ACK_PROGRAM_END, AWAIT_PROGRAM},
            {ACK_PROGRAM_FAIL, AWAIT_PROGRAM}, {ACK_VERIFY_STEP, AWAIT_VERIFY},
            {ACK_VERIFY_END, AWAIT_VERIFY},    {ACK_UPGRADE_FINISH, AWAIT_FINISH}};
        for (const auto& [e, await] : awaits)
            if (e == event && State(dlg).m_bRunActive != 0)
                State(dlg).m_nAwait = await;
        dlg.OnAckEvent(event);
    }

    // Upgrade Start with the part-image package loaded and every present part checked.
    void Start()
    {
        ASSERT_TRUE(host.IsControlVisible(IDC_CHECK_MAIN));
        host.EnableControl(IDC_BUTTON_UPGRADE_START, true);
        ASSERT_TRUE(host.Click(IDC_BUTTON_UPGRADE_START));
        ASSERT_EQ(State(dlg).m_bRunActive, 1);
    }

    // Acknowledges downloads until Data End goes out; returns every frame sent
    // meanwhile and the percent texts each row showed after each acknowledgement.
    struct Download {
        std::vector<SentFrame> frames;
        std::vector<std::string> bootPercents;
        std::vector<std::string> dataPercents;
    };
    Download RunDownloads()
    {
        Download d;
        auto pump = [&](int ack, std::uint8_t sub, std::vector<std::string>& percents, int percentId) {
            for (int guard = 0; guard < 100000; ++guard) {
                auto frames = TakeSent();
                d.frames.insert(d.frames.end(), frames.begin(), frames.end());
                if (frames.empty()) {
                    ADD_FAILURE() << "the run stopped sending";
                    return;
                }
                if (frames.back().subcommand != sub)
                    return;
                dlg.OnAckEvent(ack);
                percents.push_back(Percent(percentId));
            }
        };
        Ack(ACK_UP_INDEX);
        pump(ACK_BOOT_DOWN, SUB_BOOT_DOWN, d.bootPercents, IDC_STATIC_BOOT_PERCENT);
        EXPECT_EQ(d.frames.back().subcommand, SUB_BOOT_END);
        Ack(ACK_BOOT_END);
        pump(ACK_DATA_DOWN, SUB_DATA_DOWN, d.dataPercents, IDC_STATIC_DATA_PERCENT);
        EXPECT_EQ(d.frames.back().subcommand, SUB_DATA_END);
        return d;
    }

    static Bytes Joined(const std::vector<SentFrame>& frames, std::uint8_t sub, std::size_t* count = nullptr)
    {
        Bytes out;
        std::size_t n = 0;
        for (const auto& f : frames)
            if (f.command == CMD_UPGRADE && f.subcommand == sub) {
                out.insert(out.end(), f.payload.begin(), f.payload.end());
                ++n;
            }
        if (count != nullptr)
            *count = n;
        return out;
    }

    static std::vector<int> UpIndexItems(const std::vector<SentFrame>& frames)
    {
        std::vector<int> items;
        for (const auto& f : frames)
            if (f.command == CMD_UPGRADE && f.subcommand == SUB_REQUEST && f.payload.size() == 1)
                items.push_back(f.payload[0]);
        return items;
    }

    static bool HasFinish(const std::vector<SentFrame>& frames)
    {
        for (const auto& f : frames)
            if (f.command == CMD_FINISH && f.subcommand == SUB_REQUEST)
                return true;
        return false;
    }
};

TEST_F(SequenceTest, AFullyCheckedQuorinV1PackageIsUpgradedMainCisMCisSCfIrThenFinished)
{
    LoadPartImage({10, 10, 10, 10, 10});
    Start();
    EXPECT_EQ(State(dlg).m_vecItemQueue, (std::vector<int>{ITEM_CIS_M, ITEM_CIS_S, ITEM_CF, ITEM_IR}));
    for (int i = 0; i < 5; ++i)
        Ack(ACK_PROGRAM_END);
    const auto frames = Sent();
    EXPECT_EQ(UpIndexItems(frames), (std::vector<int>{ITEM_MAIN, ITEM_CIS_M, ITEM_CIS_S, ITEM_CF, ITEM_IR}));
    ASSERT_FALSE(frames.empty());
    EXPECT_EQ(frames.back().command, CMD_FINISH);
    EXPECT_EQ(frames.back().payload, Bytes{0x01});
    for (int row = 0; row < 5; ++row)
        EXPECT_EQ(Cell(row, 6), "Complete") << row;
}

TEST_F(SequenceTest, AQuorinV2PackageQueuesMainThenCdmAndShowsVerifyOnlyForCdm)
{
    State(dlg).m_nResultType = RESULT_TYPE_QUORIN_V2;
    State(dlg).m_bHasPart[0] = State(dlg).m_bHasPart[1] = 1;
    State(dlg).m_strPartFile[1] = (m_dir / "main.bin").string();
    State(dlg).m_strPartFile[2] = (m_dir / "cdm.bin").string();
    CopyField(State(dlg).m_PartList.slot[1].szName, "MAIN");
    CopyField(State(dlg).m_PartList.slot[2].szName, "CDM");
    dlg.ShowPartChecks();
    dlg.FillPartList();
    Start();
    EXPECT_EQ(State(dlg).m_nCurrentItem, ITEM_MAIN_V2);
    EXPECT_FALSE(host.IsControlVisible(IDC_PROGRESS_VERIFY));
    Ack(ACK_PROGRAM_END);
    EXPECT_EQ(State(dlg).m_nCurrentItem, ITEM_CDM);
    EXPECT_TRUE(host.IsControlVisible(IDC_PROGRESS_VERIFY));
    EXPECT_TRUE(host.IsControlVisible(IDC_STATIC_VERIFY));
    EXPECT_TRUE(host.IsControlVisible(IDC_STATIC_VERIFY_PERCENT));
    EXPECT_EQ(UpIndexItems(Sent()), (std::vector<int>{ITEM_MAIN_V2, ITEM_CDM}));
}

TEST_F(SequenceTest, UpgradeStartWithNothingCheckedAsksForAnItemAndSendsNothing)
{
    LoadPartImage({10, 10, 10, 10, 10});
    for (int id = IDC_CHECK_ALL; id <= IDC_CHECK_IR; ++id)
        host.SetCheck(id, false);
    host.EnableControl(IDC_BUTTON_UPGRADE_START, true);
    host.Click(IDC_BUTTON_UPGRADE_START);
    EXPECT_TRUE(host.HasMessage("Select upgrade item."));
    EXPECT_TRUE(Sent().empty());
    EXPECT_EQ(State(dlg).m_bRunActive, 0);
    EXPECT_TRUE(host.IsControlEnabled(IDC_BUTTON_FILE_LOAD));
    EXPECT_FALSE(host.IsTimerRunning(IDT_STALL));
}

TEST_F(SequenceTest, EventCodesOutsideTheAcknowledgementRangeAreAnsweredWithOneAndIgnored)
{
    LoadPartImage({10, 10, 10, 10, 10});
    Start();
    TakeSent();
    const int item = State(dlg).m_nCurrentItem;
    const auto queue = State(dlg).m_vecItemQueue;
    for (int code : {-1, 0, 199, 217, 1000, WM_ACK_EVENT}) {
        EXPECT_EQ(dlg.OnAckEvent(code), 1) << code;
    }
    EXPECT_TRUE(Sent().empty());
    EXPECT_EQ(State(dlg).m_nCurrentItem, item);
    EXPECT_EQ(State(dlg).m_vecItemQueue, queue);
    EXPECT_TRUE(host.Messages().empty());
}

struct DownloadCase {
    std::size_t dataSize;
    std::size_t bootSize;
    std::size_t dataChunks;
    std::vector<std::string> dataPercents; // after each Data Down acknowledgement
    friend void PrintTo(const DownloadCase& c, std::ostream* os) { *os << c.dataSize << " bytes"; }
};

class DownloadTest : public SequenceTest, public ::testing::WithParamInterface<DownloadCase> {};

TEST_P(DownloadTest, ImagesGoOutInChunksOfAtMost8192BytesWithTruncatedPercentages)
{
    const DownloadCase& c = GetParam();
    LoadPartImage({c.dataSize}, Pattern(c.bootSize, 77));
    if (c.dataSize == 0) { // nothing to check: start the item by hand
        State(dlg).m_bRunActive = 1;
        State(dlg).m_vecItemQueue = {ITEM_MAIN};
        dlg.StartNextItem();
    } else {
        Start();
    }
    const Download d = RunDownloads();

    std::size_t bootChunks = 0;
    const Bytes boot = Joined(d.frames, SUB_BOOT_DOWN, &bootChunks);
    EXPECT_TRUE(SameBytes(boot, bootImage));
    EXPECT_EQ(bootChunks, std::max<std::size_t>(1, (c.bootSize + 8191) / 8192));

    std::size_t dataChunks = 0;
    const Bytes data = Joined(d.frames, SUB_DATA_DOWN, &dataChunks);
    EXPECT_TRUE(SameBytes(data, parts[0]));
    EXPECT_EQ(dataChunks, c.dataChunks);
    for (const auto& f : d.frames)
        EXPECT_LE(f.payload.size(), 8192u);
    EXPECT_EQ(d.dataPercents, c.dataPercents);
    EXPECT_EQ(d.bootPercents.back(), "100 %");
    EXPECT_EQ(State(dlg).m_nDownloadTotal, 0);
    EXPECT_EQ(State(dlg).m_nDownloadSent, 0);

    Ack(ACK_DATA_END);
    EXPECT_EQ(Percent(IDC_STATIC_DATA_PERCENT), "100 %");
}

INSTANTIATE_TEST_SUITE_P(
    Sizes, DownloadTest,
    ::testing::Values(DownloadCase{8192, 8192, 1, {"100 %"}}, DownloadCase{8193, 8193, 2, {"99 %", "100 %"}},
                      DownloadCase{0, 0, 1, {"100 %"}},
                      DownloadCase{3 * 8192 + 5, 1, 4, {"33 %", "66 %", "99 %", "100 %"}}));

TEST_F(SequenceTest, AnEmptyBootFileIsOneEmptyBootDownFrameFollowedByBootEnd)
{
    LoadPartImage({10}, Bytes{});
    Start();
    TakeSent();
    Ack(ACK_UP_INDEX);
    auto frames = TakeSent();
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].subcommand, SUB_BOOT_DOWN);
    EXPECT_TRUE(frames[0].payload.empty());
    Ack(ACK_BOOT_DOWN);
    frames = TakeSent();
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].subcommand, SUB_BOOT_END);
    EXPECT_EQ(Percent(IDC_STATIC_BOOT_PERCENT), "100 %");
}

TEST_F(SequenceTest, DataImagesAbove21MBShowTruePercentages)
{
    LoadPartImage({10});
    Start();
    State(dlg).m_nDownloadTotal = 40'000'000;
    State(dlg).m_nDownloadSent = 30'000'000;
    State(dlg).m_bPartImage = 0; // the file path: nothing is read from the buffer
    State(dlg).m_fileDownload.Close();
    Ack(ACK_DATA_DOWN);
    EXPECT_EQ(Percent(IDC_STATIC_DATA_PERCENT), "75 %");
}

struct EraseCase {
    int item;
    int announced;
    std::vector<std::string> percents;
    bool animates;
    friend void PrintTo(const EraseCase& c, std::ostream* os)
    {
        *os << "item " << c.item << ", " << c.announced << " announced";
    }
};

class EraseTest : public SequenceTest, public ::testing::WithParamInterface<EraseCase> {};

TEST_P(EraseTest, EraseStepsShowTenthsForEveryItemButCdm)
{
    const EraseCase& c = GetParam();
    State(dlg).m_bRunActive = 1;
    State(dlg).m_nCurrentItem = c.item;
    Rx().StepTotal = c.announced;
    Rx().StepCount = 0;
    std::vector<std::string> shown;
    for (std::size_t i = 0; i < c.percents.size(); ++i) {
        Ack(ACK_ERASE_STEP);
        shown.push_back(Percent(IDC_STATIC_ERASE_PERCENT));
    }
    EXPECT_EQ(shown, c.percents);
    EXPECT_EQ(host.IsTimerRunning(IDT_PROGRAM_ANIM), c.animates);
    if (c.animates) {
        EXPECT_EQ(Rx().StepCount, 0);
        EXPECT_EQ(Rx().StepTotal, 0);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Items, EraseTest,
    ::testing::Values(
        EraseCase{ITEM_MAIN,
                  3,
                  {"10 %", "20 %", "30 %", "40 %", "50 %", "60 %", "70 %", "80 %", "90 %", "100 %"},
                  true},
        EraseCase{ITEM_IR,
                  10,
                  {"10 %", "20 %", "30 %", "40 %", "50 %", "60 %", "70 %", "80 %", "90 %", "100 %"},
                  true},
        EraseCase{ITEM_CF,
                  200,
                  {"10 %", "20 %", "30 %", "40 %", "50 %", "60 %", "70 %", "80 %", "90 %", "100 %"},
                  true},
        EraseCase{ITEM_CDM, 3, {"33 %", "66 %"}, false},
        EraseCase{ITEM_CDM, 8, {"12 %", "25 %", "37 %"}, false}));

TEST_F(SequenceTest, StepsWithoutAnnouncedCountLeaveTheirRowAsItIs)
{
    State(dlg).m_bRunActive = 1;
    State(dlg).m_nCurrentItem = ITEM_CDM;
    dlg.SetProgress(PROGRESS_ERASE, 42);
    dlg.SetProgress(PROGRESS_PROGRAM, 43);
    dlg.SetProgress(PROGRESS_VERIFY, 44);
    Rx().StepTotal = 0;
    for (int event : {ACK_ERASE_STEP, ACK_PROGRAM_STEP, ACK_VERIFY_STEP})
        for (int i = 0; i < 3; ++i)
            EXPECT_EQ(dlg.OnAckEvent(event), 1);
    EXPECT_EQ(Percent(IDC_STATIC_ERASE_PERCENT), "42 %");
    EXPECT_EQ(Percent(IDC_STATIC_PROGRAM_PERCENT), "43 %");
    EXPECT_EQ(Percent(IDC_STATIC_VERIFY_PERCENT), "44 %");
}

TEST_F(SequenceTest, ProgramStepsReach100OnTheLastStepExceptForCdm)
{
    for (int item : {ITEM_MAIN, ITEM_CDM}) {
        SCOPED_TRACE(item);
        State(dlg).m_bRunActive = 1;
        State(dlg).m_nCurrentItem = item;
        dlg.ResetProgress(); // as each item starts
        Rx().StepTotal = 4;
        Rx().StepCount = 0;
        std::vector<std::string> shown;
        for (int i = 0; i < 4; ++i) {
            Ack(ACK_PROGRAM_STEP);
            shown.push_back(Percent(IDC_STATIC_PROGRAM_PERCENT));
        }
        if (item == ITEM_CDM) {
            EXPECT_EQ(shown, (std::vector<std::string>{"25 %", "50 %", "75 %", "75 %"}));
            EXPECT_EQ(Rx().StepTotal, 4);
        } else {
            EXPECT_EQ(shown, (std::vector<std::string>{"25 %", "50 %", "75 %", "100 %"}));
            EXPECT_EQ(Rx().StepTotal, 0);
        }
    }
}

TEST_F(SequenceTest, CdmWaitsForVerifyEndBeforeItsResultAndTheNextItem)
{
    State(dlg).m_nResultType = RESULT_TYPE_QUORIN_V2;
    CopyField(State(dlg).m_PartList.slot[2].szName, "CDM");
    dlg.FillPartList();
    State(dlg).m_bRunActive = 1;
    State(dlg).m_nCurrentItem = ITEM_CDM;
    Ack(ACK_PROGRAM_END);
    EXPECT_EQ(Percent(IDC_STATIC_PROGRAM_PERCENT), "100 %");
    EXPECT_TRUE(Sent().empty());
    EXPECT_EQ(Cell(0, 6), "");

    Rx().StepTotal = 2;
    Ack(ACK_VERIFY_STEP);
    EXPECT_EQ(Percent(IDC_STATIC_VERIFY_PERCENT), "50 %");
    Ack(ACK_VERIFY_END);
    EXPECT_EQ(Percent(IDC_STATIC_VERIFY_PERCENT), "100 %");
    EXPECT_EQ(Cell(0, 6), "Complete");
    EXPECT_TRUE(HasFinish(Sent()));
}

TEST_F(SequenceTest, TheProgrammingAnimationClimbsTo99AndWaitsThereForProgramEnd)
{
    LoadPartImage({10});
    Start();
    State(dlg).m_nCurrentItem = ITEM_MAIN;
    Rx().StepTotal = 10;
    for (int i = 0; i < 10; ++i)
        Ack(ACK_ERASE_STEP);
    ASSERT_TRUE(host.IsTimerRunning(IDT_PROGRAM_ANIM));

    // The first tick comes by the real timer.
    EXPECT_TRUE(host.RunUntil([&] { return Percent(IDC_STATIC_PROGRAM_PERCENT) == "1 %"; },
                              std::chrono::milliseconds(1000)));
    for (int expected = 2; expected <= 99; ++expected) {
        ASSERT_TRUE(host.IsTimerRunning(IDT_PROGRAM_ANIM)) << expected;
        dlg.OnTimer(IDT_PROGRAM_ANIM);
        ASSERT_EQ(Percent(IDC_STATIC_PROGRAM_PERCENT), std::to_string(expected) + " %");
    }
    EXPECT_FALSE(host.IsTimerRunning(IDT_PROGRAM_ANIM));
    EXPECT_EQ(host.GetProgressPos(IDC_PROGRESS_PROGRAM), 99);

    Ack(ACK_PROGRAM_END);
    EXPECT_EQ(Percent(IDC_STATIC_PROGRAM_PERCENT), "100 %");
    EXPECT_EQ(Cell(0, 6), "Complete");
}

TEST_F(SequenceTest, ProgramEndStopsARunningAnimation)
{
    LoadPartImage({10});
    Start();
    State(dlg).m_nProgramAnim = 40;
    host.StartTimer(IDT_PROGRAM_ANIM, 75);
    Ack(ACK_PROGRAM_END);
    EXPECT_FALSE(host.IsTimerRunning(IDT_PROGRAM_ANIM));
    EXPECT_EQ(Percent(IDC_STATIC_PROGRAM_PERCENT), "100 %");
}

struct FailureCase {
    const char* name;
    std::vector<int> events; // before Program End
    const char* result;
    const char* endMessage;
    const char* rowTrace;
    friend void PrintTo(const FailureCase& c, std::ostream* os) { *os << c.name; }
};

class FailureTest : public SequenceTest, public ::testing::WithParamInterface<FailureCase> {};

TEST_P(FailureTest, AFailedItemIsNeverReportedAsComplete)
{
    const FailureCase& c = GetParam();
    LoadPartImage({10});
    Start();
    for (int event : c.events)
        Ack(event);
    // Whatever the target says afterwards: after a failure the item is over
    // and this Program End answers nothing.
    dlg.OnAckEvent(ACK_PROGRAM_END);
    EXPECT_EQ(Cell(0, 6), c.result);
    Ack(ACK_UPGRADE_FINISH);
    EXPECT_EQ(host.Messages().back().text, c.endMessage);
    EXPECT_FALSE(host.HasMessage(std::string(c.endMessage) == "Upgrade Complete."
                                     ? "Upgrade finished with errors."
                                     : "Upgrade Complete."));
    if (c.rowTrace[0] != '\0') {
        EXPECT_TRUE(host.HasTrace(c.rowTrace));
    }
    EXPECT_TRUE(host.IsControlEnabled(IDC_BUTTON_FILE_LOAD));
    EXPECT_TRUE(host.IsControlEnabled(IDC_BUTTON_CONNECT));
    EXPECT_TRUE(host.IsControlEnabled(IDC_BUTTON_SYS_CHECK));
    EXPECT_FALSE(host.IsControlEnabled(IDC_BUTTON_UPGRADE_START));
    EXPECT_FALSE(host.IsTimerRunning(IDT_STALL));
}

INSTANTIATE_TEST_SUITE_P(
    Outcomes, FailureTest,
    ::testing::Values(FailureCase{"clean", {ACK_ERASE_END}, "Complete", "Upgrade Complete.", ""},
                      FailureCase{"erase",
                                  {ACK_ERASE_FAIL},
                                  "Upgrade fail",
                                  "Upgrade finished with errors.",
                                  "Erase Progress Step Fail"},
                      FailureCase{"program",
                                  {ACK_PROGRAM_FAIL},
                                  "Upgrade fail",
                                  "Upgrade finished with errors.",
                                  "Program Progress Step Fail"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(SequenceTest, AnItemFinishedWhileTheSerialEraseIsActiveFailsAndTheRunShowsNoCompletion)
{
    LoadPartImage({10, 10});
    Start();
    dlg.SerialReceiver().EraseActive = 1;
    Ack(ACK_PROGRAM_END);
    EXPECT_EQ(Cell(0, 6), "Upgrade fail");
    EXPECT_TRUE(host.HasMessage("Upgrade::Erase Fail!"));
    dlg.SerialReceiver().EraseActive = 0;
    Ack(ACK_PROGRAM_END);
    EXPECT_EQ(Cell(1, 6), "Complete");
    Ack(ACK_UPGRADE_FINISH);
    EXPECT_TRUE(host.HasMessage("Upgrade finished with errors."));
    EXPECT_FALSE(host.HasMessage("Upgrade Complete."));
}

TEST_F(SequenceTest, AQuietTargetEndsTheRunAfterTheStallTimeoutAndLateAcknowledgementsChangeNothing)
{
    LoadPartImage({10, 10});
    Start();
    Ack(ACK_UP_INDEX);
    ASSERT_TRUE(State(dlg).m_fileDownload.IsOpen());
    const auto started = std::chrono::steady_clock::now();
    ASSERT_TRUE(
        host.RunUntil([&] { return host.HasMessage("The machine stopped responding during the upgrade."); },
                      std::chrono::milliseconds(5000)));
    const auto waited = std::chrono::steady_clock::now() - started;
    EXPECT_GE(waited, std::chrono::milliseconds(dlg.Options().stallTimeoutMs - 50));
    EXPECT_EQ(Cell(0, 6), "Upgrade fail");
    EXPECT_EQ(Cell(1, 6), "");
    EXPECT_TRUE(State(dlg).m_vecItemQueue.empty());
    EXPECT_FALSE(State(dlg).m_fileDownload.IsOpen());
    EXPECT_TRUE(host.IsControlEnabled(IDC_BUTTON_FILE_LOAD));
    EXPECT_TRUE(host.IsControlEnabled(IDC_BUTTON_CONNECT));
    EXPECT_TRUE(host.IsControlEnabled(IDC_BUTTON_SYS_CHECK));
    EXPECT_FALSE(host.IsTimerRunning(IDT_STALL));

    TakeSent();
    for (int event : {ACK_BOOT_DOWN, ACK_PROGRAM_END, ACK_VERIFY_END, ACK_UPGRADE_FINISH})
        dlg.OnAckEvent(event);
    EXPECT_TRUE(Sent().empty());
    EXPECT_FALSE(host.HasMessage("Upgrade Complete."));
    EXPECT_EQ(Cell(0, 6), "Upgrade fail");
}

TEST_F(SequenceTest, AnAwaitedAnswerRestartsTheStallCountAndAnUnexpectedOneDoesNot)
{
    LoadPartImage({10});
    Start();
    const int timeout = dlg.Options().stallTimeoutMs;
    auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout * 2);
    while (std::chrono::steady_clock::now() < until) {
        Ack(ACK_ERASE_STEP);
        host.RunFor(std::chrono::milliseconds(timeout / 5));
    }
    EXPECT_FALSE(host.HasMessage("The machine stopped responding during the upgrade."));
    EXPECT_EQ(State(dlg).m_bRunActive, 1);

    // A target that only repeats answers nobody asked for has stalled all the same.
    until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout * 2);
    while (State(dlg).m_bRunActive == 1 && std::chrono::steady_clock::now() < until) {
        dlg.OnAckEvent(ACK_BOOT_DOWN);
        host.RunFor(std::chrono::milliseconds(timeout / 5));
    }
    EXPECT_TRUE(host.HasMessage("The machine stopped responding during the upgrade."));
    EXPECT_TRUE(host.HasTrace("Boot Down unexpected, ignored"));
}

TEST_F(SequenceTest, TheBoardUpgradeEndResetsTheWindowAndReportsCompletion)
{
    LoadPartImage({10});
    host.EnableControl(IDC_BUTTON_CONNECT, true);
    BoardState(dlg).m_bHexEnd = 1;
    dlg.OnBoardUpgradeDone();
    EXPECT_EQ(State(dlg).m_nCurrentItem, ITEM_BOARD);
    EXPECT_EQ(BoardState(dlg).m_bHexEnd, 0);
    EXPECT_EQ(State(dlg).m_nResultType, 0);
    EXPECT_EQ(host.ListRowCount(IDC_LIST_PART), 0);
    EXPECT_FALSE(host.IsControlEnabled(IDC_BUTTON_CONNECT));
    EXPECT_EQ(host.GetText(IDC_BUTTON_CONNECT), "Connect");
    EXPECT_EQ(host.MessageTexts(), std::vector<std::string>{"Upgrade Complete."});
}

} // namespace

namespace {

TEST_F(SequenceTest, ARejectedAnswerDuringARunFailsTheItemWhateverFollows)
{
    LoadPartImage({10});
    Start();
    dlg.OnAckRejected(IAckSink::ERefusal::ResultFalse, "ACK Data End Protocal Result : FALSE!");
    // No request follows a refusal: the run ends with it, at once.
    EXPECT_EQ(host.MessageTexts(), std::vector<std::string>{"ACK Data End Protocal Result : FALSE!"});
    EXPECT_EQ(State(dlg).m_bRunActive, 0);
    EXPECT_EQ(Cell(0, 6), "Upgrade fail");
    EXPECT_TRUE(host.IsControlEnabled(IDC_BUTTON_FILE_LOAD));
    Ack(ACK_PROGRAM_END);
    Ack(ACK_UPGRADE_FINISH);
    EXPECT_EQ(Cell(0, 6), "Upgrade fail");
    EXPECT_EQ(host.MessageTexts().size(), 1u);
}

TEST_F(SequenceTest, ARejectedAnswerOutsideARunOnlyShowsItsMessage)
{
    LoadPartImage({10});
    State(dlg).m_UsbSink.OnCheckerRefusal(IAckSink::ERefusal::DataSize,
                                          "ACK SYS Check Protocol Data Size Err");
    EXPECT_TRUE(host.HasMessage("ACK SYS Check Protocol Data Size Err"));
    EXPECT_EQ(State(dlg).m_bItemFailed, 0);
    EXPECT_EQ(State(dlg).m_bRunFailed, 0);
}

} // namespace

namespace {

TEST_F(SequenceTest, ADataFileThatEndsEarlySendsNoEmptyChunksAndTheRunStandsStill)
{
    LoadPartImage({10});
    Start();
    TakeSent();
    State(dlg).m_bPartImage = 0; // an archive's data file
    const auto file = m_dir / "main.bin";
    WriteFileBytes(file, Pattern(10000, 5));
    State(dlg).m_strPartFile[1] = file.string();
    Ack(ACK_BOOT_END);
    auto frames = TakeSent();
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].payload.size(), 8192u);

    std::filesystem::resize_file(file, 8192); // the file shrinks under the download
    Ack(ACK_DATA_DOWN);
    EXPECT_TRUE(TakeSent().empty());
    EXPECT_TRUE(host.HasTrace("Error : SendFileChunk()"));
    EXPECT_EQ(State(dlg).m_bRunActive, 1); // the stall watch ends it
}

TEST_F(SequenceTest, APartWithoutABufferSendsOneEmptyChunkThenDataEnd)
{
    LoadPartImage({10});
    Start();
    TakeSent();
    State(dlg).m_pPartData[0].reset(); // the section claims bytes the loader did not keep
    Ack(ACK_BOOT_END);
    auto frames = TakeSent();
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].subcommand, SUB_DATA_DOWN);
    EXPECT_TRUE(frames[0].payload.empty());
    Ack(ACK_DATA_DOWN);
    frames = TakeSent();
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].subcommand, SUB_DATA_END);
}

} // namespace
