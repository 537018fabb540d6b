// The system check: the record's groups against the item boxes and the
// Target Status column, the serial number frame, and the package match check.
#include "RecordingWindow.h"
#include "UpgradeDlgTestAccess.h"

#include <algorithm>
#include <cstring>
#include <memory>

using namespace seqtest;

namespace {

constexpr int kColTargetVer = 1;
constexpr int kColStatus = 2;

class SysCheckTest : public RecordingWindow {
protected:
    // A package of the model with the given part rows; every part file
    // exists and every item box starts disabled and unchecked.
    void Package(int model, const std::vector<const char*>& rows)
    {
        State(dlg).m_nResultType = model;
        State(dlg).m_bPartImage = 0;
        int slot = 1;
        for (const char* name : rows) {
            CopyField(State(dlg).m_PartList.slot[slot].szName, name);
            State(dlg).m_strPartFile[slot] = (m_dir / (std::string(name) + ".bin")).string();
            ++slot;
        }
        dlg.FillPartList();
        for (int id = IDC_CHECK_ALL; id <= IDC_CHECK_IR; ++id) {
            host.ShowControl(id, true);
            host.EnableControl(id, false);
            host.SetCheck(id, false);
        }
        host.SetText(IDC_STATIC_BOARD_VER, "old");
    }

    std::string Status(const std::string& part) const
    {
        for (int row = 0; row < host.ListRowCount(IDC_LIST_PART); ++row)
            if (Cell(row, 0) == part)
                return Cell(row, kColStatus);
        return "<no row>";
    }

    void Show(const std::string& record)
    {
        ASSERT_EQ(record.size(), 21u);
        dlg.ShowSysCheckResult(reinterpret_cast<const std::uint8_t*>(record.data()));
    }

