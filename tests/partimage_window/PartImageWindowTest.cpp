// File Load of part-image packages through the headless host: what the user
// sees in the item boxes, the part list and the message boxes.
#include "DatWriter.h"
#include "TempFolder.h"
#include "UpgradeDlgTestAccess.h"
#include "app/HeadlessHost.h"
#include "window/UpgradeDlg.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <fstream>

namespace fs = std::filesystem;

namespace {

constexpr int kItemBoxes[] = {IDC_CHECK_MAIN, IDC_CHECK_CIS_M, IDC_CHECK_CIS_S, IDC_CHECK_CF, IDC_CHECK_IR};
const char* const kNames[] = {"MAIN", "CIS M", "CIS S", "CF", "IR"};

class PartImageWindow : public testing::Test {
protected:
    void SetUp() override { dlg.OnInitDialog(); }

    std::string Write(const DatPackage& package, const std::string& name,
                      std::size_t keepChars = std::string::npos)
    {
        std::string text;
        std::string error;
        EXPECT_TRUE(BuildDatText(package, text, error)) << error;
        const fs::path path = m_dir / name;
        std::ofstream(path, std::ios::binary)
            .write(text.data(), std::streamsize(std::min(keepChars, text.size())));
        return path.string();
    }

    void FileLoad(const std::string& path)
    {
        host.QueueOpenFileAnswer(path);
        ASSERT_TRUE(host.Click(IDC_BUTTON_FILE_LOAD));
    }

    std::string Cell(int row, int col) const { return host.ListGetCell(IDC_LIST_PART, row, col); }

