#include "protocol/Receiver.h"

#include "TestBytes.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <ostream>
#include <random>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;

// Records what the receiver reports, in order, and a copy of the frame it
// reported on, taken while the receiver waits for the reaction.
class CRecordingSink : public IAckSink {
public:
    explicit CRecordingSink(const CAckReceiver* receiver = nullptr) : m_pReceiver(receiver) {}
    void Watch(const CAckReceiver* receiver) { m_pReceiver = receiver; }

    void OnAckEvent(int event) override
    {
        log.push_back("event " + std::to_string(event));
        if (m_pReceiver != nullptr) {
            const Packet& p = m_pReceiver->packet();
            payloads.emplace_back(p.data,
                                  p.data + (p.length < FRAME_MAX_PAYLOAD ? p.length : FRAME_MAX_PAYLOAD));
            packets.push_back(p);
        }
    }
    void OnCheckerMessage(const std::string& text) override { log.push_back("message " + text); }

    std::vector<std::string> log;
    std::vector<Bytes> payloads;
    std::vector<Packet> packets;

private:
    const CAckReceiver* m_pReceiver;
};

std::string Event(int code)
{
    return "event " + std::to_string(code);
}
std::string Message(const std::string& text)
{
    return "message " + text;
}

Bytes Frame(std::uint8_t command, std::uint8_t subcommand, const Bytes& payload)
{
    return BuildFrame(command, subcommand, payload.data(), static_cast<std::int32_t>(payload.size()));
}

Bytes Concat(std::initializer_list<Bytes> parts)
{
    Bytes all;
    for (const Bytes& p : parts)
        all.insert(all.end(), p.begin(), p.end());
    return all;
}

void Feed(CAckReceiver& receiver, const Bytes& bytes)
{
    receiver.ParseReceived(bytes.data(), bytes.size());
}

// Feeds bytes in pieces of 1..maxPiece bytes chosen by a seeded generator.
void FeedSplit(CAckReceiver& receiver, const Bytes& bytes, unsigned seed, std::size_t maxPiece)
{
    std::mt19937 gen(seed);
    std::uniform_int_distribution<std::size_t> piece(1, maxPiece);
    std::size_t at = 0;
    while (at < bytes.size()) {
        const std::size_t n = std::min(piece(gen), bytes.size() - at);
        receiver.ParseReceived(bytes.data() + at, n);
        at += n;
    }
}

class ReceiverTest : public ::testing::Test {
protected:
    ReceiverTest() : sink(&receiver), receiver(&sink) {}
    CRecordingSink sink;
    CAckReceiver receiver;
};

// ---------------------------------------------------------------------------
// Checkers

struct Counters {
    int eraseActive;
    int stepTotal;
    int stepCount;
    bool operator==(const Counters&) const = default;
};

void PrintTo(const Counters& c, std::ostream* os)
{
    *os << "{EraseActive " << c.eraseActive << ", StepTotal " << c.stepTotal << ", StepCount " << c.stepCount
        << "}";
}

Counters Read(const CAckReceiver& r)
{
    return {r.EraseActive, r.StepTotal, r.StepCount};
}
void Write(CAckReceiver& r, const Counters& c)
{
    r.EraseActive = c.eraseActive;
    r.StepTotal = c.stepTotal;
    r.StepCount = c.stepCount;
}

constexpr Counters kIdle{0, 10, 3};
constexpr Counters kErasing{1, 10, 3};

Bytes SysCheckRecord(std::size_t n)
{
    Bytes record(n);
    for (std::size_t i = 0; i < n; ++i)
        record[i] = static_cast<std::uint8_t>('0' + i % 10);
    return record;
}

template <class Case> class CaseTest : public ::testing::TestWithParam<Case> {
protected:
    CaseTest() : sink(&receiver), receiver(&sink) {}
    CRecordingSink sink;
    CAckReceiver receiver;
};

template <class Case> std::string CaseName(const ::testing::TestParamInfo<Case>& info)
{
    return info.param.name;
}

struct GoodCase {
    const char* name;
    std::uint8_t command;
    std::uint8_t subcommand;
    Counters before;
    Bytes payload;
    int event; // 0: raises nothing
    Counters after;
};
void PrintTo(const GoodCase& c, std::ostream* os)
{
    *os << c.name;
}

