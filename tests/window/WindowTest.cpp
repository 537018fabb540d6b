// The main window through the headless host: start state, reset, item check
// boxes, part list, progress rows, File Load and close.
#include "UpgradeDlgTestAccess.h"
#include "app/HeadlessHost.h"
#include "window/UpgradeDlg.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace {

constexpr int kItemBoxes[] = {IDC_CHECK_MAIN, IDC_CHECK_CIS_M, IDC_CHECK_CIS_S, IDC_CHECK_CF, IDC_CHECK_IR};
constexpr int kPercentLabels[] = {IDC_STATIC_BOOT_PERCENT, IDC_STATIC_DATA_PERCENT, IDC_STATIC_ERASE_PERCENT,
                                  IDC_STATIC_PROGRAM_PERCENT, IDC_STATIC_VERIFY_PERCENT};
constexpr int kBars[] = {IDC_PROGRESS_BOOT, IDC_PROGRESS_DATA, IDC_PROGRESS_ERASE, IDC_PROGRESS_PROGRAM,
                         IDC_PROGRESS_VERIFY};

class WindowTest : public ::testing::Test {
protected:
    void SetUp() override { dlg.OnInitDialog(); }

    void SetPart(int slot, const char* name, const char* file, const char* version, const char* size)
    {
        CopyField(State(dlg).m_PartList.slot[slot].szName, name);
        CopyField(State(dlg).m_PartList.slot[slot].szFile, file);
        CopyField(State(dlg).m_PartList.slot[slot].szVersion, version);
        CopyField(State(dlg).m_PartList.slot[slot].szSize, size);
    }

    std::string Cell(int row, int col) const { return host.ListGetCell(IDC_LIST_PART, row, col); }

    CHeadlessHost host;
    CUpgradeDlg dlg{host};
};

TEST_F(WindowTest, StartsWithOnlyFileLoadEnabledAndEmptyRows)
{
    EXPECT_EQ(host.GetTitle(), "Velunda [2013.11.06] - Ver1.0.8");
    EXPECT_TRUE(host.IsControlEnabled(IDC_BUTTON_FILE_LOAD));
    EXPECT_FALSE(host.IsControlEnabled(IDC_BUTTON_CONNECT));
    EXPECT_FALSE(host.IsControlEnabled(IDC_BUTTON_SYS_CHECK));
    EXPECT_FALSE(host.IsControlEnabled(IDC_BUTTON_UPGRADE_START));
    for (int id : kPercentLabels)
        EXPECT_EQ(host.GetText(id), "0 %") << id;
    for (int id : kBars)
        EXPECT_EQ(host.ProgressRange(id), (std::pair{0, 100})) << id;

    ASSERT_EQ(host.ComboCount(IDC_COMBO_BAUD), 7);
    EXPECT_EQ(host.ComboItemText(IDC_COMBO_BAUD, host.ComboSelected(IDC_COMBO_BAUD)), "38400");
    EXPECT_EQ(host.ComboItemText(IDC_COMBO_BAUD, 3), "38300");
    EXPECT_EQ(host.ComboCount(IDC_COMBO_PORT), 0);
    EXPECT_EQ(host.ComboItemText(IDC_COMBO_ALLOWED_SERIAL, host.ComboSelected(IDC_COMBO_ALLOWED_SERIAL)),
              "ALL");

    for (int id = IDC_CHECK_ALL; id <= IDC_CHECK_IR; ++id)
        EXPECT_FALSE(host.IsControlVisible(id)) << id;
    EXPECT_FALSE(host.IsControlVisible(IDC_STATIC_UNUSED));

    const char* titles[] = {"Part",     "Target Ver", "Target Status", "File Name",
                            "File Ver", "File Size",  "Result"};
    ASSERT_EQ(host.ListColumnCount(IDC_LIST_PART), 7);
    for (int i = 0; i < 7; ++i)
        EXPECT_EQ(host.ListColumnTitle(IDC_LIST_PART, i), titles[i]);
    EXPECT_EQ(host.ListRowHeight(IDC_LIST_PART), 19);
    EXPECT_NE(g_hSendToBD, nullptr);
}

