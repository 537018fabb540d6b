// The default backend (libftdi1 over libusb) against an emulated FT232R.
#include "ChipFixture.h"
#include "UpgradeDlgTestAccess.h"

#include <algorithm>
#include <sys/wait.h>

namespace chip {
namespace {

using ChipRun = ChipFixture;

TEST_F(ChipRun, AFullQuorinV1DatUpgradeCarriesEveryImageThroughTheChip)
{
    // Around the chunk size: one chunk exactly, one byte more, one byte.
    PackParts({20000, 8192, 8193, 1, 5000});
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
    // The system check keeps the open handle: no second open, nothing that reads as a failure.
    EXPECT_FALSE(host.HasTrace("already open")) << Traces();
    EXPECT_FALSE(host.HasTrace("failed")) << Traces();
    // Every byte went over the emulated USB, not around it.
    EXPECT_GT(bridge->BytesOut(chipIndex), 20000u + 8192 + 8193 + 1 + 5000);
    EXPECT_GT(bridge->DataUrbs(chipIndex), 0);
    // The link's latency reached the chip, and only that value.
    EXPECT_EQ(bridge->Latency(chipIndex), USB_LATENCY_MS);
    EXPECT_EQ(bridge->LatencySets(chipIndex), std::vector<int>{USB_LATENCY_MS});
}

TEST_F(ChipRun, AQuorinV2QvpUpgradeCarriesTheCdmBootAndEveryImage)
{
    const Bytes header = Pattern(5000, 1), main = Pattern(17000, 2), cdm = Pattern(9000, 3),
                cdmBoot = Pattern(4000, 4);
    WriteFileBytes(dir / "src" / "BH_V2.bin", header);
    WriteFileBytes(dir / "src" / "SM_V2.00.bin", main);
    WriteFileBytes(dir / "src" / "CDM_V1.02.NHB", cdm);
    WriteFileBytes(dir / "src" / "BC_V1.bin", cdmBoot);
    const std::string src = (dir / "src").string() + "/";
    const std::string command = std::string("'") + TestPath("VELUNDA_PACK") + "' qvp --model v2 -o '" +
                                (dir / "v2.QVP").string() + "' --header '" + src + "BH_V2.bin' --main '" +
                                src + "SM_V2.00.bin' --cdm '" + src + "CDM_V1.02.NHB' --cdm-boot '" + src +
                                "BC_V1.bin' >'" + (dir / "pack.log").string() + "' 2>&1";
    ASSERT_EQ(std::system(command.c_str()), 0) << command;

    sim.model = 2;
    sim.sysRecord = DefaultSysRecord(2, "123");
    sim.verifySteps = 5;
    StartBehindChip();
    FileLoad(dir / "v2.QVP");
    ASSERT_TRUE(host.Messages().empty()) << ::testing::PrintToString(host.MessageTexts());
    Connect();
    SysCheck();
    EXPECT_EQ(Upgrade(), kComplete) << ::testing::PrintToString(host.MessageTexts()) << Traces();
    EXPECT_EQ(Result(0), "Complete");
    EXPECT_EQ(Result(1), "Complete");
    ExpectV2Recorded(header, main, cdmBoot, cdm);
}

TEST_F(ChipRun, RepliesSplitOverOnePacketPerTransferStillMakeWholeFrames)
{
    PackParts({9000, 0, 0, 0, 70});
    StartBehindChip();
    bridge->SetPacketsPerUrb(chipIndex, 1);
    PutBootFile("V1.10.OHH", Pattern(100, 2));
    FileLoad(dir / "pkg.DAT");
    Connect();
    SysCheck(); // the serial-number frame alone is longer than one packet
    EXPECT_EQ(host.GetText(IDC_EDIT_SERIAL), "QV2024001");
    CheckOnly({IDC_CHECK_MAIN, IDC_CHECK_IR});
    EXPECT_EQ(Upgrade(), kComplete) << ::testing::PrintToString(host.MessageTexts()) << Traces();
    ExpectRecorded();
    // Every answer came one 64-byte packet at a time, many in all.
    EXPECT_EQ(bridge->DataPackets(chipIndex), bridge->DataUrbs(chipIndex));
    EXPECT_GT(static_cast<std::uint64_t>(bridge->DataUrbs(chipIndex)) * 62, bridge->BytesIn(chipIndex) - 1);
    EXPECT_GT(bridge->BytesIn(chipIndex), 62u * 4);
}

TEST_F(ChipRun, ADeviceRemovedMidRunEndsTheRunAndConnectsAgainOnceItIsBack)
{
    PackParts({40000});
    sim.unplugAt.push_back(CSimPoint{"data-down", 2});
    options.stallTimeoutMs = 4000; // the lost link must end the run well before the stall watch
    StartBehindChip();
    PutBootFile("V1.10.OHH", Pattern(100, 2));
    FileLoad(dir / "pkg.DAT");
    Connect();
    SysCheck();
    host.ClearMessages();
    ASSERT_TRUE(host.Click(IDC_BUTTON_UPGRADE_START));
    ASSERT_TRUE(WaitFor([&] { return target->Sim().Unplugged(); }, 5s)) << FramesLog();
    const auto unplugged = std::chrono::steady_clock::now();
    EXPECT_TRUE(WaitFor([&] { return host.HasTrace("device lost"); }, 1s)) << Traces();
    bridge->Remove(chipIndex);
    const bool ended =
        WaitFor([&] { return State(*dlg).m_bRunActive == 0 && !host.Messages().empty(); }, 12s);
    EXPECT_TRUE(ended);
    const auto took = std::chrono::steady_clock::now() - unplugged;
    EXPECT_FALSE(host.HasMessage(kComplete));
    EXPECT_FALSE(State(*dlg).m_UsbLink.IsOpen());
    // The lost-link ending. Where the run does not know a lost link yet, the
    // stall watch ends it instead; once it does, only the first branch holds.
    if (host.HasMessage("The connection to the machine was lost during the upgrade.")) {
        EXPECT_LT(took, 2s);
    } else {
        EXPECT_TRUE(host.HasMessage(kStalled)) << ::testing::PrintToString(host.MessageTexts());
    }

    // Plugged in again (a new conversation with the machine): Connect works.
    if (host.GetText(IDC_BUTTON_CONNECT) != "Connect") {
        ASSERT_TRUE(host.Click(IDC_BUTTON_CONNECT)); // Dis Connect
    }
    sim.unplugAt.clear();
    CSimTarget again(sim);
    ASSERT_TRUE(again.Started());
    bridge->Readd(chipIndex, again.SlavePath());
    host.ClearMessages();
    FileLoad(dir / "pkg.DAT"); // Dis Connect forgot the package
    Connect();
    EXPECT_TRUE(State(*dlg).m_UsbLink.IsOpen());
    State(*dlg).m_UsbLink.CloseUsb(true);
    again.Stop();
}

TEST_F(ChipRun, ABridgeClaimedByAnotherProgramFailsToConnectAndTheTraceSaysWhy)
{
    StartBehindChip();
    ASSERT_TRUE(bridge->HoldElsewhere(chipIndex));
    LoadParts({100});
    ASSERT_TRUE(host.Click(IDC_BUTTON_CONNECT));
    EXPECT_TRUE(host.HasMessage("USB connection failed!"));
    EXPECT_EQ(State(*dlg).m_bConnected, 0);
    EXPECT_TRUE(host.HasTrace(bridge->DevNode(chipIndex) + " is busy: claimed by another program"))
        << Traces();
    // Once the other program lets go, the same window connects.
    bridge->ReleaseElsewhere();
    host.ClearMessages();
    Connect();
}

// Failures of the first contact, each with its reason in the trace.
TEST_F(ChipRun, ConnectFailuresSayWhy)
{
    struct Case {
        const char* name;
        CChipIdentity identity;
        std::string choice; // --usb-device
        std::string why;    // in the trace
    };
    CChipIdentity held;
    held.kernelDriver = true;
    held.detachRefused = true;
    const Case cases[] = {
        {"the kernel driver stays", held, "",
         "the kernel driver holds /dev/bus/usb/001/003 (as /dev/ttyUSB0)"},
        {"no bridge matches", CChipIdentity(), "NOPE", "no FTDI bridge matches \"NOPE\""},
    };
    target = std::make_unique<CSimTarget>(sim);
    ASSERT_TRUE(target->Started());
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        bridge.reset(); // one testbed at a time
        bridge = std::make_unique<CEmulatedFtdiChip>();
        chipIndex = bridge->Add(c.identity, target->SlavePath());
        dlg.reset();
        const std::size_t before = host.Traces().size();
        options.usbDevice = c.choice;
        MakeWindow();
        LoadParts({100});
        host.ClearMessages();
        ASSERT_TRUE(host.Click(IDC_BUTTON_CONNECT));
        EXPECT_TRUE(host.HasMessage("USB connection failed!"));
        const auto traces = host.Traces();
        EXPECT_TRUE(std::any_of(traces.begin() + static_cast<std::ptrdiff_t>(before), traces.end(),
                                [&](const std::string& t) { return t.find(c.why) != std::string::npos; }))
            << Traces();
        dlg.reset();
    }
}

TEST_F(ChipRun, AChosenBridgeIsTheOneOpenedAmongSeveral)
{
    target = std::make_unique<CSimTarget>(sim);
    ASSERT_TRUE(target->Started());
    CChipIdentity first, second;
    first.serial = "QB000001";
    second.serial = "QB000002";
    second.port = 4;
    const int silent = bridge->Add(first, ""); // nothing behind it
    chipIndex = bridge->Add(second, target->SlavePath());
    for (const char* choice : {"QB000002", "1-4"}) {
        SCOPED_TRACE(choice);
        dlg.reset();
        options.usbDevice = choice;
        MakeWindow();
        LoadParts({100});
        host.ClearMessages();
        Connect();
        EXPECT_EQ(bridge->LatencySets(silent).size(), 0u) << "the other bridge was configured";
        ASSERT_TRUE(host.Click(IDC_BUTTON_CONNECT)); // Dis Connect
    }
}

} // namespace
} // namespace chip