// clang-format off
const GoodCase kGoodCases[] = {
    {"SysCheck",          0x0A, 0x02, kIdle,         SysCheckRecord(21), ACK_SYS_CHECK,      kIdle},
    {"UpIndex",           0x0B, 0x02, kIdle,         {0x01},             ACK_UP_INDEX,       kIdle},
    {"BootDown",          0x0B, 0x0C, kIdle,         {0x01},             ACK_BOOT_DOWN,      kIdle},
    {"BootEnd",           0x0B, 0x0E, kIdle,         {0x01},             ACK_BOOT_END,       kIdle},
    {"DataDown",          0x0B, 0x16, kIdle,         {0x01},             ACK_DATA_DOWN,      kIdle},
    {"DataEnd",           0x0B, 0x18, kIdle,         {0x01},             ACK_DATA_END,       kIdle},
    {"EraseStart",        0x0C, 0x01, kIdle,         {0x0A},             0,                  {1, 10, 0}},
    {"EraseStartOfMany",  0x0C, 0x01, {0, 0, 7},     {0xF0},             0,                  {1, 240, 0}},
    {"EraseStep",         0x0C, 0x02, kErasing,      {0x37},             ACK_ERASE_STEP,     kErasing},
    {"EraseEnd",          0x0C, 0x03, kErasing,      {0x01},             ACK_ERASE_END,      {0, 0, 0}},
    {"EraseFail",         0x0C, 0x04, kErasing,      {0x01},             ACK_ERASE_FAIL,     kErasing},
    {"ProgramStart",      0x0D, 0x01, kIdle,         {0x01, 0x2C},       0,                  {0, 300, 0}},
    {"ProgramStep",       0x0D, 0x02, kIdle,         {0x00, 0xFB, 0x04}, ACK_PROGRAM_STEP,   kIdle},
    {"ProgramEnd",        0x0D, 0x03, kIdle,         {0x01},             ACK_PROGRAM_END,    {0, 0, 0}},
    {"ProgramFail",       0x0D, 0x04, kIdle,         {0x01},             ACK_PROGRAM_FAIL,   kIdle},
    {"UpgradeFinish",     0x0E, 0x02, kIdle,         {0x00},             ACK_UPGRADE_FINISH, kIdle},
    {"VerifyStart",       0x0F, 0x01, kIdle,         {0x12, 0x34},       0,                  {0, 0x1234, 0}},
    {"VerifyStep",        0x0F, 0x02, kIdle,         {0x99},             ACK_VERIFY_STEP,    kIdle},
    {"VerifyEnd",         0x0F, 0x03, kIdle,         {0x01},             ACK_VERIFY_END,     {0, 0, 0}},
    {"BoardCheck",        0x1E, 0x02, kIdle,         {0x00},             ACK_BOARD_CHECK,    kIdle},
    {"SerialVersionSub1", 0x32, 0x01, kIdle,         {'#', '#', 'S', '1', '#', '#'}, ACK_SERIAL_VERSION, kIdle},
    {"SerialVersionSub2", 0x32, 0x02, kIdle,         {'#', '#', 'S', '2', '#', '#'}, ACK_SERIAL_VERSION, kIdle},
};
// clang-format on

using GoodFrame = CaseTest<GoodCase>;

TEST_P(GoodFrame, RaisesItsEventAndUpdatesTheCounters)
{
    const GoodCase& c = GetParam();
    Write(receiver, c.before);
    Feed(receiver, Frame(c.command, c.subcommand, c.payload));

    if (c.event != 0) {
        EXPECT_EQ(sink.log, std::vector<std::string>{Event(c.event)});
        ASSERT_EQ(sink.payloads.size(), 1u);
        EXPECT_TRUE(SameBytes(sink.payloads[0], c.payload));
    } else {
        EXPECT_TRUE(sink.log.empty()) << sink.log.front();
    }
    EXPECT_EQ(Read(receiver), c.after);
}

INSTANTIATE_TEST_SUITE_P(Acknowledgements, GoodFrame, ::testing::ValuesIn(kGoodCases), CaseName<GoodCase>);

struct RejectedCase {
    const char* name;
    std::uint8_t command;
    std::uint8_t subcommand;
    Counters before;
    Bytes payload;
    const char* message;
};
void PrintTo(const RejectedCase& c, std::ostream* os)
{
    *os << c.name;
}

