// The board exchange alone, on a fake port and a fake clock: whatever step
// the board refuses or leaves unanswered, the exchange ends with the one
// reason its owner maps to a message, once, and puts nothing more on the
// port afterwards.
#include "BootTestSupport.h"

#include "board/BoardExchange.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>

namespace {

const Bytes kAck = {0x01, 0x00, 0x01, 0x06, 0x04, 0x02};
const Bytes kRefusal = {0x01, 0x00, 0x01, 0x15, 0x04, 0x11};

struct FakeOwner : IBoardPort, IBoardListener {
    bool PortWrite(const std::uint8_t* bytes, int count) override
    {
        afterEnd += ended();
        writes.emplace_back(bytes, bytes + count);
        return true;
    }
    void PortDropInput() override {}
    bool PortIsOpen() const override { return open; }
    void PortClose() override
    {
        afterEnd += ended();
        open = false;
    }
    bool PortReopen(const std::string& baud) override { return open = reopens && baud == "115200"; }
    void BoardInBootMode() override {}
    void BoardProgress(EBoardRow, int) override {}
    void BoardTrace(const std::string&) override {}
    void BoardWarning(const std::string&) override { ++warnings; }
    void BoardStartTimer(int id, int ms) override { timers[id] = ms; }
    void BoardStopTimer(int id) override { timers.erase(id); }
    void BoardDone() override { ++done; }
    void BoardFailed(EBoardFailure why) override
    {
        ++failed;
        reason = why;
    }
    int ended() const { return done + failed; }

    std::vector<Bytes> writes;
    std::map<int, int> timers;
    bool open = true;
    bool reopens = true;
    int afterEnd = 0, warnings = 0, done = 0, failed = 0;
    EBoardFailure reason{};
};

enum class EUpset { None, Refuse, Silent, NoReopen };

struct UpsetCase {
    const char* name;
    int step; // where the board upsets the exchange
    EUpset upset;
    int done;
    int warnings;
    EBoardFailure reason;
};

class BoardExchangeTest : public ::testing::TestWithParam<UpsetCase> {};

TEST_P(BoardExchangeTest, EveryUpsetEndsOnceWithItsReasonAndThePortUntouched)
{
    const UpsetCase& c = GetParam();
    CTempFolder folder;
    FakeOwner owner;
    owner.reopens = c.upset != EUpset::NoReopen;
    CBoardExchange board(owner, owner, 5000);
    board.Start(folder.Write("B.UPH", BodyPattern(3, 1)),
                folder.Write("B.UPB", Concat({BodyPattern(1500, 2), Text("##"), Bytes{1, 2}})));
    board.OnByte('A');
    std::size_t answered = owner.writes.size();
    auto feed = [&](const Bytes& bytes) {
        for (std::uint8_t b : bytes)
            board.OnByte(b);
    };
    for (int guard = 0; guard < 100 && owner.ended() == 0; ++guard) {
        const int step = board.Step();
        if (owner.writes.size() > answered) {
            answered = owner.writes.size();
            if (step == c.step && c.upset == EUpset::Silent)
                board.OnTimer(step == DEF_STEP_BOOT ? IDT_BOOT_TIMEOUT : IDT_BOARD_STALL);
            else if (step == DEF_STEP_BOOT)
                board.OnByte(0x06);
            else
                feed(step == c.step && c.upset == EUpset::Refuse ? kRefusal : kAck);
            continue;
        }
        // The clock: the next pause of the exchange runs out, never a watch.
        const auto due = std::find_if(owner.timers.begin(), owner.timers.end(), [](const auto& t) {
            return t.first != IDT_BOARD_STALL && t.first != IDT_BOOT_TIMEOUT;
        });
        ASSERT_NE(due, owner.timers.end()) << "stuck in step " << step;
        const int id = due->first;
        owner.timers.erase(due);
        board.OnTimer(id);
    }
    EXPECT_EQ(owner.done, c.done);
    EXPECT_EQ(owner.failed, 1 - c.done);
    EXPECT_EQ(owner.warnings, c.warnings);
    if (c.done == 0) {
        EXPECT_EQ(owner.reason, c.reason);
    }
    // A failure is said once per connection: nothing further reports again.
    if (c.done == 0 && c.reason != EBoardFailure::BootImageSilent) {
        feed(Concat({kRefusal, kRefusal}));
        board.OnTimer(IDT_BOARD_STALL);
        EXPECT_FALSE(board.Writing());
    }
    EXPECT_EQ(owner.ended(), 1);
    EXPECT_EQ(owner.afterEnd, 0);
}

constexpr auto kFailed = EBoardFailure::Failed;
constexpr auto kStalled = EBoardFailure::Stalled;

INSTANTIATE_TEST_SUITE_P(
    Upsets, BoardExchangeTest,
    ::testing::Values(UpsetCase{"Answered", DEF_STEP_NONE, EUpset::None, 1, 0, kFailed},
                      UpsetCase{"ReadyRefusedGoesOn", DEF_STEP_READY, EUpset::Refuse, 1, 1, kFailed},
                      UpsetCase{"EraseRefused", DEF_STEP_ERASE, EUpset::Refuse, 0, 0, kFailed},
                      UpsetCase{"StartRefused", DEF_STEP_START, EUpset::Refuse, 0, 0, kFailed},
                      UpsetCase{"BlockRefused", DEF_STEP_SENDHEX, EUpset::Refuse, 0, 0, kFailed},
                      UpsetCase{"EndRefused", DEF_STEP_ENDHEX, EUpset::Refuse, 0, 0, kFailed},
                      UpsetCase{"FinishRefused", DEF_STEP_FINISH, EUpset::Refuse, 0, 0, kFailed},
                      UpsetCase{"BootByteSilent", DEF_STEP_BOOT, EUpset::Silent, 0, 0,
                                EBoardFailure::BootImageSilent},
                      UpsetCase{"ReadySilent", DEF_STEP_READY, EUpset::Silent, 0, 0, kStalled},
                      UpsetCase{"EraseSilent", DEF_STEP_ERASE, EUpset::Silent, 0, 0, kStalled},
                      UpsetCase{"BlockSilent", DEF_STEP_SENDHEX, EUpset::Silent, 0, 0, kStalled},
                      UpsetCase{"FinishSilent", DEF_STEP_FINISH, EUpset::Silent, 0, 0, kStalled},
                      UpsetCase{"NoReopen", DEF_STEP_NONE, EUpset::NoReopen, 0, 0, kFailed}),
    [](const auto& info) { return std::string(info.param.name); });

} // namespace