    struct Box {
        bool enabled;
        bool checked;
        bool operator==(const Box&) const = default;
    };
    Box BoxOf(int id) const { return {host.IsControlEnabled(id), host.GetCheck(id)}; }
};

const std::vector<const char*> kV1Rows = {"MAIN", "CIS M", "CIS S", "CF", "IR"};
const std::vector<const char*> kV2Rows = {"MAIN", "CDM"};

struct RecordCase {
    const char* name;
    int model;
    const char* record;
    // Expected after the record: per row name its status, per box its state.
    std::vector<std::pair<const char*, const char*>> statuses;
    std::vector<std::pair<int, bool>> checkedAndEnabled; // true: checked+enabled, false: unchecked+disabled
    bool allDisabled;
    const char* boardVersion;
    friend void PrintTo(const RecordCase& c, std::ostream* os) { *os << c.record; }
};

class RecordTest : public SysCheckTest, public ::testing::WithParamInterface<RecordCase> {};

TEST_P(RecordTest, TheRecordMarksPartsOfTheLoadedModelOnly)
{
    const RecordCase& c = GetParam();
    Package(c.model, c.model == RESULT_TYPE_QUORIN_V1 ? kV1Rows : kV2Rows);
    if (c.allDisabled == false)
        host.EnableControl(IDC_CHECK_ALL, true);
    Show(c.record);
    for (const auto& [row, status] : c.statuses)
        EXPECT_EQ(Status(row), status) << row;
    for (const auto& [id, on] : c.checkedAndEnabled)
        EXPECT_EQ(BoxOf(id), (Box{on, on})) << id;
    if (c.allDisabled) {
        EXPECT_EQ(BoxOf(IDC_CHECK_ALL), (Box{false, false}));
    }
    EXPECT_EQ(host.GetText(IDC_STATIC_BOARD_VER), c.boardVersion);
}

INSTANTIATE_TEST_SUITE_P(Records, RecordTest,
                         ::testing::Values(RecordCase{"AllPresent",
                                                      RESULT_TYPE_QUORIN_V1,
                                                      "YYYYYYYYYYYYYYYYYY123",
                                                      {{"IR", "Active"},
                                                       {"CF", "Active"},
                                                       {"CIS M", "Active"},
                                                       {"CIS S", "Active"},
                                                       {"MAIN", "Active"}},
                                                      {{IDC_CHECK_IR, true},
                                                       {IDC_CHECK_CF, true},
                                                       {IDC_CHECK_CIS_M, true},
                                                       {IDC_CHECK_CIS_S, true},
                                                       {IDC_CHECK_MAIN, true}},
                                                      false,
                                                      "123"},
                                           RecordCase{"AnAbsentMarkWinsInItsGroup",
                                                      RESULT_TYPE_QUORIN_V1,
                                                      "NYYYYYYYYYYYYYYYYY4.2",
                                                      {{"IR", "None"}, {"CF", "Active"}},
                                                      {{IDC_CHECK_IR, false}, {IDC_CHECK_CF, true}},
                                                      true,
                                                      "4.2"},
                                           RecordCase{"ABoardVersionOfNnnKeepsTheLabel",
                                                      RESULT_TYPE_QUORIN_V1,
                                                      "YYYYYYYYYYYYYYYNNNNNN",
                                                      {{"MAIN", "Active"}},
                                                      {{IDC_CHECK_MAIN, true}},
                                                      false,
                                                      "old"},
                                           RecordCase{"ABoardVersionWithOneOtherCharacterIsShown",
                                                      RESULT_TYPE_QUORIN_V1,
                                                      "YYYYYYYYYYYYYYYNNNNN1",
                                                      {},
                                                      {},
                                                      false,
                                                      "NN1"},
                                           RecordCase{"QuorinV2LooksOnlyAtMainAndCdm",
                                                      RESULT_TYPE_QUORIN_V2,
                                                      "YYYYYYNNNYYYYYYYYY123",
                                                      {{"MAIN", "Active"}, {"CDM", "Active"}},
                                                      {{IDC_CHECK_MAIN, true}, {IDC_CHECK_CIS_M, true}},
                                                      false,
                                                      "123"},
                                           RecordCase{"QuorinV2WithoutMain",
                                                      RESULT_TYPE_QUORIN_V2,
                                                      "YYYYYYYYYYYYNNNYYY123",
                                                      {{"MAIN", "None"}, {"CDM", "Active"}},
                                                      {{IDC_CHECK_MAIN, false}, {IDC_CHECK_CIS_M, true}},
                                                      true,
                                                      "123"},
                                           RecordCase{
                                               "CharactersOtherThanYAndNMeanNothing",
                                               RESULT_TYPE_QUORIN_V1,
                                               "yyy???nnnYYYYYYYYY123",
                                               {{"IR", ""}, {"CF", ""}, {"CIS M", ""}, {"CIS S", "Active"}},
                                               {{IDC_CHECK_IR, false}, {IDC_CHECK_CIS_S, true}},
                                               false,
                                               "123"}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(SysCheckTest, APresentPartWithoutItsFileIsNotOffered)
{
    Package(RESULT_TYPE_QUORIN_V1, kV1Rows);
    State(dlg).m_strPartFile[5].clear(); // IR
    Show("YYYYYYYYYYYYYYYYYY123");
    EXPECT_EQ(BoxOf(IDC_CHECK_IR), (Box{false, false}));
    EXPECT_EQ(Status("IR"), "Active");
}

TEST_F(SysCheckTest, TheSystemCheckNeverUnchecksAPresentPart)
{
    Package(RESULT_TYPE_QUORIN_V1, kV1Rows);
    host.EnableControl(IDC_CHECK_MAIN, true);
    host.SetCheck(IDC_CHECK_MAIN, false); // the user's choice
    Show("YYYYYYYYYYYYYYYYYY123");
    EXPECT_EQ(BoxOf(IDC_CHECK_MAIN), (Box{true, false}));
}

TEST_F(SysCheckTest, TargetStatusGoesToTheFirstRowOfThatNameOnly)
{
    Package(RESULT_TYPE_QUORIN_V1, {"MAIN", "MAIN"});
    dlg.SetTargetStatus("MAIN", "Active");
    dlg.SetTargetStatus("nowhere", "None");
    EXPECT_EQ(Cell(0, kColStatus), "Active");
    EXPECT_EQ(Cell(1, kColStatus), "");
}

struct MatchCase {
    int cisM;
    int cisS;
    const char* row1;
    const char* row2;
    bool startBefore;
    bool startAfter;
    bool mismatch;
    // The record the rows came from ('.' for a NUL byte) and the reason given
    // when Upgrade Start stays disabled.
    const char* record;
    const char* reason;
    friend void PrintTo(const MatchCase& c, std::ostream* os)
    {
        *os << "CIS M " << c.cisM << ", CIS S " << c.cisS << ", rows '" << c.row1 << "' '" << c.row2 << "'";
    }
};

constexpr const char* kBothPresent = "YYYYYYYYYYYYYYYNNN123";
constexpr const char* kCisSAbsent = "YYYYYYYYYNNNYYYNNN123";
constexpr const char* kNoReason = "";
constexpr const char* kCisMismatch =
    "Upgrade Start is not available: this package's CIS parts do not suit this machine.";
constexpr const char* kCisSAlone =
    "Upgrade Start is not available: a package with CIS S but without CIS M suits no machine.";

class MatchTest : public SysCheckTest, public ::testing::WithParamInterface<MatchCase> {};

TEST_P(MatchTest, UpgradeStartFollowsTheCisPartsOfPackageAndMachine)
{
    const MatchCase& c = GetParam();
    Package(RESULT_TYPE_QUORIN_V1, kV1Rows);
    State(dlg).m_bHasPart[0] = 1;
    State(dlg).m_bHasPart[1] = c.cisM;
    State(dlg).m_bHasPart[2] = c.cisS;
    const std::string record = WithNuls(c.record);
    std::copy(record.begin(), record.end(), State(dlg).m_SysRecord);
    host.ListSetCell(IDC_LIST_PART, 1, kColStatus, c.row1);
    host.ListSetCell(IDC_LIST_PART, 2, kColStatus, c.row2);
    host.EnableControl(IDC_BUTTON_UPGRADE_START, c.startBefore);
    dlg.CheckMachineType();
    EXPECT_EQ(host.IsControlEnabled(IDC_BUTTON_UPGRADE_START), c.startAfter);
    EXPECT_EQ(dlg.Offers(CUpgradeDlg::EOperation::Start), c.startAfter); // the front ends' gate
    EXPECT_EQ(host.HasMessage("Machine type and the file type does not match!"), c.mismatch);
    EXPECT_EQ(State(dlg).m_strStartBlockedReason, c.reason);
    EXPECT_EQ(host.HasMessage(c.reason), c.reason[0] != '\0');
}

INSTANTIATE_TEST_SUITE_P(
    Table, MatchTest,
    ::testing::Values(
        MatchCase{0, 0, "None", "None", false, true, false, "NNNNNNNNNNNNYYYNNN123", kNoReason},
        MatchCase{0, 0, "Active", "Active", false, true, false, kBothPresent, kNoReason},
        MatchCase{1, 1, "Active", "Active", false, true, false, kBothPresent, kNoReason},
        MatchCase{1, 1, "Active", "None", true, false, true, kCisSAbsent, kCisMismatch},
        MatchCase{1, 1, "active", "Active", true, false, true, kBothPresent, kCisMismatch},
        MatchCase{1, 0, "Active", "Active", true, false, true, kBothPresent, kCisMismatch},
        MatchCase{1, 0, "Active", "None", false, true, false, kCisSAbsent, kNoReason},
        MatchCase{1, 0, "", "", false, true, false, ".....................", kNoReason},
        MatchCase{0, 1, "Active", "Active", false, false, false, kBothPresent, kCisSAlone},
        MatchCase{0, 1, "None", "None", true, true, false, kCisSAbsent, kNoReason},
        // Neither 'Y' nor 'N' where the package's parts are: the machine said nothing about them.
        MatchCase{1, 1, "", "", true, false, true, "yyyNNN??????...NNN123",
                  "Upgrade Start is not available: the machine reports none of the package's parts."},
        MatchCase{
            1, 1, "", "", false, false, true, "YYYYYY......YYYNNN123",
            "Upgrade Start is not available: the machine does not say whether it has CIS M and CIS S."}));

TEST_F(SysCheckTest, TheReasonIsGivenOncePerSystemCheckAndTheTraceNamesTheRecordCharacters)
{
    Package(RESULT_TYPE_QUORIN_V1, kV1Rows);
    State(dlg).m_bHasPart[0] = State(dlg).m_bHasPart[1] = State(dlg).m_bHasPart[2] = 1;
    CAckReceiver& rx = Rx();
    rx.SetSink(nullptr);
    const std::string record = WithNuls("YYYYYYYYY.NNYYYNNN123");
    const Bytes frame =
        BuildFrame(CMD_SYS_CHECK, SUB_ACK, reinterpret_cast<const std::uint8_t*>(record.data()), 21);
    const auto reasons = [&] {
        const auto texts = host.MessageTexts();
        return std::count(texts.begin(), texts.end(), std::string(kCisMismatch));
    };
    host.EnableControl(IDC_BUTTON_SYS_CHECK, true);
    host.Click(IDC_BUTTON_SYS_CHECK);
    for (int answer = 0; answer < 2; ++answer) { // a repeated answer to the same check
        rx.ParseReceived(frame.data(), frame.size());
        dlg.OnAckEvent(ACK_SYS_CHECK);
    }
    EXPECT_EQ(reasons(), 1);
    EXPECT_EQ(State(dlg).m_nSysCheckAnswers, 2);
    EXPECT_TRUE(host.HasTrace("CIS M \"YYY\" CIS S \"\\x00NN\"")) << ::testing::PrintToString(host.Traces());
    host.Click(IDC_BUTTON_SYS_CHECK);
    rx.ParseReceived(frame.data(), frame.size());
    dlg.OnAckEvent(ACK_SYS_CHECK);
    EXPECT_EQ(reasons(), 2);
    EXPECT_FALSE(host.IsControlEnabled(IDC_BUTTON_UPGRADE_START));
}

TEST_F(SysCheckTest, MissingRowsReadAsNotActive)
{
    Package(RESULT_TYPE_QUORIN_V1, {"MAIN"});
    State(dlg).m_bHasPart[1] = State(dlg).m_bHasPart[2] = 1;
    host.EnableControl(IDC_BUTTON_UPGRADE_START, true);
    dlg.CheckMachineType();
    EXPECT_FALSE(host.IsControlEnabled(IDC_BUTTON_UPGRADE_START));
    EXPECT_TRUE(host.HasMessage("Machine type and the file type does not match!"));
}

// The payload exactly as long as the frame said, so that a read past it is caught.
std::unique_ptr<std::uint8_t[]> Payload(const std::string& text)
{
    auto p = std::make_unique<std::uint8_t[]>(text.size());
    std::memcpy(p.get(), text.data(), text.size());
    return p;
}

struct SerialCase {
    const char* name;
    std::string text;
    const char* serial;
    std::vector<std::string> versions;
    friend void PrintTo(const SerialCase& c, std::ostream* os) { *os << c.name; }
};

class SerialTest : public SysCheckTest, public ::testing::WithParamInterface<SerialCase> {};

TEST_P(SerialTest, TheSerialTextIsReadOnlyAsFarAsItReaches)
{
    const SerialCase& c = GetParam();
    Package(RESULT_TYPE_QUORIN_V1, kV1Rows);
    const auto payload = Payload(c.text);
    dlg.OnSerialVersionAck(payload.get(), static_cast<int>(c.text.size()));
    EXPECT_EQ(State(dlg).m_strTargetSerial, c.serial);
    EXPECT_EQ(host.GetText(IDC_EDIT_SERIAL), c.serial);
    for (int i = 0; i < PART_COUNT; ++i)
        EXPECT_EQ(State(dlg).m_strTargetVersion[i], c.versions[static_cast<std::size_t>(i)]) << i;
}

INSTANTIATE_TEST_SUITE_P(
    Texts, SerialTest,
    ::testing::Values(SerialCase{"Full",
                                 "##AB12##1.0.011.0.021.0.031.0.041.0.05",
                                 "AB12",
                                 {"1.0.01", "1.0.02", "1.0.03", "1.0.04", "1.0.05"}},
                      SerialCase{"Short", "##AB12##1.0.011.0", "AB12", {"1.0.01", "1.0", "", "", ""}},
                      SerialCase{"NoClosingSeparator", "#-XYZ1234567", "", {"YZ1234", "567", "", "", ""}},
                      SerialCase{"OneByte", "x", "", {"", "", "", "", ""}},
                      SerialCase{"SeparatorOnly", "##", "", {"", "", "", "", ""}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(SysCheckTest, SerialVersionsFillTargetVerPerRowAndCdmJoinsThree)
{
    Package(RESULT_TYPE_QUORIN_V2, {"MAIN", "CDM"});
    const std::string text = "##AB12##1.0.011.0.021.0.031.0.041.0.05";
    const auto payload = Payload(text);
    host.ListSetCell(IDC_LIST_PART, 0, kColStatus, "Active");
    dlg.OnSerialVersionAck(payload.get(), static_cast<int>(text.size()));
    EXPECT_EQ(Cell(0, kColTargetVer), "1.0.01");
    EXPECT_EQ(Cell(1, kColTargetVer), "1.0.02-1.0.04-1.0.05");
    EXPECT_EQ(Cell(0, kColStatus), ""); // the list was rebuilt
}

TEST_F(SysCheckTest, ASerialPayloadStartingWithZeroOnlyRebuildsTheList)
{
    Package(RESULT_TYPE_QUORIN_V1, kV1Rows);
    State(dlg).m_strTargetSerial = "KEEP";
    host.ListSetCell(IDC_LIST_PART, 0, kColStatus, "Active");
    const std::uint8_t zero[] = {0x00, '#', '#'};
    dlg.OnSerialVersionAck(zero, 3);
    EXPECT_EQ(State(dlg).m_strTargetSerial, "KEEP");
    EXPECT_EQ(Cell(0, kColStatus), "");
    EXPECT_TRUE(host.HasTrace("** Serial Number & Version Data None"));
}

TEST_F(SysCheckTest, SysCheckSendsTheModelCodeAndClearsTheSerialField)
{
    Package(RESULT_TYPE_QUORIN_V2, kV2Rows);
    host.SetText(IDC_EDIT_SERIAL, "AB12");
    dlg.SetProgress(PROGRESS_DATA, 50);
    host.EnableControl(IDC_BUTTON_SYS_CHECK, true);
    host.Click(IDC_BUTTON_SYS_CHECK);
    EXPECT_EQ(host.GetText(IDC_EDIT_SERIAL), "");
    EXPECT_EQ(Percent(IDC_STATIC_DATA_PERCENT), "0 %");
    const auto frames = Sent();
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].command, CMD_SYS_CHECK);
    EXPECT_EQ(frames[0].subcommand, SUB_REQUEST);
    EXPECT_EQ(frames[0].payload, Bytes{RESULT_TYPE_QUORIN_V2});
}

TEST_F(SysCheckTest, SysCheckWithoutAConnectionSaysSoAndSendsNothing)
{
    Package(RESULT_TYPE_QUORIN_V1, kV1Rows);
    State(dlg).m_bConnected = 0;
    dlg.OnButtonSysCheck();
    EXPECT_TRUE(host.HasMessage("Not Connect."));
    EXPECT_TRUE(Sent().empty());
}

TEST_F(SysCheckTest, TheSysCheckAcknowledgementShowsTheRecordThenDecidesUpgradeStart)
{
    Package(RESULT_TYPE_QUORIN_V1, kV1Rows);
    State(dlg).m_bHasPart[1] = State(dlg).m_bHasPart[2] = 1;
    // What the reader leaves in the link's record before the hand-off.
    CAckReceiver& rx = Rx();
    const std::string record = "YYYYYYYYYYYYYYYYYY123";
    Bytes frame =
        BuildFrame(CMD_SYS_CHECK, SUB_ACK, reinterpret_cast<const std::uint8_t*>(record.data()), 21);
    rx.SetSink(nullptr); // the reader has nothing to read; only this thread parses

    rx.ParseReceived(frame.data(), frame.size());
    ASSERT_EQ(rx.packet().length, 21);
    dlg.OnAckEvent(ACK_SYS_CHECK);
    EXPECT_EQ(Status("CIS M"), "Active");
    EXPECT_EQ(Status("CIS S"), "Active");
    EXPECT_TRUE(host.IsControlEnabled(IDC_BUTTON_UPGRADE_START));
    EXPECT_EQ(host.GetText(IDC_STATIC_BOARD_VER), "123");
}

} // namespace