// clang-format off
const RejectedCase kWrongSizes[] = {
    {"SysCheckShort",     0x0A, 0x02, kIdle,    SysCheckRecord(20), "ACK SYS Check Protocol Data Size Err"},
    {"SysCheckLong",      0x0A, 0x02, kIdle,    SysCheckRecord(22), "ACK SYS Check Protocol Data Size Err"},
    {"UpIndex",           0x0B, 0x02, kIdle,    {0x01, 0x01},       "ACK UP Index Protocol Data Size Err"},
    {"BootDown",          0x0B, 0x0C, kIdle,    {0x01, 0x00},       "ACK Boot Down Protocol Data Size Err"},
    {"BootEnd",           0x0B, 0x0E, kIdle,    {0x01, 0x01, 0x01}, "ACK Boot End Protocol Data Size Err"},
    {"DataDown",          0x0B, 0x16, kIdle,    {0x01, 0x01},       "ACK Data Down Protocol Data Size Err"},
    {"DataEnd",           0x0B, 0x18, kIdle,    {0x01, 0x01},       "ACK Data End Protocol Data Size Err"},
    {"EraseStart",        0x0C, 0x01, kIdle,    {0x0A, 0x00},       "ACK Erase Start Protocol Data Size Err"},
    {"EraseStep",         0x0C, 0x02, kErasing, {0x01, 0x01},       "ACK Erase Step Protocol Data Size Err"},
    {"EraseEnd",          0x0C, 0x03, kErasing, {0x01, 0x01},       "ACK Erase End Protocol Data Size Err"},
    {"EraseFail",         0x0C, 0x04, kErasing, {0x01, 0x01},       "ACK Erase Fail Protocol Data Size Err"},
    {"ProgramStartShort", 0x0D, 0x01, kIdle,    {0x01},             "ACK Program Start Protocol Data Size Err"},
    {"ProgramStartLong",  0x0D, 0x01, kIdle,    {0x01, 0x2C, 0x00}, "ACK Program Start Protocol Data Size Err"},
    {"ProgramEnd",        0x0D, 0x03, kIdle,    {0x01, 0x01},       "ACK Program End Protocol Data Size Err"},
    {"ProgramFail",       0x0D, 0x04, kErasing, {0x01, 0x01},       "ACK Program Fail Protocol Data Size Err"},
    {"UpgradeFinish",     0x0E, 0x02, kIdle,    {0x01, 0x01},       "ACK Upgrade Finish Protocol Data Size Err"},
    {"VerifyStartShort",  0x0F, 0x01, kIdle,    {0x12},             "ACK Verify Start Protocol Data Size Err"},
    {"VerifyStartLong",   0x0F, 0x01, kIdle,    {0x12, 0x34, 0x56}, "ACK Verify Start Protocol Data Size Err"},
    {"VerifyStep",        0x0F, 0x02, kIdle,    {0x01, 0x01},       "ACK Verify Step Protocol Data Size Err"},
    {"VerifyEnd",         0x0F, 0x03, kIdle,    {0x01, 0x01},       "ACK Verify End Protocol Data Size Err"},
    {"BoardCheck",        0x1E, 0x02, kIdle,    {0x01, 0x01},       "ACK Velunda Board Check Protocol Data Size Err"},
};

// Every value but 0x01 fails a result test, not only zero.
const RejectedCase kWrongResults[] = {
    {"UpIndex",       0x0B, 0x02, kIdle,    {0x00}, "ACK UP Index Protocal Result : FALSE!"},
    {"BootDown",      0x0B, 0x0C, kIdle,    {0x02}, "ACK Boot Down Protocal Result : FALSE!"},
    {"BootEnd",       0x0B, 0x0E, kIdle,    {0xFF}, "ACK Boot End Protocal Result : FALSE!"},
    {"DataDown",      0x0B, 0x16, kIdle,    {0x00}, "ACK Data Down Protocal Result : FALSE!"},
    {"DataEnd",       0x0B, 0x18, kIdle,    {0x81}, "ACK Data End Protocal Result : FALSE!"},
    {"EraseEnd",      0x0C, 0x03, kErasing, {0x00}, "ACK Erase End Protocol Result : FALSE!"},
    {"EraseFail",     0x0C, 0x04, kErasing, {0x02}, "ACK Erase Fail Protocol Result : FALSE!"},
    {"ProgramEnd",    0x0D, 0x03, kIdle,    {0x00}, "ACK Program End Protocol Result : FALSE!"},
    {"ProgramFail",   0x0D, 0x04, kIdle,    {0x11}, "ACK Program Fail Protocol Result : FALSE!"},
    {"VerifyEnd",     0x0F, 0x03, kIdle,    {0xFE}, "ACK Verify End Protocol Result : FALSE!"},
};
// clang-format on

using RejectedFrame = CaseTest<RejectedCase>;

TEST_P(RejectedFrame, ShowsItsMessageAndChangesNothing)
{
    const RejectedCase& c = GetParam();
    Write(receiver, c.before);
    Feed(receiver, Frame(c.command, c.subcommand, c.payload));
    EXPECT_EQ(sink.log, std::vector<std::string>{Message(c.message)});
    EXPECT_EQ(Read(receiver), c.before);
}

INSTANTIATE_TEST_SUITE_P(WrongSize, RejectedFrame, ::testing::ValuesIn(kWrongSizes), CaseName<RejectedCase>);
INSTANTIATE_TEST_SUITE_P(WrongResult, RejectedFrame, ::testing::ValuesIn(kWrongResults),
                         CaseName<RejectedCase>);

