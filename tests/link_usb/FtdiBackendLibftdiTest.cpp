// The libftdi1 backend on a machine without an FTDI bridge.
#include "LinkTestSupport.h"

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
    EXPECT_EQ(link.write_usb(PatternBytes(8).data(), 8), 0u);
    EXPECT_EQ(link.CloseUsb(true), 1);
}

} // namespace
