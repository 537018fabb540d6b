// The libftdi1 backend on a machine without an FTDI bridge.
#include "LinkTestSupport.h"
#include "link/FtdiBridgeList.h"

#include <filesystem>
#include <fstream>

namespace {

// True when a real FTDI device is attached; these tests then have nothing
// to show and are skipped.
bool HasFtdiDevice(IFtdiBackend& backend)
{
    std::uint32_t count = 0;
    return backend.ListDevices(count) == FTDI_OK && count > 0;
}

TEST(LibftdiBackend, WithoutADeviceListsNoneAndOpenFailsCleanly)
{
    auto backend = MakeFtdiBackendLibftdi();
    if (HasFtdiDevice(*backend))
        GTEST_SKIP() << "an FTDI device is attached";
    std::uint32_t count = 99;
    const FtdiStatus listed = backend->ListDevices(count);
    // No USB at all (a container without /dev/bus/usb) is a failure, not a count.
    EXPECT_TRUE((listed == FTDI_OK && count == 0) || (listed != FTDI_OK && count == 0))
        << "status " << listed << " count " << count;
    FtdiHandle h = 4321;
    EXPECT_NE(backend->Open(0, h), FTDI_OK);
    EXPECT_EQ(h, 4321u) << "a failed open wrote the handle";
    std::uint32_t rx = 0, tx = 0, ev = 0;
    FtdiSysError error;
    EXPECT_EQ(backend->GetStatus(1, rx, tx, ev, error), FTDI_INVALID_HANDLE);
    EXPECT_EQ(backend->Close(1), FTDI_INVALID_HANDLE) << "something stayed open";
}

TEST(LibftdiBackend, TheDefaultLinkFailsToOpenWithoutADeviceAndHoldsNothing)
{
    auto probe = MakeFtdiBackendLibftdi();
    if (HasFtdiDevice(*probe))
        GTEST_SKIP() << "an FTDI device is attached";
    CUsbLink link;
    EXPECT_EQ(link.OpenUsb(true), 0);
    EXPECT_FALSE(link.IsOpen());
    EXPECT_EQ(link.ReconnectUsb(), 0);
    EXPECT_EQ(link.write_usb(Pattern(8, 12345).data(), 8), 0u);
    EXPECT_EQ(link.CloseUsb(true), 1);
}

} // namespace

namespace {

TEST(FtdiBridgeList, ABridgeIsChosenBySerialNumberOrBusPortOnly)
{
    FtdiBridgeInfo b;
    b.serial = "QB000002";
    b.busPort = "1-4.2";
    b.devNode = "/dev/bus/usb/001/007";
    for (const char* yes : {"QB000002", "1-4.2"})
        EXPECT_TRUE(BridgeMatches(b, yes)) << yes;
    for (const char* no : {"", "QB00000", "1-4", "/dev/bus/usb/001/007", "qb000002"})
        EXPECT_FALSE(BridgeMatches(b, no)) << no;
    b.kernelDriver = "ftdi_sio";
    b.tty = "/dev/ttyUSB1";
    EXPECT_EQ(DescribeBridge(b), "QB000002 at 1-4.2, ftdi_sio as /dev/ttyUSB1");
}

TEST(FtdiBridgeList, HoldersAreFoundThroughTheProcessesDescriptorLinks)
{
    namespace fs = std::filesystem;
    const fs::path proc = fs::temp_directory_path() / ("velunda-proc-" + std::to_string(::getpid()));
    fs::remove_all(proc);
    auto process = [&](const char* pid, const char* comm, std::initializer_list<const char*> targets) {
        fs::create_directories(proc / pid / "fd");
        std::ofstream(proc / pid / "comm") << comm << "\n";
        int fd = 3;
        for (const char* target : targets)
            fs::create_symlink(target, proc / pid / "fd" / std::to_string(fd++));
    };
    process("42", "ftdi_eeprom", {"/dev/null", "/dev/bus/usb/001/003"});
    process("77", "minicom", {"/dev/bus/usb/001/0031"}); // another device
    process("self", "not-a-pid", {"/dev/bus/usb/001/003"});
    fs::create_directories(proc / "sys");
    EXPECT_EQ(HoldersOf("/dev/bus/usb/001/003", proc.string()),
              std::vector<std::string>{"ftdi_eeprom (pid 42)"});
    EXPECT_TRUE(HoldersOf("/dev/bus/usb/001/009", proc.string()).empty());
    fs::remove_all(proc);
}

} // namespace