TEST_F(ReceiverTest, AProgramStepOfAFullRecordIsAccepted)
{
    Bytes payload(FRAME_MAX_PAYLOAD);
    for (std::size_t i = 0; i < payload.size(); ++i)
        payload[i] = static_cast<std::uint8_t>(i * 13 + 1);
    Feed(receiver, Frame(CMD_PROGRAM, SUB_PHASE_STEP, payload));
    EXPECT_EQ(sink.log, std::vector<std::string>{Event(ACK_PROGRAM_STEP)});
    ASSERT_EQ(sink.payloads.size(), 1u);
    EXPECT_TRUE(SameBytes(sink.payloads[0], payload));
}

TEST_F(ReceiverTest, ASerialNumberFrameOfLengthZeroRaisesNothing)
{
    // Its size message cannot be reached from the wire: an empty frame is never delivered.
    Feed(receiver, Frame(CMD_SERIAL_VERSION, 0x01, {}));
    Feed(receiver, Frame(CMD_SERIAL_VERSION, 0x02, {}));
    EXPECT_TRUE(sink.log.empty());
}

TEST_F(ReceiverTest, PairsWithoutACheckerAreIgnoredSilently)
{
    const std::set<std::pair<int, int>> known = {
        {0x0A, 0x02}, {0x0B, 0x02}, {0x0B, 0x0C}, {0x0B, 0x0E}, {0x0B, 0x16}, {0x0B, 0x18}, {0x0C, 0x01},
        {0x0C, 0x02}, {0x0C, 0x03}, {0x0C, 0x04}, {0x0D, 0x01}, {0x0D, 0x02}, {0x0D, 0x03}, {0x0D, 0x04},
        {0x0E, 0x02}, {0x0F, 0x01}, {0x0F, 0x02}, {0x0F, 0x03}, {0x1E, 0x02}, {0x32, 0x01}, {0x32, 0x02}};
    Write(receiver, kIdle);
    int fed = 0;
    for (int command = 0; command < 256; ++command) {
        for (int sub = 0; sub < 256; ++sub) {
            if (known.count({command, sub}) != 0)
                continue;
            // One and two bytes: a checker wrongly serving the pair answers at least one of them.
            Feed(receiver,
                 Frame(static_cast<std::uint8_t>(command), static_cast<std::uint8_t>(sub), {0x01, 0x02}));
            Feed(receiver, Frame(static_cast<std::uint8_t>(command), static_cast<std::uint8_t>(sub), {0x01}));
            ++fed;
        }
    }
    EXPECT_EQ(fed, 65536 - 21);
    EXPECT_TRUE(sink.log.empty()) << sink.log.front();
    EXPECT_EQ(Read(receiver), kIdle);
    // The receiver is still in step afterwards.
    Feed(receiver, Frame(CMD_FINISH, SUB_ACK, {0x01}));
    EXPECT_EQ(sink.log, std::vector<std::string>{Event(ACK_UPGRADE_FINISH)});
}

TEST_F(ReceiverTest, CountersAreKeptEvenWithoutASink)
{
    CAckReceiver alone;
    Feed(alone, Frame(CMD_ERASE, SUB_PHASE_START, {0x05}));
    EXPECT_EQ(Read(alone), (Counters{1, 5, 0}));
    Feed(alone, Frame(CMD_ERASE, SUB_PHASE_END, {0x01}));
    EXPECT_EQ(Read(alone), (Counters{0, 0, 0}));
}

// ---------------------------------------------------------------------------
// Erase gating

struct GatedCase {
    const char* name;
    std::uint8_t command;
    std::uint8_t subcommand;
    Bytes payload;
    std::vector<std::string> logOnceErased; // what it reports once erasing is over
    Counters countersOnceErased;
};
void PrintTo(const GatedCase& c, std::ostream* os)
{
    *os << c.name;
}

using EraseGateTest = CaseTest<GatedCase>;

TEST_P(EraseGateTest, IsIgnoredWhileEraseIsActiveAndHandledOnceItEnds)
{
    const GatedCase& c = GetParam();
    Feed(receiver, Frame(CMD_ERASE, SUB_PHASE_START, {0x09}));
    ASSERT_EQ(Read(receiver), (Counters{1, 9, 0}));
    receiver.StepCount = 4;

    Feed(receiver, Frame(c.command, c.subcommand, c.payload));
    EXPECT_TRUE(sink.log.empty()) << sink.log.front();
    EXPECT_EQ(Read(receiver), (Counters{1, 9, 4}));

    Feed(receiver, Frame(CMD_ERASE, SUB_PHASE_END, {0x01}));
    ASSERT_EQ(Read(receiver), (Counters{0, 0, 0}));
    sink.log.clear();
    Feed(receiver, Frame(c.command, c.subcommand, c.payload));
    EXPECT_EQ(sink.log, c.logOnceErased);
    EXPECT_EQ(Read(receiver), c.countersOnceErased);
}

