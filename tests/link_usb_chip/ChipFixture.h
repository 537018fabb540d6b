#pragma once
// A whole user scenario over the default USB path: the virtual target sits
// behind an emulated FT232R, and the window reaches it through libftdi1 and
// libusb as on a technician's desk.
#include "EmulatedFtdiChip.h"
#include "ScenarioFixture.h"
#include "TestPaths.h"
#include "UpgradeDlgTestAccess.h"

#include <cstdlib>

namespace chip {

using namespace scenario;

// Skips (or fails, where the emulation is required) without the preload.
inline bool ChipEmulationAvailable()
{
    return CEmulatedFtdiChip::PreloadActive();
}

#define VELUNDA_REQUIRE_CHIP()                                                                               \
    do {                                                                                                     \
        if (!chip::ChipEmulationAvailable()) {                                                               \
            if (std::getenv("VELUNDA_REQUIRE_UMOCKDEV") != nullptr)                                          \
                FAIL() << "the umockdev preload is not active; the emulated FTDI chip is required here";     \
            GTEST_SKIP()                                                                                     \
                << "umockdev's preload (libumockdev-preload.so.0) is not available: install umockdev";       \
        }                                                                                                    \
    } while (0)

class ChipFixture : public ScenarioFixture {
protected:
    void SetUp() override
    {
        VELUNDA_REQUIRE_CHIP();
        bridge = std::make_unique<CEmulatedFtdiChip>();
    }

    ~ChipFixture() override
    {
        // The window lets go of the device before the chip leaves.
        if (dlg)
            State(*dlg).m_UsbLink.CloseUsb(true);
        dlg.reset();
        if (target)
            target->Stop();
        bridge.reset();
    }

    // The target behind a bridge, and the window on the default backend.
    void StartBehindChip(const CChipIdentity& identity = CChipIdentity())
    {
        target = std::make_unique<CQuorinSim>(sim);
        std::string error;
        ASSERT_TRUE(target->Start(error)) << error;
        chipIndex = bridge->Add(identity, target->SlavePath());
        MakeWindow();
    }

    // A Quorin V1 .DAT made by the packer from parts of the given sizes.
    void PackDat(const std::vector<std::size_t>& sizes, const std::filesystem::path& out)
    {
        static const char* const flags[PART_COUNT] = {"--main", "--cis-m", "--cis-s", "--cf", "--ir"};
        std::string command = std::string("'") + TestPath("VELUNDA_PACK") + "' dat --type I_QUORIN --out '" +
                              out.string() + "'";
        for (std::size_t i = 0; i < sizes.size() && i < PART_COUNT; ++i) {
            if (sizes[i] == 0)
                continue;
            parts[i] = Pattern(sizes[i], 10u + static_cast<unsigned>(i));
            const auto file = dir / ("part" + std::to_string(i) + ".bin");
            WriteFileBytes(file, parts[i]);
            command += std::string(" ") + flags[i] + " '" + file.string() + "' " + flags[i] + "-version " +
                       std::to_string(100 + i);
        }
        command += " >'" + (dir / "pack.log").string() + "' 2>&1";
        ASSERT_EQ(std::system(command.c_str()), 0) << command;
    }

    // Every image the target recorded equals the package's part.
    void ExpectRecorded()
    {
        static const int items[PART_COUNT] = {ITEM_MAIN, ITEM_CIS_M, ITEM_CIS_S, ITEM_CF, ITEM_IR};
        for (int i = 0; i < PART_COUNT; ++i) {
            if (parts[i].empty())
                continue;
            EXPECT_TRUE(SameBytes(Recorded(items[i], "data"), parts[i])) << "data of item " << items[i];
            EXPECT_TRUE(SameBytes(Recorded(items[i], "boot"), bootImage)) << "boot of item " << items[i];
        }
    }

    std::string Traces() const { return ::testing::PrintToString(host.Traces()); }

    std::unique_ptr<CEmulatedFtdiChip> bridge;
    int chipIndex = -1;
};

} // namespace chip