TEST_F(WindowTest, ResetReturnsToNoPackageButKeepsTheConnection)
{
    State(dlg).m_nResultType = RESULT_TYPE_QUORIN_V1;
    for (auto& f : State(dlg).m_bHasPart)
        f = 1;
    SetPart(1, "MAIN", "a.DAT", "3", "10 byte(s)");
    State(dlg).m_strPartFile[1] = "/tmp/x";
    State(dlg).m_strUnzipFolder = "/tmp/y";
    State(dlg).m_vecItemQueue = {ITEM_MAIN, ITEM_IR};
    dlg.ShowPartChecks();
    dlg.FillPartList();
    dlg.SetProgress(PROGRESS_DATA, 40);
    host.EnableControl(IDC_BUTTON_SYS_CHECK, true);
    host.EnableControl(IDC_BUTTON_UPGRADE_START, true);
    host.SetText(IDC_EDIT_SERIAL, "SN1");
    State(dlg).m_strTargetSerial = "SN1";
    State(dlg).m_bConnected = 1;

    dlg.ResetUpgradeState();

    EXPECT_EQ(host.ListRowCount(IDC_LIST_PART), 0);
    for (int id = IDC_CHECK_ALL; id <= IDC_CHECK_IR; ++id) {
        EXPECT_FALSE(host.IsControlVisible(id)) << id;
        EXPECT_FALSE(host.GetCheck(id)) << id;
    }
    for (int id : kPercentLabels)
        EXPECT_EQ(host.GetText(id), "0 %") << id;
    EXPECT_EQ(host.GetProgressPos(IDC_PROGRESS_DATA), 0);
    EXPECT_FALSE(host.IsControlEnabled(IDC_BUTTON_SYS_CHECK));
    EXPECT_FALSE(host.IsControlEnabled(IDC_BUTTON_UPGRADE_START));
    EXPECT_EQ(host.GetText(IDC_EDIT_SERIAL), "");
    EXPECT_TRUE(State(dlg).m_strTargetSerial.empty());
    EXPECT_TRUE(State(dlg).m_strUnzipFolder.empty());
    EXPECT_TRUE(State(dlg).m_strPartFile[1].empty());
    EXPECT_TRUE(State(dlg).m_vecItemQueue.empty());
    EXPECT_EQ(State(dlg).m_nResultType, 0);
    for (int f : State(dlg).m_bHasPart)
        EXPECT_EQ(f, 0);
    EXPECT_EQ(FieldText(State(dlg).m_PartList.slot[1].szName), "");
    EXPECT_EQ(State(dlg).m_bConnected, 1);
}

struct CheckCase {
    const char* name;
    int model;
    int hasPart[5];
    // Per box ALL, MAIN, CIS M, CIS S, CF, IR: 'c' checked+enabled, 'd' unchecked+disabled, 'h' hidden.
    const char* boxes;
    const char* cisMCaption;
};

class ShowPartChecksTest : public WindowTest, public ::testing::WithParamInterface<CheckCase> {};

TEST_P(ShowPartChecksTest, BoxesFollowThePartsPresent)
{
    const CheckCase& c = GetParam();
    State(dlg).m_nResultType = c.model;
    for (int i = 0; i < 5; ++i)
        State(dlg).m_bHasPart[i] = c.hasPart[i];
    dlg.ShowPartChecks();
    for (int i = 0; i < 6; ++i) {
        const int id = IDC_CHECK_ALL + i;
        switch (c.boxes[i]) {
        case 'c':
            EXPECT_TRUE(host.IsControlVisible(id)) << id;
            EXPECT_TRUE(host.IsControlEnabled(id)) << id;
            EXPECT_TRUE(host.GetCheck(id)) << id;
            break;
        case 'd':
            EXPECT_TRUE(host.IsControlVisible(id)) << id;
            EXPECT_FALSE(host.IsControlEnabled(id)) << id;
            EXPECT_FALSE(host.GetCheck(id)) << id;
            break;
        default:
            EXPECT_FALSE(host.IsControlVisible(id)) << id;
        }
    }
    if (c.cisMCaption) {
        EXPECT_EQ(host.GetText(IDC_CHECK_CIS_M), c.cisMCaption);
    }
}

