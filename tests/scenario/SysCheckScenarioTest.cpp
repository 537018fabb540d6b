// The system check against the virtual target, as the window shows it: when
// the serial number frame comes, what an empty or unusual record does, and
// why Upgrade Start stays disabled. velunda-cli runs the same table.
#include "ScenarioFixture.h"
#include "SysCheckScenarios.h"
#include "UpgradeDlgTestAccess.h"

#include <algorithm>

using namespace scenario;
using namespace syscheck;

namespace {

class SysCheckScenarioTest : public ScenarioFixture,
                             public ::testing::WithParamInterface<SysCheckScenario> {};

TEST_P(SysCheckScenarioTest, TheWindowOffersUpgradeStartOrSaysOnceWhyNot)
{
    const SysCheckScenario& c = GetParam();
    sim.sysRecord = c.record;
    sim.serialWhen = c.serialWhen;
    sim.stepDelay = std::chrono::milliseconds(1);
    StartTarget();
    static const char* const kPartNames[PART_COUNT] = {"MAIN", "CIS-M", "CIS-S", "CF", "IR"};
    std::vector<std::size_t> sizes(PART_COUNT, 0);
    for (int i = 0; i < PART_COUNT; ++i)
        if (std::find(c.parts.begin(), c.parts.end(), kPartNames[i]) != c.parts.end())
            sizes[static_cast<std::size_t>(i)] = 1000 + 100 * static_cast<std::size_t>(i);
    LoadParts(sizes, 1000);
    Connect();
    // As velunda-cli does: a frame sent right after the board check is in before
    // Sys Check drops older input.
    WaitFor([&] { return State(*dlg).m_nSerialFrames > 0; }, 500ms);

    ASSERT_TRUE(host.Click(IDC_BUTTON_SYS_CHECK));
    ASSERT_TRUE(WaitFor([&] { return State(*dlg).m_nSysCheckAnswers == 1; }, 5s))
        << ::testing::PrintToString(host.MessageTexts());
    // As long as velunda-cli waits for the serial number frame.
    WaitFor([&] { return State(*dlg).m_nSerialFrames > 0; }, 1s);
    EXPECT_EQ(State(*dlg).m_strTargetSerial, c.serial);
    EXPECT_EQ(host.IsControlEnabled(IDC_BUTTON_UPGRADE_START), c.startAvailable);
    EXPECT_EQ(State(*dlg).m_strStartBlockedReason, c.reason);
    const auto texts = host.MessageTexts();
    if (!c.startAvailable) {
        EXPECT_EQ(std::count(texts.begin(), texts.end(), c.reason), 1) << ::testing::PrintToString(texts);
        EXPECT_TRUE(host.HasTrace("Upgrade Start stays disabled: "));
        return;
    }
    EXPECT_TRUE(texts.empty()) << ::testing::PrintToString(texts);
    EXPECT_EQ(Upgrade(), kComplete) << ::testing::PrintToString(host.MessageTexts());
    for (int row = 0; row < host.ListRowCount(IDC_LIST_PART); ++row)
        EXPECT_EQ(Result(row), "Complete") << row;
}

INSTANTIATE_TEST_SUITE_P(Scenarios, SysCheckScenarioTest, ::testing::ValuesIn(SysCheckScenarios()),
                         [](const auto& info) { return std::string(info.param.name); });

} // namespace
