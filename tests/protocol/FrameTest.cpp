#include "protocol/Frame.h"

#include "TestBytes.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;

struct GoldenFrame {
    const char* name;
    std::uint8_t command;
    std::uint8_t subcommand;
    Bytes payload;
    Bytes wire;
};

class FrameGolden : public ::testing::TestWithParam<GoldenFrame> {};

TEST_P(FrameGolden, BuildsTheExpectedWireBytes)
{
    const GoldenFrame& g = GetParam();
    const Bytes frame = BuildFrame(g.command, g.subcommand, g.payload.empty() ? nullptr : g.payload.data(),
                                   static_cast<std::int32_t>(g.payload.size()));
    EXPECT_TRUE(SameBytes(frame, g.wire));

    // Sealed in place over a longer frame, the same bytes and nothing of the old one.
    CFrameBuffer reused;
    std::fill_n(reused.Payload(), FRAME_MAX_PAYLOAD, 0xA5);
    reused.Seal(CMD_UPGRADE, SUB_DATA_DOWN, FRAME_MAX_PAYLOAD);
    std::copy(g.payload.begin(), g.payload.end(), reused.Payload());
    reused.Seal(g.command, g.subcommand, static_cast<std::int32_t>(g.payload.size()));
    EXPECT_TRUE(SameBytes(Bytes(reused.Data(), reused.Data() + reused.Size()), g.wire));
    EXPECT_EQ(reused.PayloadLength(), static_cast<std::int32_t>(g.payload.size()));
}

// Checksums worked out by hand: XOR of every byte up to and including the end marker.
INSTANTIATE_TEST_SUITE_P(
    Requests, FrameGolden,
    ::testing::Values(
        GoldenFrame{
            "UpgradeFinish", 0x0E, 0x01, {0x01}, {0xFB, 0x04, 0x0E, 0x01, 0x00, 0x01, 0x01, 0xFB, 0x0B}},
        GoldenFrame{
            "SysCheckModel2", 0x0A, 0x01, {0x02}, {0xFB, 0x04, 0x0A, 0x01, 0x00, 0x01, 0x02, 0xFB, 0x0C}},
        GoldenFrame{"EmptyPayload", 0x1E, 0x01, {}, {0xFB, 0x04, 0x1E, 0x01, 0x00, 0x00, 0xFB, 0x1B}},
        GoldenFrame{"PayloadHoldingMarkers",
                    0x0B,
                    0x15,
                    {0xFB, 0x00, 0xFB},
                    {0xFB, 0x04, 0x0B, 0x15, 0x00, 0x03, 0xFB, 0x00, 0xFB, 0xFB, 0x19}}),
    [](const ::testing::TestParamInfo<GoldenFrame>& info) { return std::string(info.param.name); });

TEST(Frame, ALongPayloadCarriesItsLengthBigEndianAndTravelsUnchanged)
{
    Bytes payload(300);
    for (std::size_t i = 0; i < payload.size(); ++i)
        payload[i] = static_cast<std::uint8_t>(i * 7 + 3); // 0xFB at i = 72
    const Bytes frame = BuildFrame(CMD_UPGRADE, SUB_DATA_DOWN, payload.data(), 300);

    ASSERT_EQ(frame.size(), 308u);
    EXPECT_EQ(frame[4], 0x01);
    EXPECT_EQ(frame[5], 0x2C);
    EXPECT_TRUE(SameBytes(Bytes(frame.begin() + 6, frame.begin() + 306), payload));
    EXPECT_EQ(frame[306], 0xFB);
    // The checksum makes the XOR of the whole frame zero.
    std::uint8_t all = 0;
    for (std::uint8_t b : frame)
        all ^= b;
    EXPECT_EQ(all, 0);
}

TEST(Frame, AFullDownloadChunkMakesAnEightThousandTwoHundredByteFrame)
{
    const Bytes payload(FRAME_MAX_PAYLOAD, 0x5A);
    const Bytes frame = BuildFrame(CMD_UPGRADE, SUB_BOOT_DOWN, payload.data(), FRAME_MAX_PAYLOAD);
    ASSERT_EQ(frame.size(), 8200u);
    EXPECT_EQ(frame[4], 0x20);
    EXPECT_EQ(frame[5], 0x00);
    // 8192 equal bytes cancel out: FB ^ 04 ^ 0B ^ 0B ^ 20 ^ 00 ^ FB.
    EXPECT_EQ(frame[8199], 0x24);
}

TEST(Frame, ChecksumOfNothingIsZeroAndOfBytesIsTheirXor)
{
    const std::uint8_t bytes[] = {0x12, 0x34, 0xFF, 0x01};
    EXPECT_EQ(ComputeChecksum(bytes, 0), 0);
    EXPECT_EQ(ComputeChecksum(bytes, 1), 0x12);
    EXPECT_EQ(ComputeChecksum(bytes, 4), 0xD8);
}

} // namespace