    CTempFolder m_dir;
    CHeadlessHost host;
    CUpgradeDlg dlg{host};
};

// A Quorin V1 package with every part but CF.
DatPackage PackageWithoutCf()
{
    DatPackage package;
    package.machineType = "I_QUORIN";
    const std::size_t sizes[] = {1000, 20, 333, 0, 64};
    for (int p = 0; p < 5; ++p) {
        if (p == 3) {
            continue;
        }
        package.parts[p].bGiven = true;
        package.parts[p].version = std::to_string(10 + p);
        package.parts[p].data = Pattern(sizes[p], static_cast<std::uint32_t>(p));
    }
    return package;
}

TEST_F(PartImageWindow, PackageLackingCfListsItAsNoneAndDisablesCfAndAll)
{
    const DatPackage package = PackageWithoutCf();
    FileLoad(Write(package, "NO_CF.DAT"));

    EXPECT_EQ(host.MessageTexts(), std::vector<std::string>{});
    EXPECT_FALSE(host.GetCheck(IDC_CHECK_ALL));
    EXPECT_FALSE(host.IsControlEnabled(IDC_CHECK_ALL));
    EXPECT_TRUE(host.IsControlVisible(IDC_CHECK_ALL));
    for (int p = 0; p < 5; ++p) {
        SCOPED_TRACE(kNames[p]);
        EXPECT_TRUE(host.IsControlVisible(kItemBoxes[p]));
        EXPECT_EQ(host.GetCheck(kItemBoxes[p]), p != 3);
        EXPECT_EQ(host.IsControlEnabled(kItemBoxes[p]), p != 3);
    }
    EXPECT_EQ(host.GetText(IDC_CHECK_CIS_M), "CIS M");

    ASSERT_EQ(host.ListRowCount(IDC_LIST_PART), 5);
    for (int p = 0; p < 5; ++p) {
        SCOPED_TRACE(kNames[p]);
        EXPECT_EQ(Cell(p, 0), kNames[p]);
        if (p == 3) {
            EXPECT_EQ(Cell(p, 3), "None");
            EXPECT_EQ(Cell(p, 4), "None");
            EXPECT_EQ(Cell(p, 5), "None");
        } else {
            EXPECT_EQ(Cell(p, 3), "NO_CF.DAT");
            EXPECT_EQ(Cell(p, 4), std::to_string(10 + p));
            EXPECT_EQ(Cell(p, 5), std::to_string(package.parts[p].data.size()) + " byte(s)");
        }
    }
    EXPECT_TRUE(host.IsControlEnabled(IDC_BUTTON_CONNECT));

    // The buffers the upgrade run sends are the part files.
    for (int p = 0; p < 5; ++p) {
        SCOPED_TRACE(kNames[p]);
        ASSERT_EQ(State(dlg).m_bHasPart[p], p != 3 ? 1 : 0);
        ASSERT_EQ(State(dlg).m_Section[p + 1].nSize, package.parts[p].data.size());
        if (p != 3) {
            ASSERT_NE(State(dlg).m_pPartData[p], nullptr);
            EXPECT_EQ(std::vector<std::uint8_t>(State(dlg).m_pPartData[p].get(),
                                                State(dlg).m_pPartData[p].get() +
                                                    State(dlg).m_Section[p + 1].nSize),
                      package.parts[p].data);
        } else {
            EXPECT_EQ(State(dlg).m_pPartData[p], nullptr);
        }
    }
}

TEST_F(PartImageWindow, DamagedPackageShowsItsBoxAndOffersNoPart)
{
    // A good package first, so that the damaged one must clear what it left.
    FileLoad(Write(PackageWithoutCf(), "GOOD.DAT"));
    ASSERT_EQ(host.ListRowCount(IDC_LIST_PART), 5);
    host.ClearMessages();

    FileLoad(Write(PackageWithoutCf(), "CUT.DAT", 2 * (80 + 500)));
    EXPECT_EQ(host.MessageTexts(), std::vector<std::string>{"Upgrade file is damaged."});
    EXPECT_EQ(host.ListRowCount(IDC_LIST_PART), 0);
    for (int p = 0; p < 5; ++p) {
        EXPECT_FALSE(host.GetCheck(kItemBoxes[p])) << kNames[p];
        EXPECT_FALSE(host.IsControlVisible(kItemBoxes[p])) << kNames[p];
        EXPECT_EQ(State(dlg).m_pPartData[p], nullptr) << kNames[p];
    }
    EXPECT_FALSE(host.IsControlEnabled(IDC_BUTTON_CONNECT));
}

TEST_F(PartImageWindow, BadEntryAndUnknownTypeShowTheirBoxes)
{
    DatPackage package = PackageWithoutCf();
    package.tags[3] = "S?";
    FileLoad(Write(package, "BADTAG.DAT"));
    EXPECT_EQ(host.MessageTexts(), std::vector<std::string>{"Bad Making File!"});
    // MAIN and CIS M stay; CIS S, CF and IR are rows without a file.
    ASSERT_EQ(host.ListRowCount(IDC_LIST_PART), 5);
    EXPECT_EQ(Cell(1, 3), "BADTAG.DAT");
    EXPECT_EQ(Cell(2, 3), "None");
    EXPECT_TRUE(host.GetCheck(IDC_CHECK_CIS_M));
    EXPECT_FALSE(host.GetCheck(IDC_CHECK_CIS_S));
    host.ClearMessages();

    package = PackageWithoutCf();
    package.headerCode = "Q_QUORIN";
    FileLoad(Write(package, "TYPE.DAT"));
    EXPECT_EQ(host.MessageTexts(), std::vector<std::string>{"Upgrade file header error!"});
    EXPECT_EQ(host.ListRowCount(IDC_LIST_PART), 0);
}

TEST_F(PartImageWindow, UnreadableFileShowsTheOpenErrorAndListsNothing)
{
    FileLoad(m_dir / "absent.DAT");
    EXPECT_EQ(host.MessageTexts(), std::vector<std::string>{"Open Upfrade File Error!!"});
    EXPECT_EQ(host.ListRowCount(IDC_LIST_PART), 0);
    EXPECT_FALSE(host.IsControlVisible(IDC_CHECK_ALL));
    EXPECT_FALSE(host.IsControlEnabled(IDC_BUTTON_CONNECT));
}

} // namespace