INSTANTIATE_TEST_SUITE_P(
    ProgramAndVerify, EraseGateTest,
    ::testing::Values(
        GatedCase{"ProgramStep", CMD_PROGRAM, SUB_PHASE_STEP, {0x00}, {Event(ACK_PROGRAM_STEP)}, {0, 0, 0}},
        GatedCase{"ProgramEnd", CMD_PROGRAM, SUB_PHASE_END, {0x01}, {Event(ACK_PROGRAM_END)}, {0, 0, 0}},
        GatedCase{"VerifyStart", CMD_VERIFY, SUB_PHASE_START, {0x00, 0x20}, {}, {0, 32, 0}},
        GatedCase{"VerifyStep", CMD_VERIFY, SUB_PHASE_STEP, {0x00}, {Event(ACK_VERIFY_STEP)}, {0, 0, 0}},
        GatedCase{"VerifyEnd", CMD_VERIFY, SUB_PHASE_END, {0x01}, {Event(ACK_VERIFY_END)}, {0, 0, 0}}),
    CaseName<GatedCase>);

TEST_F(ReceiverTest, ProgramStartWhileEraseIsActiveShowsEraseFailAndKeepsTheStepTotal)
{
    Feed(receiver, Frame(CMD_ERASE, SUB_PHASE_START, {0x07}));
    Feed(receiver, Frame(CMD_PROGRAM, SUB_PHASE_START, {0x01, 0x00}));
    // The wrong size is not even looked at while erasing.
    Feed(receiver, Frame(CMD_PROGRAM, SUB_PHASE_START, {0x01}));
    EXPECT_EQ(sink.log, (std::vector<std::string>{Message("Upgrade Error::Erase Fail!"),
                                                  Message("Upgrade Error::Erase Fail!")}));
    EXPECT_EQ(Read(receiver), (Counters{1, 7, 0}));
}

TEST_F(ReceiverTest, ProgramFailIsHandledWhileEraseIsActive)
{
    Feed(receiver, Frame(CMD_ERASE, SUB_PHASE_START, {0x07}));
    Feed(receiver, Frame(CMD_PROGRAM, SUB_PHASE_FAIL, {0x01}));
    Feed(receiver, Frame(CMD_PROGRAM, SUB_PHASE_FAIL, {0x00}));
    EXPECT_EQ(sink.log, (std::vector<std::string>{Event(ACK_PROGRAM_FAIL),
                                                  Message("ACK Program Fail Protocol Result : FALSE!")}));
    EXPECT_EQ(receiver.EraseActive, 1);
}

TEST_F(ReceiverTest, AFailedEraseEndLeavesEraseActiveUntilAGoodOne)
{
    Feed(receiver, Frame(CMD_ERASE, SUB_PHASE_START, {0x0A}));
    Feed(receiver, Frame(CMD_ERASE, SUB_PHASE_END, {0x00}));
    EXPECT_EQ(receiver.EraseActive, 1);
    Feed(receiver, Frame(CMD_PROGRAM, SUB_PHASE_START, {0x00, 0x64}));
    Feed(receiver, Frame(CMD_PROGRAM, SUB_PHASE_STEP, {0x00}));
    Feed(receiver, Frame(CMD_VERIFY, SUB_PHASE_END, {0x01}));
    EXPECT_EQ(sink.log, (std::vector<std::string>{Message("ACK Erase End Protocol Result : FALSE!"),
                                                  Message("Upgrade Error::Erase Fail!")}));
    EXPECT_EQ(Read(receiver), (Counters{1, 10, 0}));

    sink.log.clear();
    Feed(receiver, Frame(CMD_ERASE, SUB_PHASE_END, {0x01}));
    Feed(receiver, Frame(CMD_PROGRAM, SUB_PHASE_START, {0x00, 0x64}));
    Feed(receiver, Frame(CMD_PROGRAM, SUB_PHASE_STEP, {0x00}));
    EXPECT_EQ(sink.log, (std::vector<std::string>{Event(ACK_ERASE_END), Event(ACK_PROGRAM_STEP)}));
    EXPECT_EQ(Read(receiver), (Counters{0, 100, 0}));
}

