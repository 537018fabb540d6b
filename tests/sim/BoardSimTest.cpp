#include "SimTestSupport.h"

#include <gtest/gtest.h>

#include <thread>

namespace {

const std::vector<std::string> kFastBoard = {"board", "--boot-gap",      "150ms", "--end-quiet",
                                             "30ms",  "--finish-window", "120ms", "--short-block-timeout",
                                             "250ms"};
// Written out rather than taken from the target, so a wrong constant there shows.
const Bytes kAck = {0x01, 0x00, 0x01, 0x06, 0x04, 0x02};
const Bytes kRefusal = {0x01, 0x00, 0x01, 0x15, 0x04, 0x11};

std::vector<std::string> With(std::vector<std::string> extra)
{
    std::vector<std::string> args = kFastBoard;
    args.insert(args.end(), extra.begin(), extra.end());
    return args;
}

Bytes Message(const std::string& text)
{
    Bytes m = {0x01, 0x00, static_cast<std::uint8_t>(text.size())};
    m.insert(m.end(), text.begin(), text.end());
    m.push_back(0x04);
    std::uint8_t sum = 0;
    for (std::uint8_t b : m)
        sum ^= b;
    m.push_back(sum);
    return m;
}

Bytes Concat(const std::vector<Bytes>& parts)
{
    Bytes out;
    for (const Bytes& p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

struct CBoardRun {
    Bytes boot = Pattern(300, 5);
    std::vector<Bytes> blocks;
    Bytes finish = {0x12, 0x34};
    std::uint32_t bootBaud = 38300;
};

struct CStepAnswer {
    std::string step;
    Bytes answer;
};

// Drives a whole session as the tool does, stopping at the first answer that
// is not the acknowledgement (the tool halts there too).
std::vector<CStepAnswer> DriveSession(CSimFixture& f, const CBoardRun& run)
{
    std::vector<CStepAnswer> seen;
    CSlave& s = f.Slave();
    EXPECT_TRUE(SetLineSpeed(s.Fd(), run.bootBaud));
    s.WriteAll({'A'});
    EXPECT_EQ(s.Read(1, 1000ms), Bytes{'A'});
    for (std::uint8_t b : run.boot) {
        s.WriteAll({b});
        const Bytes answer = s.Read(1, 1000ms);
        if (answer != Bytes{0x06}) {
            ADD_FAILURE() << "boot byte answered with " << HexText(answer);
            return seen;
        }
    }
    // The tool closes the port and reopens it at 115200.
    s.Close();
    std::this_thread::sleep_for(20ms);
    EXPECT_TRUE(s.Reopen(f.Sim().SlavePath()));
    EXPECT_TRUE(SetLineSpeed(s.Fd(), 115200));
    std::this_thread::sleep_for(200ms);

    const auto step = [&](const std::string& name, const Bytes& bytes, std::chrono::milliseconds wait) {
        s.WriteAll(bytes);
        seen.push_back({name, s.Read(6, wait)});
        return seen.back().answer == kAck;
    };
    if (!step("ready", Message("READY"), 1000ms))
        return seen;
    for (char c = 'A'; c <= 'J'; ++c)
        if (!step(std::string("erase ") + c, Message(std::string("ERASE") + c), 1000ms))
            return seen;
    if (!step("start", Message("START"), 1000ms))
        return seen;
    for (std::size_t i = 0; i < run.blocks.size(); ++i)
        if (!step("block " + std::to_string(i + 1), run.blocks[i], 1000ms))
            return seen;
    if (!step("end", Message("END"), 1000ms))
        return seen;
    std::this_thread::sleep_for(40ms);
    step("finish", run.finish, 2000ms);
    return seen;
}

CBoardRun StandardRun()
{
    CBoardRun run;
    // The first block begins with the very bytes of END: still a block.
    Bytes first = Message("END");
    const Bytes rest = Pattern(1024 - first.size(), 7);
    first.insert(first.end(), rest.begin(), rest.end());
    run.blocks = {first, Pattern(1024, 8), Bytes(1024, 0xFF)};
    return run;
}

TEST(BoardSim, AWholeSessionIsAcknowledgedAndRecorded)
{
    CSimFixture f(kFastBoard);
    const CBoardRun run = StandardRun();
    const auto seen = DriveSession(f, run);
    ASSERT_EQ(seen.size(), 1u + 10 + 1 + 3 + 1 + 1);
    for (const auto& s : seen)
        EXPECT_EQ(s.answer, kAck) << s.step;

    EXPECT_SAME_BYTES(run.boot, ReadFileBytes(f.RecordPath("board-boot.bin")));
    EXPECT_SAME_BYTES(Concat(run.blocks), ReadFileBytes(f.RecordPath("board-body.bin")));
    EXPECT_SAME_BYTES(run.finish, ReadFileBytes(f.RecordPath("board-finish.bin")));
    std::vector<std::string> log = {"PROBE", "BOOT 300", "READY"};
    for (char c = 'A'; c <= 'J'; ++c)
        log.push_back(std::string("ERASE ") + c);
    for (const char* l : {"START", "BLOCK 1", "BLOCK 2", "BLOCK 3", "END", "FINISH 2"})
        log.push_back(l);
    EXPECT_EQ(ReadFileLines(f.RecordPath("board.log")), log);
    EXPECT_EQ(ReadFileLines(f.RecordPath("board-baud.log")),
              (std::vector<std::string>{"probe 38300", "boot 38300", "ready 115200"}));
    EXPECT_FALSE(std::filesystem::exists(f.RecordPath("errors.log")));
}

TEST(BoardSim, AnEmptyFinishRecordIsAcknowledgedWhenTheWindowCloses)
{
    CSimFixture f(kFastBoard);
    CBoardRun run = StandardRun();
    run.boot = Pattern(3, 1);
    run.blocks.resize(1);
    run.finish.clear();
    const auto seen = DriveSession(f, run);
    ASSERT_FALSE(seen.empty());
    EXPECT_EQ(seen.back().step, "finish");
    EXPECT_EQ(seen.back().answer, kAck);
    EXPECT_TRUE(std::filesystem::exists(f.RecordPath("board-finish.bin")));
    EXPECT_TRUE(ReadFileBytes(f.RecordPath("board-finish.bin")).empty());
    EXPECT_EQ(ReadFileLines(f.RecordPath("board.log")).back(), "FINISH 0");
}

TEST(BoardSim, ARefusalComesExactlyAtTheChosenMessage)
{
    struct Case {
        const char* option;
        const char* step;
    };
    const Case cases[] = {{"ready", "ready"},     {"erase:3", "erase C"}, {"start", "start"},
                          {"block:2", "block 2"}, {"end", "end"},         {"finish", "finish"}};
    for (const Case& c : cases) {
        CSimFixture f(With({"--refuse", c.option}));
        CBoardRun run = StandardRun();
        run.boot = Pattern(4, 2);
        const auto seen = DriveSession(f, run);
        ASSERT_FALSE(seen.empty()) << c.option;
        EXPECT_EQ(seen.back().step, c.step) << c.option;
        EXPECT_EQ(seen.back().answer, kRefusal) << c.option;
        for (std::size_t i = 0; i + 1 < seen.size(); ++i)
            EXPECT_EQ(seen[i].answer, kAck) << c.option << " at " << seen[i].step;
    }
}

TEST(BoardSim, TheProbeIsAnsweredOnlyForAnA)
{
    CSimFixture f(kFastBoard);
    f.Slave().WriteAll({'x', 0x01});
    EXPECT_TRUE(f.Slave().ReadQuiet(100ms).empty());
    f.Slave().WriteAll({'A'});
    EXPECT_EQ(f.Slave().Read(1, 1000ms), Bytes{'A'});
    const auto errors = ReadFileLines(f.RecordPath("errors.log"));
    ASSERT_EQ(errors.size(), 2u);
    EXPECT_NE(errors[0].find("before the probe"), std::string::npos);
}

TEST(BoardSim, BootBytesGetTheConfiguredAnswerUntilTheChosenSilence)
{
    CSimFixture f(With({"--boot-answer", "5A", "--silent-at", "boot:3"}));
    f.Slave().WriteAll({'A'});
    ASSERT_EQ(f.Slave().Read(1, 1000ms), Bytes{'A'});
    for (int i = 1; i <= 4; ++i) {
        f.Slave().WriteAll({static_cast<std::uint8_t>(i)});
        EXPECT_EQ(f.Slave().Read(1, i < 3 ? 1000ms : 150ms), i < 3 ? Bytes{0x5A} : Bytes{})
            << "boot byte " << i;
    }
    EXPECT_SAME_BYTES((Bytes{1, 2, 3, 4}), ReadFileBytes(f.RecordPath("board-boot.bin")));
}

TEST(BoardSim, ASilentProbeGetsNoA)
{
    CSimFixture f(With({"--silent-at", "probe"}));
    f.Slave().WriteAll({'A'});
    EXPECT_TRUE(f.Slave().ReadQuiet(150ms).empty());
}

TEST(BoardSim, StrayBytesPrecedeTheAnswer)
{
    CSimFixture f(With({"--stray", "probe=55 AA"}));
    f.Slave().WriteAll({'A'});
    EXPECT_EQ(f.Slave().Read(3, 1000ms), (Bytes{0x55, 0xAA, 'A'}));
    f.Slave().WriteAll({0x00});
    EXPECT_EQ(f.Slave().Read(1, 1000ms), Bytes{0x06});
}

// Brings a fresh board to the point where it expects body blocks.
void UpToStart(CSimFixture& f)
{
    CSlave& s = f.Slave();
    s.WriteAll({'A'});
    ASSERT_EQ(s.Read(1, 1000ms), Bytes{'A'});
    s.WriteAll({0x01});
    ASSERT_EQ(s.Read(1, 1000ms), Bytes{0x06});
    std::this_thread::sleep_for(200ms);
    for (const std::string text : {"READY", "ERASEA", "ERASEB", "ERASEC", "ERASED", "ERASEE", "ERASEF",
                                   "ERASEG", "ERASEH", "ERASEI", "ERASEJ", "START"}) {
        s.WriteAll(Message(text));
        ASSERT_EQ(s.Read(6, 1000ms), kAck) << text;
    }
}

TEST(BoardSim, AShortBlockIsRefusedAfterTheLineStaysQuiet)
{
    CSimFixture f(kFastBoard);
    ASSERT_NO_FATAL_FAILURE(UpToStart(f));
    const auto t0 = std::chrono::steady_clock::now();
    f.Slave().WriteAll(Pattern(100, 1));
    EXPECT_EQ(f.Slave().Read(6, 2000ms), kRefusal);
    EXPECT_GE(std::chrono::steady_clock::now() - t0, 250ms);
    EXPECT_EQ(ReadFileLines(f.RecordPath("board.log")).back(), "BLOCK 1 short");
}

TEST(BoardSim, EndIsAcknowledgedOnlyAfterTheQuietTime)
{
    CSimFixture f(kFastBoard);
    ASSERT_NO_FATAL_FAILURE(UpToStart(f));
    const auto t0 = std::chrono::steady_clock::now();
    f.Slave().WriteAll(Message("END"));
    EXPECT_EQ(f.Slave().Read(6, 1000ms), kAck);
    EXPECT_GE(std::chrono::steady_clock::now() - t0, 30ms);
}

TEST(BoardSim, EndBytesFollowedSoonByMoreAreTheStartOfABlock)
{
    CSimFixture f(kFastBoard);
    ASSERT_NO_FATAL_FAILURE(UpToStart(f));
    Bytes block = Message("END");
    const Bytes rest = Pattern(1024 - block.size(), 9);
    f.Slave().WriteAll(block);
    std::this_thread::sleep_for(5ms);
    f.Slave().WriteAll(rest);
    EXPECT_EQ(f.Slave().Read(6, 1000ms), kAck);
    block.insert(block.end(), rest.begin(), rest.end());
    EXPECT_SAME_BYTES(block, ReadFileBytes(f.RecordPath("board-body.bin")));
    EXPECT_EQ(ReadFileLines(f.RecordPath("board.log")).back(), "BLOCK 1");
}

TEST(BoardSim, WrongOrMalformedMessagesAreRefused)
{
    struct Case {
        const char* what;
        Bytes bytes;
    };
    Bytes badSum = Message("ERASEA");
    badSum.back() ^= 0x40;
    const Case cases[] = {
        {"letter out of order", Message("ERASEB")}, {"checksum", badSum}, {"text", Message("START")}};
    for (const Case& c : cases) {
        CSimFixture f(kFastBoard);
        CSlave& s = f.Slave();
        s.WriteAll({'A'});
        ASSERT_EQ(s.Read(1, 1000ms), Bytes{'A'});
        s.WriteAll({0x07});
        ASSERT_EQ(s.Read(1, 1000ms), Bytes{0x06});
        std::this_thread::sleep_for(200ms);
        s.WriteAll(Message("READY"));
        ASSERT_EQ(s.Read(6, 1000ms), kAck);
        s.WriteAll(c.bytes);
        EXPECT_EQ(s.Read(6, 1000ms), kRefusal) << c.what;
        // The board still waits for ERASE A.
        s.WriteAll(Message("ERASEA"));
        EXPECT_EQ(s.Read(6, 1000ms), kAck) << c.what;
    }
}

TEST(BoardSim, AProbeAfterARefusalStartsANewSession)
{
    CSimFixture f(With({"--refuse", "erase:2"}));
    CSlave& s = f.Slave();
    s.WriteAll({'A'});
    ASSERT_EQ(s.Read(1, 1000ms), Bytes{'A'});
    s.WriteAll({0x09});
    ASSERT_EQ(s.Read(1, 1000ms), Bytes{0x06});
    std::this_thread::sleep_for(200ms);
    s.WriteAll(Message("READY"));
    ASSERT_EQ(s.Read(6, 1000ms), kAck);
    s.WriteAll(Message("ERASEA"));
    ASSERT_EQ(s.Read(6, 1000ms), kAck);
    s.WriteAll(Message("ERASEB"));
    ASSERT_EQ(s.Read(6, 1000ms), kRefusal);
    s.WriteAll({'A'});
    EXPECT_EQ(s.Read(1, 1000ms), Bytes{'A'});
    s.WriteAll({0x42});
    EXPECT_EQ(s.Read(1, 1000ms), Bytes{0x06});
    EXPECT_SAME_BYTES(Bytes{0x42}, ReadFileBytes(f.RecordPath("board-boot.bin")));
}

} // namespace
