// The default backend (libftdi1 over libusb) against an emulated FT232R.
#include "ChipFixture.h"

namespace chip {
namespace {

using ChipRun = ChipFixture;

TEST_F(ChipRun, AFullQuorinV1DatUpgradeCarriesEveryImageThroughTheChip)
{
    // Around the chunk size: one chunk exactly, one byte more, one byte.
    PackDat({20000, 8192, 8193, 1, 5000}, dir / "pkg.DAT");
    StartBehindChip();
    PutBootFile("V1.10.OHH", Pattern(8192, 2));
    FileLoad(dir / "pkg.DAT");
    ASSERT_TRUE(host.Messages().empty()) << ::testing::PrintToString(host.MessageTexts());
    Connect();
    SysCheck();
    EXPECT_EQ(host.GetText(IDC_EDIT_SERIAL), "QV2024001");
    EXPECT_EQ(Upgrade(), kComplete) << ::testing::PrintToString(host.MessageTexts()) << Traces();
    for (int row = 0; row < PART_COUNT; ++row)
        EXPECT_EQ(Result(row), "Complete") << row;
    ExpectRecorded();
    // Every byte went over the emulated USB, not around it.
    EXPECT_GT(bridge->BytesOut(chipIndex), 20000u + 8192 + 8193 + 1 + 5000);
    EXPECT_GT(bridge->DataUrbs(chipIndex), 0);
}

} // namespace
} // namespace chip