TEST_F(ReceiverTest, EraseStepsAndEraseFailAreNotHeldBackWhileErasing)
{
    Feed(receiver, Frame(CMD_ERASE, SUB_PHASE_START, {0x02}));
    Feed(receiver, Frame(CMD_ERASE, SUB_PHASE_STEP, {0x00}));
    Feed(receiver, Frame(CMD_ERASE, SUB_PHASE_FAIL, {0x01}));
    EXPECT_EQ(sink.log, (std::vector<std::string>{Event(ACK_ERASE_STEP), Event(ACK_ERASE_FAIL)}));
}

// ---------------------------------------------------------------------------
// Framing

TEST_F(ReceiverTest, AFrameSplitIntoSingleBytesIsDeliveredOnceAfterItsLastByte)
{
    const Bytes frame = Frame(CMD_UPGRADE, SUB_DATA_DOWN_ACK, {0x01});
    for (std::size_t i = 0; i < frame.size(); ++i) {
        EXPECT_TRUE(sink.log.empty()) << "delivered before byte " << i;
        receiver.ParseReceived(&frame[i], 1);
    }
    EXPECT_EQ(sink.log, std::vector<std::string>{Event(ACK_DATA_DOWN)});
}

TEST_F(ReceiverTest, AStrayMarkerBeforeAFrameRestartsIt)
{
    for (std::size_t strays : {1u, 2u, 5u}) {
        sink.log.clear();
        Feed(receiver, Concat({Bytes(strays, 0xFB), Frame(CMD_UPGRADE, SUB_ACK, {0x01})}));
        EXPECT_EQ(sink.log, std::vector<std::string>{Event(ACK_UP_INDEX)}) << strays << " stray markers";
    }
}

TEST_F(ReceiverTest, APacketHoldsTheWholeFrameAsReceived)
{
    const Bytes sys = SysCheckRecord(21);
    Feed(receiver, Frame(CMD_SERIAL_VERSION, 0x01, Bytes(200, 'x'))); // leaves bytes behind in the record
    Feed(receiver, Frame(CMD_SYS_CHECK, SUB_ACK, sys));
    ASSERT_EQ(sink.packets.size(), 2u);
    const Packet& p = sink.packets[1];
    EXPECT_EQ(p.start, 0xFB);
    EXPECT_EQ(p.startComplement, 0x04);
    EXPECT_EQ(p.command, CMD_SYS_CHECK);
    EXPECT_EQ(p.subcommand, SUB_ACK);
    EXPECT_EQ(p.length, 21);
    EXPECT_EQ(p.end, 0xFB);
    EXPECT_EQ(p.checksum, Frame(CMD_SYS_CHECK, SUB_ACK, sys).back());
    EXPECT_TRUE(SameBytes(Bytes(p.data, p.data + FRAME_MAX_PAYLOAD),
                          [&] {
                              Bytes expected(FRAME_MAX_PAYLOAD, 0);
                              std::copy(sys.begin(), sys.end(), expected.begin());
                              return expected;
                          }()))
        << "payload bytes past the length must be zero";
}

struct BrokenFrame {
    const char* name;
    Bytes bytes;
};
void PrintTo(const BrokenFrame& c, std::ostream* os)
{
    *os << c.name;
}

Bytes WithByte(Bytes frame, std::size_t at, std::uint8_t value)
{
    frame.at(at) = value;
    return frame;
}

// A frame whose checksum byte is 0xFB: Program Step, whose payload may be anything.
Bytes FrameWithMarkerChecksum()
{
    const std::uint8_t header[] = {0xFB, 0x04, CMD_PROGRAM, SUB_PHASE_STEP, 0x00, 0x01};
    // header ^ filler ^ end marker must come to 0xFB, so filler = XOR of the header.
    const std::uint8_t filler = ComputeChecksum(header, sizeof header);
    return Frame(CMD_PROGRAM, SUB_PHASE_STEP, {filler});
}

const Bytes kGood = Frame(CMD_UPGRADE, SUB_BOOT_END_ACK, {0x01});

const BrokenFrame kBroken[] = {
    {"WrongComplement", WithByte(kGood, 1, 0x05)},
    {"WrongEndMarker", WithByte(kGood, 7, 0xFA)},
    {"WrongChecksum", WithByte(kGood, 8, static_cast<std::uint8_t>(kGood[8] ^ 0x01))},
    // A wrong checksum that happens to be a marker does not start the next frame.
    {"WrongChecksumThatIsAMarker", Concat({WithByte(kGood, 8, 0xFB), Bytes(kGood.begin() + 1, kGood.end())})},
    // Announces one byte, carries two: the byte after the payload is no end marker.
    {"PayloadOverrun",
     Bytes{0xFB, 0x04, 0x0B, 0x0E, 0x00, 0x01, 0x01, 0x01, 0xFB,
           static_cast<std::uint8_t>(0xFB ^ 0x04 ^ 0x0B ^ 0x0E ^ 0x01 ^ 0x01 ^ 0x01 ^ 0xFB)}},
    {"LengthZero", Frame(CMD_PROGRAM, SUB_PHASE_STEP, {})},
    {"LengthZeroFollowedByAPayloadByte", Bytes{0xFB, 0x04, 0x0D, 0x02, 0x00, 0x00, 0x01, 0xFB,
                                               static_cast<std::uint8_t>(0x04 ^ 0x0D ^ 0x02 ^ 0x01)}},
    {"TruncatedBeforeTheChecksum", Bytes(kGood.begin(), kGood.end() - 1)},
};