namespace chip {
namespace {

// velunda-cli as a technician runs it, in the test's folder, under the same
// testbed; returns its exit status and stdout+stderr.
int RunCli(const std::filesystem::path& dir, const std::string& args, std::string& output)
{
    const auto log = dir / "cli.out";
    const std::string command = "cd '" + dir.string() + "' && '" + TestPath("VELUNDA_CLI") + "' " + args +
                                " >'" + log.string() + "' 2>&1";
    const int status = std::system(command.c_str());
    const Bytes text = ReadFileBytes(log);
    output.assign(text.begin(), text.end());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

class ChipCli : public ChipFixture {
protected:
    // Two bridges: QB000001 at 1-2 held by ftdi_sio as ttyUSB0, which will
    // not let go (nothing behind it), QB000002 at 1-4 in front of the machine.
    void TwoBridges()
    {
        target = std::make_unique<CSimTarget>(sim);
        ASSERT_TRUE(target->Started());
        CChipIdentity first, second;
        first.kernelDriver = true;
        first.detachRefused = true;
        second.serial = "QB000002";
        second.description = "Quorin cable";
        second.port = 4;
        bridge->Add(first, "");
        chipIndex = bridge->Add(second, target->SlavePath());
    }
};

TEST_F(ChipCli, DevicesListsEveryBridgeAsTextAndJson)
{
    TwoBridges();
    std::string out;
    ASSERT_EQ(RunCli(dir, "devices", out), 0) << out;
    EXPECT_NE(
        out.find("QB000001     FT232R USB UART          1-2      /dev/bus/usb/001/003  held by ftdi_sio as "
                 "/dev/ttyUSB0"),
        std::string::npos)
        << out;
    EXPECT_NE(out.find("QB000002     Quorin cable             1-4      /dev/bus/usb/001/005\n"),
              std::string::npos)
        << out;
    ASSERT_EQ(RunCli(dir, "devices --json", out), 0) << out;
    EXPECT_NE(out.find("{\"serial\":\"QB000001\",\"description\":\"FT232R USB UART\",\"bus_port\":\"1-2\","
                       "\"dev_node\":\"/dev/bus/usb/001/003\",\"kernel_driver\":\"ftdi_sio\",\"tty\":\"/dev/"
                       "ttyUSB0\"}"),
              std::string::npos)
        << out;
    EXPECT_NE(out.find("\"bus_port\":\"1-4\",\"dev_node\":\"/dev/bus/usb/001/005\",\"kernel_driver\":\"\""),
              std::string::npos)
        << out;
}

TEST_F(ChipCli, SeveralBridgesWithoutAChoiceAreRefusedAndAChoiceUpgrades)
{
    PackParts({9000, 0, 0, 0, 3000});
    PutBootFile("V1.10.OHH", Pattern(500, 2));
    TwoBridges();
    std::string out;
    EXPECT_EQ(RunCli(dir, "pkg.DAT", out), 2) << out;
    EXPECT_NE(out.find("several FTDI bridges are attached; choose one with --usb-device"), std::string::npos)
        << out;
    EXPECT_NE(out.find("QB000001 (FT232R USB UART) at 1-2, ftdi_sio as /dev/ttyUSB0"), std::string::npos)
        << out;
    EXPECT_EQ(target->Sim().BytesReceived(), 0u) << "the refusal still talked to a machine";

    EXPECT_EQ(RunCli(dir, "--usb-device 1-4 pkg.DAT", out), 0) << out;
    ExpectRecorded();
    // The bridge ftdi_sio holds cannot be opened directly: the CLI says why.
    EXPECT_EQ(RunCli(dir, "--usb-device QB000001 --stall-timeout 2 pkg.DAT", out), 3) << out;
    EXPECT_NE(out.find("USB connection failed! (the kernel driver holds /dev/bus/usb/001/003"),
              std::string::npos)
        << out;
}

} // namespace
} // namespace chip
