#include "SimFrameParser.h"

#include "SimTestSupport.h"
#include "protocol/Frame.h"

#include <gtest/gtest.h>

namespace {

struct CCollect {
    std::vector<CSimFrame> frames;
    std::vector<std::string> drops;
    CSimFrameParser parser{[this](const CSimFrame& f) { frames.push_back(f); },
                           [this](const std::string& why) { drops.push_back(why); }};
    void Feed(const Bytes& b) { parser.Feed(b.data(), b.size()); }
};

Bytes Frame(std::uint8_t c, std::uint8_t s, const Bytes& p)
{
    return BuildFrame(c, s, p.data(), static_cast<std::int32_t>(p.size()));
}

TEST(SimFrameParser, AFrameSplitIntoSingleBytesIsDeliveredOnceWithItsPayload)
{
    CCollect c;
    const Bytes payload = Pattern(300, 3);
    for (std::uint8_t b : Frame(0x0B, 0x15, payload))
        c.Feed({b});
    ASSERT_EQ(c.frames.size(), 1u);
    EXPECT_EQ(c.frames[0].command, 0x0B);
    EXPECT_EQ(c.frames[0].subcommand, 0x15);
    EXPECT_SAME_BYTES(payload, c.frames[0].payload);
    EXPECT_TRUE(c.drops.empty());
    EXPECT_EQ(c.parser.Pending(), 0u);
}

TEST(SimFrameParser, AnEmptyPayloadFrameIsDelivered)
{
    CCollect c;
    c.Feed(Frame(0x0B, 0x0B, {}));
    ASSERT_EQ(c.frames.size(), 1u);
    EXPECT_TRUE(c.frames[0].payload.empty());
}

TEST(SimFrameParser, PayloadBytesEqualToTheMarkerDoNotEndTheFrame)
{
    CCollect c;
    const Bytes payload(8192, 0xFB);
    c.Feed(Frame(0x0B, 0x15, payload));
    ASSERT_EQ(c.frames.size(), 1u);
    EXPECT_EQ(c.frames[0].payload.size(), 8192u);
}

TEST(SimFrameParser, DamagedFramesAreReportedAndTheNextGoodFrameStillArrives)
{
    struct Case {
        const char* what;
        Bytes damaged;
    };
    Bytes badSum = Frame(0x1E, 0x01, {0x01});
    badSum.back() ^= 0x01;
    Bytes badEnd = Frame(0x0A, 0x01, {0x01});
    badEnd[7] = 0x00;
    const Bytes tooLong = {0xFB, 0x04, 0x0B, 0x15, 0x20, 0x01};
    const Case cases[] = {{"noise", {0x00, 0x11, 0x04}},
                          {"checksum", badSum},
                          {"end marker", badEnd},
                          {"length beyond a chunk", tooLong},
                          {"marker without complement", {0xFB, 0x05}}};
    for (const Case& k : cases) {
        CCollect c;
        c.Feed(k.damaged);
        c.Feed(Frame(0x0E, 0x01, {0x01}));
        ASSERT_EQ(c.frames.size(), 1u) << k.what;
        EXPECT_EQ(c.frames[0].command, 0x0E) << k.what;
        EXPECT_FALSE(c.drops.empty()) << k.what;
    }
}

TEST(SimFrameParser, ADoubledStartMarkerStartsTheFrameAtTheSecond)
{
    CCollect c;
    Bytes b = {0xFB};
    const Bytes f = Frame(0x0B, 0x01, {0x05});
    b.insert(b.end(), f.begin(), f.end());
    c.Feed(b);
    ASSERT_EQ(c.frames.size(), 1u);
    EXPECT_EQ(c.frames[0].payload, Bytes{0x05});
}

} // namespace