using BrokenFrameTest = CaseTest<BrokenFrame>;

TEST_P(BrokenFrameTest, IsDroppedSilentlyAndTheNextGoodFrameStillArrives)
{
    Feed(receiver, GetParam().bytes);
    EXPECT_TRUE(sink.log.empty()) << sink.log.front();

    // A truncated frame swallows what follows until its own end; the one after comes through.
    Feed(receiver, Concat({Frame(CMD_FINISH, SUB_ACK, {0x01}), Frame(CMD_BOARD_CHECK, SUB_ACK, {0x01})}));
    ASSERT_FALSE(sink.log.empty());
    EXPECT_EQ(sink.log.back(), Event(ACK_BOARD_CHECK));
}

INSTANTIATE_TEST_SUITE_P(Framing, BrokenFrameTest, ::testing::ValuesIn(kBroken), CaseName<BrokenFrame>);

TEST_F(ReceiverTest, AChecksumByteEqualToTheMarkerIsOnlyAChecksum)
{
    const Bytes frame = FrameWithMarkerChecksum();
    ASSERT_EQ(frame.back(), 0xFB);
    Feed(receiver, Concat({frame, Frame(CMD_UPGRADE, SUB_ACK, {0x01})}));
    EXPECT_EQ(sink.log, (std::vector<std::string>{Event(ACK_PROGRAM_STEP), Event(ACK_UP_INDEX)}));
}

TEST_F(ReceiverTest, AFrameLargerThanTheRecordIsReadThroughAndDropped)
{
    // The oversized payload hides a complete good frame; reading it through
    // means that frame is payload, not a frame.
    const Bytes hidden = Frame(CMD_UPGRADE, SUB_ACK, {0x01});
    for (int length : {FRAME_MAX_PAYLOAD + 1, FRAME_MAX_PAYLOAD + 100, 0xFFFF}) {
        sink.log.clear();
        Bytes payload(static_cast<std::size_t>(length), 0xFB);
        std::copy(hidden.begin(), hidden.end(), payload.begin() + length - static_cast<long>(hidden.size()));
        Feed(receiver, Frame(CMD_PROGRAM, SUB_PHASE_STEP, payload));
        EXPECT_TRUE(sink.log.empty()) << "length " << length << ": " << sink.log.front();

        Feed(receiver, Frame(CMD_UPGRADE, SUB_DATA_END_ACK, {0x01}));
        EXPECT_EQ(sink.log, std::vector<std::string>{Event(ACK_DATA_END)}) << "length " << length;
        ASSERT_FALSE(sink.packets.empty());
        const Packet& p = sink.packets.back();
        EXPECT_EQ(p.length, 1);
        EXPECT_TRUE(SameBytes(Bytes(p.data, p.data + FRAME_MAX_PAYLOAD),
                              [] {
                                  Bytes expected(FRAME_MAX_PAYLOAD, 0);
                                  expected[0] = 0x01;
                                  return expected;
                              }()))
            << "length " << length;
    }
}

TEST_F(ReceiverTest, ResetAbandonsAHalfReceivedFrameAndTheCounters)
{
    const Bytes frame = Frame(CMD_UPGRADE, SUB_ACK, {0x01});
    Feed(receiver, Frame(CMD_ERASE, SUB_PHASE_START, {0x03}));
    receiver.ParseReceived(frame.data(), 5);
    receiver.Reset();
    receiver.ParseReceived(frame.data() + 5, frame.size() - 5);
    EXPECT_TRUE(sink.log.empty());
    EXPECT_EQ(Read(receiver), (Counters{0, 0, 0}));
    Feed(receiver, frame);
    EXPECT_EQ(sink.log, std::vector<std::string>{Event(ACK_UP_INDEX)});
}

// Logs every frame, event and message in one sequence.
class CFrameLogSink : public IAckSink {
public:
    void OnFrame(const Packet& p) override
    {
        log.push_back("frame " + std::to_string(p.command) + "/" + std::to_string(p.subcommand));
    }
    void OnAckEvent(int event) override { log.push_back(Event(event)); }
    void OnCheckerMessage(const std::string& text) override { log.push_back(Message(text)); }
    std::vector<std::string> log;
};

