#pragma once
// A whole user scenario: the virtual target on a pty of its own, the main
// window behind the headless host reaching it through the tty backend, and
// a temporary folder per test that is also the window's start-up folder
// (its Boot folder lives there) and holds the target's recordings.
//
// Usage: configure sim (a CSimConfig) in the test or in SetUp, then call
// StartTarget(); the window exists from then on. Helpers click through the
// window as a user would and wait with the real timers.
#include "SimTarget.h"
#include "TempFolder.h"
#include "TestPackages.h"
#include "UpgradeDlgTestAccess.h"
#include "app/HeadlessHost.h"
#include "window/UpgradeDlg.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace scenario {

using namespace std::chrono_literals;

class ScenarioFixture : public ::testing::Test {
public:
    static constexpr const char* kComplete = "Upgrade Complete.";
    static constexpr const char* kStalled = "The machine stopped responding during the upgrade.";

protected:
    ScenarioFixture()
    {
        sim.recordDir = (dir / "target").string();
        sim.sysRecord = DefaultSysRecord(1, "123");
        sim.serialText =
            BuildSerialText("##", "QV2024001", {"1.0.01", "1.0.02", "1.0.03", "1.0.04", "1.0.05"});
        options.stallTimeoutMs = 1500;
    }

    ~ScenarioFixture() override
    {
        if (dlg)
            State(*dlg).m_UsbLink.CloseUsb(true);
        dlg.reset();
        target.reset();
    }

    // Starts the target with sim and builds the window on its pty.
    void StartTarget()
    {
        target = std::make_unique<CSimTarget>(sim);
        ASSERT_TRUE(target->Started());
        options.usbTty = target->SlavePath();
        MakeWindow();
    }

    // The window alone, with options as they are (no target: the libftdi backend).
    void MakeWindow()
    {
        dlg = std::make_unique<CUpgradeDlg>(host, options);
        dlg->OnInitDialog();
        // The start-up folder is the test's own, wherever the process runs.
        State(*dlg).m_szStartDir = dir.string();
    }

    // A Quorin V1 part-image package as its loader leaves the window, with
    // the boot file in the Boot folder. sizes: MAIN, CIS M, CIS S, CF, IR.
    void LoadParts(const std::vector<std::size_t>& sizes, std::size_t bootSize = 3000)
    {
        CUpgradeDlg& d = *dlg;
        d.ResetUpgradeState();
        State(d).m_strUpgradeFile = (dir / "direct.DAT").string();
        PutPartImage(d, sizes, parts, "direct.DAT", "1");
        PutBootFile("V1.00.OHH", Pattern(bootSize, 40));
        // What File Load does once a package is in.
        d.ShowPartChecks();
        d.FillPartList();
        host.EnableControl(IDC_BUTTON_CONNECT, true);
        d.FillPortList();
    }

    // A Quorin V1 .DAT made by velunda-pack in dir from parts of the given
    // sizes (MAIN, CIS M, CIS S, CF, IR; 0 for absent), their bytes in parts.
    void PackParts(const std::vector<std::size_t>& sizes, const std::string& name = "pkg.DAT")
    {
        static const char* const flags[PART_COUNT] = {"--main", "--cis-m", "--cis-s", "--cf", "--ir"};
        static const char* const versions[PART_COUNT] = {"100", "101", "102", "103", "104"};
        std::vector<DatPart> dat;
        for (std::size_t i = 0; i < sizes.size() && i < PART_COUNT; ++i)
            if (sizes[i] != 0)
                dat.push_back({flags[i], sizes[i], versions[i]});
        PackDat(dir, dat, name);
        for (int i = 0; i < PART_COUNT; ++i)
            parts[i] = ReadFileBytes(DatPartFile(dir, flags[i]));
    }

    void PutBootFile(const std::string& name, const Bytes& bytes)
    {
        WriteFileBytes(dir / "Boot" / name, bytes);
        if (bootImage.empty() || name > bootName) {
            bootName = name;
            bootImage = bytes;
        }
    }

    // Loads a .DAT through File Load and the open-file dialog.
    void FileLoad(const std::filesystem::path& package)
    {
        host.QueueOpenFileAnswer(package.string());
        ASSERT_TRUE(host.Click(IDC_BUTTON_FILE_LOAD));
    }