INSTANTIATE_TEST_SUITE_P(Models, ShowPartChecksTest,
                         ::testing::Values(CheckCase{"v1_all_parts", 1, {1, 1, 1, 1, 1}, "cccccc", "CIS M"},
                                           CheckCase{"v1_without_cf", 1, {1, 1, 1, 0, 1}, "dcccdc", "CIS M"},
                                           CheckCase{
                                               "v1_without_main", 1, {0, 1, 1, 1, 1}, "ddcccc", "CIS M"},
                                           CheckCase{"v2_main_and_cdm", 2, {1, 1, 0, 0, 0}, "ccchhh", "CDM"},
                                           CheckCase{"v2_without_cdm", 2, {1, 0, 0, 0, 0}, "dcdhhh", "CDM"},
                                           CheckCase{"board_package", 3, {1, 0, 0, 0, 0}, "hhhhhh", nullptr}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(WindowTest, CheckAllReachesDisabledBoxesButOnlyThoseOfTheModel)
{
    State(dlg).m_nResultType = RESULT_TYPE_QUORIN_V1;
    State(dlg).m_bHasPart[0] = 1;
    State(dlg).m_bHasPart[1] = 1;
    dlg.ShowPartChecks(); // CIS S, CF, IR unchecked and disabled, ALL disabled
    host.SetCheck(IDC_CHECK_ALL, true);
    dlg.OnCheckAll();
    for (int id : kItemBoxes)
        EXPECT_TRUE(host.GetCheck(id)) << id;
    host.SetCheck(IDC_CHECK_ALL, false);
    dlg.OnCheckAll();
    for (int id : kItemBoxes)
        EXPECT_FALSE(host.GetCheck(id)) << id;

    State(dlg).m_nResultType = RESULT_TYPE_QUORIN_V2;
    host.SetCheck(IDC_CHECK_ALL, true);
    dlg.OnCheckAll();
    EXPECT_TRUE(host.GetCheck(IDC_CHECK_MAIN));
    EXPECT_TRUE(host.GetCheck(IDC_CHECK_CIS_M));
    EXPECT_FALSE(host.GetCheck(IDC_CHECK_CIS_S));

    State(dlg).m_nResultType = RESULT_TYPE_BOARD;
    host.SetCheck(IDC_CHECK_ALL, false);
    dlg.OnCheckAll();
    EXPECT_TRUE(host.GetCheck(IDC_CHECK_MAIN));
}

TEST_F(WindowTest, PartListShowsNoneForEmptyVersionZeroAndZeroBytes)
{
    SetPart(1, "MAIN", "pkg.DAT", "12", "100 byte(s)");
    SetPart(2, "CIS M", "", "0", "0 byte(s)");
    SetPart(3, "", "ignored", "1", "1 byte(s)"); // a slot without a name has no row
    SetPart(4, "CF", "pkg.DAT", "", "");
    SetPart(0, "BOOT", "boot", "1", "1 byte(s)"); // slots 0 and 6 are never shown
    SetPart(6, "BC", "bc", "1", "1 byte(s)");
    dlg.FillPartList();

    ASSERT_EQ(host.ListRowCount(IDC_LIST_PART), 3);
    const char* expected[3][4] = {{"MAIN", "pkg.DAT", "12", "100 byte(s)"},
                                  {"CIS M", "None", "None", "None"},
                                  {"CF", "pkg.DAT", "None", "None"}};
    const int cols[4] = {0, 3, 4, 5};
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 4; ++c)
            EXPECT_EQ(Cell(r, cols[c]), expected[r][c]) << "row " << r << " column " << cols[c];

    // A version such as "0.1" is not the absent mark.
    SetPart(1, "MAIN", "pkg.DAT", "0.1", "10 byte(s)");
    dlg.FillPartList();
    EXPECT_EQ(Cell(0, 4), "0.1");
}

TEST_F(WindowTest, ProgressTextsCarryOneBlankBeforeThePercentSign)
{
    dlg.SetProgress(PROGRESS_ERASE, 5);
    EXPECT_EQ(host.GetText(IDC_STATIC_ERASE_PERCENT), "5 %");
    EXPECT_EQ(host.GetProgressPos(IDC_PROGRESS_ERASE), 5);
    dlg.CompleteProgress(PROGRESS_VERIFY);
    EXPECT_EQ(host.GetText(IDC_STATIC_VERIFY_PERCENT), "100 %");
    EXPECT_EQ(host.GetProgressPos(IDC_PROGRESS_VERIFY), 100);
    dlg.SetProgress(PROGRESS_PROGRAM, 77);
    dlg.FailProgress(PROGRESS_PROGRAM);
    EXPECT_EQ(host.GetText(IDC_STATIC_PROGRAM_PERCENT), "0 %");
    EXPECT_EQ(host.GetProgressPos(IDC_PROGRESS_PROGRAM), 0);
    EXPECT_TRUE(host.HasTrace("Program Progress Step Fail"));

    // Only the five step codes are accepted.
    dlg.SetProgress(45, 50);
    for (int id : kPercentLabels)
        EXPECT_NE(host.GetText(id), "50 %");

    dlg.ShowProgressRow(IDC_STATIC_VERIFY, IDC_PROGRESS_VERIFY, IDC_STATIC_VERIFY_PERCENT, false);
    EXPECT_FALSE(host.IsControlVisible(IDC_PROGRESS_VERIFY));
    dlg.ResetProgress();
    EXPECT_TRUE(host.IsControlVisible(IDC_PROGRESS_VERIFY));
    EXPECT_EQ(host.GetText(IDC_STATIC_VERIFY_PERCENT), "0 %");
}

TEST_F(WindowTest, FileLoadOffersTheUpgradeFilterAndCancelLeavesNoPackage)
{
    host.QueueOpenFileAnswer(std::nullopt);
    ASSERT_TRUE(host.Click(IDC_BUTTON_FILE_LOAD));
    ASSERT_EQ(host.FileDialogs().size(), 1u);
    EXPECT_EQ(host.FileDialogs()[0].defaultExtension, "*.QVP");
    EXPECT_EQ(host.FileDialogs()[0].filter, "Upgrade packages (*.DAT *.QVP)|*.DAT;*.QVP|All files (*)|*|");
    EXPECT_TRUE(host.FileDialogs()[0].hideReadOnly);
    EXPECT_TRUE(host.FileDialogs()[0].initialDir.empty());
    EXPECT_FALSE(host.IsControlEnabled(IDC_BUTTON_CONNECT));
    EXPECT_EQ(host.GetText(IDC_BUTTON_CONNECT), "Connect");
    EXPECT_TRUE(host.Messages().empty());
    EXPECT_TRUE(State(dlg).m_strUpgradeFile.empty());

    // The next dialog opens in the folder of the package chosen last.
    host.QueueOpenFileAnswer(std::string("/nonexistent/folder/x.zip"));
    host.Click(IDC_BUTTON_FILE_LOAD);
    host.Click(IDC_BUTTON_FILE_LOAD);
    ASSERT_EQ(host.FileDialogs().size(), 3u);
    EXPECT_EQ(host.FileDialogs()[2].initialDir, "/nonexistent/folder");
}

TEST_F(WindowTest, FileLoadRefusesAnotherExtensionAndKeepsConnectDisabled)
{
    host.QueueOpenFileAnswer(std::string("/tmp/x.zip"));
    host.Click(IDC_BUTTON_FILE_LOAD);
    EXPECT_EQ(host.MessageTexts(), std::vector<std::string>{"Upgrade formats of file is not!"});
    EXPECT_FALSE(host.IsControlEnabled(IDC_BUTTON_CONNECT));
    EXPECT_EQ(host.ComboCount(IDC_COMBO_PORT), 0);
}

TEST_F(WindowTest, FileLoadTakesALowerCaseQvpAsAnArchive)
{
    host.QueueOpenFileAnswer(std::string("/nonexistent/x.qvp"));
    host.Click(IDC_BUTTON_FILE_LOAD);
    EXPECT_FALSE(host.HasMessage("Upgrade formats of file is not!"));
    EXPECT_EQ(State(dlg).m_bPartImage, 0);
}

TEST_F(WindowTest, ClosingWithoutEverConnectingRemovesNothing)
{
    const auto marker = std::filesystem::temp_directory_path() / "velunda-window-close-marker";
    std::filesystem::create_directories(marker);
    dlg.OnClose();
    EXPECT_EQ(g_hSendToBD, nullptr);
    EXPECT_EQ(State(dlg).m_pSendToBD, nullptr);
    EXPECT_TRUE(host.Ended());
    EXPECT_TRUE(host.Messages().empty());
    EXPECT_TRUE(std::filesystem::exists(marker));
    std::filesystem::remove(marker);
}

} // namespace