TEST(Receiver, EveryCorrectFrameIsAnnouncedBeforeItsCheckerRunsAndNoBrokenOneIs)
{
    CFrameLogSink sink;
    CAckReceiver receiver(&sink);
    Feed(receiver, Concat({
                       Frame(CMD_UPGRADE, SUB_ACK, {0x01}),
                       Frame(CMD_UPGRADE, SUB_ACK, {0x00}),
                       Frame(0x77, 0x01, {0x01}),                             // no checker
                       Frame(CMD_ERASE, SUB_PHASE_START, {0x01}),             // no event
                       Frame(CMD_PROGRAM, SUB_PHASE_STEP, {0x01}),            // held back while erasing
                       WithByte(Frame(CMD_FINISH, SUB_ACK, {0x01}), 8, 0x00), // wrong checksum
                       Frame(CMD_PROGRAM, SUB_PHASE_STEP, {}),                // empty
                       Frame(CMD_PROGRAM, SUB_PHASE_STEP, Bytes(FRAME_MAX_PAYLOAD + 1, 0x00)),
                       Frame(CMD_BOARD_CHECK, SUB_ACK, {0x01}),
                   }));
    EXPECT_EQ(sink.log,
              (std::vector<std::string>{"frame 11/2", Event(ACK_UP_INDEX), "frame 11/2",
                                        Message("ACK UP Index Protocal Result : FALSE!"), "frame 119/1",
                                        "frame 12/1", "frame 13/2", "frame 30/2", Event(ACK_BOARD_CHECK)}));
}

// An item upgrade as the target reports it, with line noise between frames.
Bytes UpgradeRun()
{
    return Concat({
        Bytes{0x00, 0x13, 0xFB},
        Frame(CMD_UPGRADE, SUB_ACK, {0x01}),
        Frame(CMD_UPGRADE, SUB_BOOT_DOWN_ACK, {0x01}),
        Frame(CMD_UPGRADE, SUB_BOOT_END_ACK, {0x01}),
        Bytes{0xFB, 0x05},
        Bytes{0xFB, 0x04, 0x0B, 0x02, 0x00, 0x01, 0x01, 0x00}, // no end marker
        Frame(CMD_UPGRADE, SUB_DATA_DOWN_ACK, {0x01}),
        Frame(CMD_UPGRADE, SUB_DATA_END_ACK, {0x01}),
        Frame(CMD_ERASE, SUB_PHASE_START, {0x02}),
        Frame(CMD_ERASE, SUB_PHASE_STEP, {0x00}),
        Frame(CMD_PROGRAM, SUB_PHASE_STEP, {0x00}), // held back: still erasing
        Frame(CMD_ERASE, SUB_PHASE_STEP, {0x01}),
        Frame(CMD_ERASE, SUB_PHASE_END, {0x01}),
        Frame(CMD_PROGRAM, SUB_PHASE_START, {0x00, 0x02}),
        Frame(CMD_PROGRAM, SUB_PHASE_STEP, Bytes(FRAME_MAX_PAYLOAD, 0xFB)),
        Frame(CMD_PROGRAM, SUB_PHASE_STEP, {0xFB}),
        Frame(CMD_PROGRAM, SUB_PHASE_END, {0x01}),
        Frame(CMD_FINISH, SUB_ACK, {0x01}),
    });
}

const std::vector<std::string> kUpgradeRunLog = {
    Event(ACK_UP_INDEX),     Event(ACK_BOOT_DOWN),    Event(ACK_BOOT_END),    Event(ACK_DATA_DOWN),
    Event(ACK_DATA_END),     Event(ACK_ERASE_STEP),   Event(ACK_ERASE_STEP),  Event(ACK_ERASE_END),
    Event(ACK_PROGRAM_STEP), Event(ACK_PROGRAM_STEP), Event(ACK_PROGRAM_END), Event(ACK_UPGRADE_FINISH),
};

TEST_F(ReceiverTest, AnUpgradeRunIsReportedInOrderHoweverItIsSplit)
{
    const Bytes run = UpgradeRun();
    Feed(receiver, run);
    ASSERT_EQ(sink.log, kUpgradeRunLog);

    for (unsigned seed = 1; seed <= 20; ++seed) {
        for (std::size_t maxPiece : {2u, 9u, 64u, 5000u}) {
            CRecordingSink split;
            CAckReceiver other(&split);
            FeedSplit(other, run, seed, maxPiece);
            EXPECT_EQ(split.log, kUpgradeRunLog) << "seed " << seed << ", pieces up to " << maxPiece;
        }
    }
}

} // namespace