    bool WaitFor(const std::function<bool()>& pred, std::chrono::milliseconds timeout)
    {
        return host.RunUntil(pred, timeout);
    }

    // Connect with "USB" and wait for the board check to enable Sys Check.
    void Connect()
    {
        ASSERT_TRUE(host.IsControlEnabled(IDC_BUTTON_CONNECT));
        ASSERT_EQ(host.ComboItemText(IDC_COMBO_PORT, host.ComboSelected(IDC_COMBO_PORT)), "USB");
        ASSERT_TRUE(host.Click(IDC_BUTTON_CONNECT));
        ASSERT_EQ(State(*dlg).m_bConnected, 1) << ::testing::PrintToString(host.MessageTexts());
        ASSERT_TRUE(WaitFor([&] { return host.IsControlEnabled(IDC_BUTTON_SYS_CHECK); }, 5s))
            << ::testing::PrintToString(host.MessageTexts());
    }

    // Sys Check, waiting for its record and the serial number to arrive.
    void SysCheck(bool expectStart = true)
    {
        ASSERT_TRUE(host.Click(IDC_BUTTON_SYS_CHECK));
        ASSERT_TRUE(WaitFor(
            [&] {
                return host.IsControlEnabled(IDC_BUTTON_UPGRADE_START) == expectStart &&
                       !host.GetText(IDC_EDIT_SERIAL).empty();
            },
            5s))
            << ::testing::PrintToString(host.MessageTexts());
    }

    // Upgrade Start and wait until the run ends one way or another.
    std::string Upgrade(std::chrono::milliseconds timeout = 30s)
    {
        host.ClearMessages();
        if (!host.Click(IDC_BUTTON_UPGRADE_START))
            return "<Upgrade Start disabled>";
        const auto ended = [&] { return State(*dlg).m_bRunActive == 0 && !host.Messages().empty(); };
        if (!WaitFor(ended, timeout))
            return "<still running>";
        return host.Messages().back().text;
    }

    // Only the given item boxes checked.
    void CheckOnly(std::initializer_list<int> ids)
    {
        for (int id = IDC_CHECK_ALL; id <= IDC_CHECK_IR; ++id)
            host.SetCheck(id, false);
        for (int id : ids)
            host.SetCheck(id, true);
    }

    Bytes Recorded(int item, const char* what) const { return target->Recorded(item, what); }
    // Every part in parts arrived byte for byte, after the boot image.
    void ExpectRecorded() const
    {
        for (const CItemInfo& item : ITEMS) {
            if (item.model != MODEL_QUORIN_V1 || parts[item.part].empty())
                continue;
            EXPECT_TRUE(SameBytes(Recorded(item.code, "data"), parts[item.part]))
                << "data of item " << item.code;
            EXPECT_TRUE(SameBytes(Recorded(item.code, "boot"), bootImage)) << "boot of item " << item.code;
        }
    }
    // A V2 run wrote the package's header and main body to MAIN, its CDM boot and body to CDM.
    void ExpectV2Recorded(const Bytes& header, const Bytes& main, const Bytes& cdmBoot,
                          const Bytes& cdm) const
    {
        EXPECT_TRUE(SameBytes(Recorded(ITEM_MAIN_V2, "boot"), header));
        EXPECT_TRUE(SameBytes(Recorded(ITEM_MAIN_V2, "data"), main));
        EXPECT_TRUE(SameBytes(Recorded(ITEM_CDM, "boot"), cdmBoot));
        EXPECT_TRUE(SameBytes(Recorded(ITEM_CDM, "data"), cdm));
    }
    std::string Result(int row) const { return host.ListGetCell(IDC_LIST_PART, row, 6); }
    std::string FramesLog() const { return target->FramesLog(); }

    CTempFolder folder;
    std::filesystem::path dir = folder.Path();
    CSimConfig sim;
    CAppOptions options;
    std::unique_ptr<CSimTarget> target;
    CHeadlessHost host;
    std::unique_ptr<CUpgradeDlg> dlg;
    Bytes parts[PART_COUNT];
    std::string bootName;
    Bytes bootImage;
};

} // namespace scenario
