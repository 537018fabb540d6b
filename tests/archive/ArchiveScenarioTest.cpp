// Whole upgrades from package archives over USB against the virtual target:
// every image it recorded must equal the archive's file byte for byte.
#include "ArchiveTestSupport.h"
#include "UpgradeDlgTestAccess.h"

using namespace archive;

namespace {

class ArchiveUpgrade : public ArchiveFixture {};

TEST_F(ArchiveUpgrade, AQuorinV1ArchiveUpgradesEveryPartFromItsUnpackedFiles)
{
    const char* names[] = {"BH_V1.bin", "SM_V1.bin", "SC_V1.bin", "SS_V1.bin", "SF_V1.bin", "SR_V1.bin"};
    const char* options[] = {"--header", "--main", "--cis-m", "--cis-s", "--cf", "--ir"};
    // Chunk edges: one byte, exactly one chunk, one past it, several chunks.
    const std::size_t sizes[] = {8193, 3 * 8192 + 5, 8192, 1, 20000, 8191};
    Bytes bytes[6];
    std::string args = "--model v1 -o " + Quote((dir / "v1.QVP").string());
    for (int i = 0; i < 6; ++i) {
        bytes[i] = Source(names[i], sizes[i], static_cast<unsigned>(10 + i));
        args += std::string(" ") + options[i] + " " + Quote(Src(names[i]).string());
    }
    ASSERT_EQ(Pack(args), 0) << packOutput;

    StartTarget();
    FileLoad(dir / "v1.QVP");
    ASSERT_TRUE(host.Messages().empty()) << Messages();
    Connect();
    SysCheck();
    EXPECT_EQ(Upgrade(60s), kComplete) << Messages();
    const int items[] = {ITEM_MAIN, ITEM_CIS_M, ITEM_CIS_S, ITEM_CF, ITEM_IR};
    for (int row = 0; row < PART_COUNT; ++row) {
        EXPECT_EQ(Result(row), "Complete") << row;
        EXPECT_TRUE(SameBytes(Recorded(items[row], "data"), bytes[row + 1])) << names[row + 1];
        EXPECT_TRUE(SameBytes(Recorded(items[row], "boot"), bytes[0])) << "boot of " << names[row + 1];
    }
    // A normal end leaves the unpacked files for another run.
    EXPECT_TRUE(std::filesystem::exists(dir / "v1" / "SM_V1.bin"));
    host.CloseWindow();
    EXPECT_FALSE(std::filesystem::exists(dir / "v1"));
}

TEST_F(ArchiveUpgrade, AQuorinV2ArchiveSendsTheCdmBootAndFinishesOnlyAfterVerifyEnd)
{
    const Bytes header = Source("BH_V2.bin", 5000, 1);
    const Bytes main = Source("SM_V2.00.bin", 17000, 2);
    const Bytes cdm = Source("CDM_V1.02.NHB", 9000, 3);
    const Bytes cdmBoot = Source("BC_V1.bin", 4000, 4);
    ASSERT_EQ(Pack("--model v2 -o " + Quote((dir / "v2.QVP").string()) + " --header " +
                   Quote(Src("BH_V2.bin")) + " --main " + Quote(Src("SM_V2.00.bin")) + " --cdm " +
                   Quote(Src("CDM_V1.02.NHB")) + " --cdm-boot " + Quote(Src("BC_V1.bin"))),
              0)
        << packOutput;

    sim.model = 2;
    sim.sysRecord = DefaultSysRecord(2, "123");
    sim.verifySteps = 20;
    StartTarget();
    FileLoad(dir / "v2.QVP");
    ASSERT_TRUE(host.Messages().empty()) << Messages();
    Connect();
    SysCheck();

    host.ClearMessages();
    ASSERT_TRUE(host.Click(IDC_BUTTON_UPGRADE_START));
    bool verifyShownForCdm = false;
    bool verifyShownForMain = false;
    bool finishBeforeVerifyEnd = false;
    const bool ended = WaitFor(
        [&] {
            const bool shown = host.IsControlVisible(IDC_STATIC_VERIFY);
            if (State(*dlg).m_nCurrentItem == ITEM_CDM && shown)
                verifyShownForCdm = true;
            if (State(*dlg).m_nCurrentItem == ITEM_MAIN_V2 && shown && State(*dlg).m_bRunActive != 0)
                verifyShownForMain = true;
            // The window sets the row before it sends; the log is written after.
            if (FramesLog().find("0E 01 1") != std::string::npos &&
                host.GetText(IDC_STATIC_VERIFY_PERCENT) != "100 %")
                finishBeforeVerifyEnd = true;
            return State(*dlg).m_bRunActive == 0 && !host.Messages().empty();
        },
        60s);
    ASSERT_TRUE(ended) << Messages();
    EXPECT_EQ(host.Messages().back().text, kComplete) << Messages();
    EXPECT_TRUE(verifyShownForCdm);
    EXPECT_FALSE(verifyShownForMain);
    EXPECT_FALSE(finishBeforeVerifyEnd);
    EXPECT_EQ(Result(0), "Complete");
    EXPECT_EQ(Result(1), "Complete");
    ExpectV2Recorded(header, main, cdmBoot, cdm);
}

} // namespace
