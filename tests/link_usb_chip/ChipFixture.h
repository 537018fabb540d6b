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
        target.reset();
        bridge.reset();
    }

    // The target behind a bridge, and the window on the default backend.
    void StartBehindChip(const CChipIdentity& identity = CChipIdentity())
    {
        target = std::make_unique<CSimTarget>(sim);
        ASSERT_TRUE(target->Started());
        chipIndex = bridge->Add(identity, target->SlavePath());
        MakeWindow();
    }

    std::string Traces() const { return ::testing::PrintToString(host.Traces()); }

    std::unique_ptr<CEmulatedFtdiChip> bridge;
    int chipIndex = -1;
};

} // namespace chip
