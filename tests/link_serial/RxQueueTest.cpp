#include "SerialTestSupport.h"

#include "link/RxQueue.h"

#include <thread>

namespace {

TEST(RxQueue, HoldsAtMostOneByteLessThanItsStorageAndGivesThemBackInOrder)
{
    CRxQueue queue;
    std::uint8_t b = 0xAA;
    EXPECT_EQ(queue.Pop(b), 0);
    EXPECT_EQ(b, 0xAA) << "a pop from an empty ring must not touch its output";
    EXPECT_EQ(queue.FreeSpace(), CRxQueue::RXQUEUE_CAPACITY);

    const Bytes in = Pattern(CRxQueue::RXQUEUE_CAPACITY, 1);
    for (std::uint8_t v : in)
        ASSERT_EQ(queue.Push(v), 1);
    EXPECT_EQ(queue.Count(), 16383);
    EXPECT_EQ(queue.FreeSpace(), 0);
    EXPECT_EQ(queue.Push(0x55), 0) << "the last slot stays empty";
    EXPECT_EQ(queue.PushBlock(in.data(), 10), 0);

    EXPECT_TRUE(SameBytes(PopAll(queue), in));
    EXPECT_EQ(queue.Count(), 0);
}

// Block sizes that meet the end of the storage at different phases.
class RxQueueLaps : public ::testing::TestWithParam<int> {};

TEST_P(RxQueueLaps, KeepsOrderAcrossManyWrapArounds)
{
    const int block = GetParam();
    CRxQueue queue;
    const Bytes in = Pattern(5 * CRxQueue::RXQUEUE_SIZE + 123, std::uint32_t(block));
    Bytes out;
    std::size_t sent = 0;
    while (out.size() < in.size()) {
        const int want = int(std::min<std::size_t>(std::size_t(block), in.size() - sent));
        const int free = queue.FreeSpace();
        const int stored = queue.PushBlock(in.data() + sent, want);
        ASSERT_EQ(stored, std::min(want, free)) << "a block takes exactly the free space, no more";
        sent += std::size_t(stored);
        // Take a little less than was put, so the fill level walks round the ring.
        std::uint8_t b = 0;
        for (int i = 0; i < std::max(1, block - 1) && queue.Pop(b) == 1; ++i)
            out.push_back(b);
        if (sent == in.size()) {
            const Bytes rest = PopAll(queue);
            out.insert(out.end(), rest.begin(), rest.end());
        }
    }
    EXPECT_TRUE(SameBytes(out, in));
}

INSTANTIATE_TEST_SUITE_P(BlockSizes, RxQueueLaps, ::testing::Values(1, 7, 1000, 16383, 16384, 40000));

TEST(RxQueue, ClearEmptiesTheRingAndItWorksAfterwards)
{
    CRxQueue queue;
    const Bytes first = Pattern(9000, 2);
    ASSERT_EQ(queue.PushBlock(first.data(), int(first.size())), 9000);
    queue.Clear();
    EXPECT_EQ(queue.Count(), 0);
    std::uint8_t b = 0;
    EXPECT_EQ(queue.Pop(b), 0);
    const Bytes second = Pattern(CRxQueue::RXQUEUE_CAPACITY, 3);
    EXPECT_EQ(queue.PushBlock(second.data(), int(second.size())), CRxQueue::RXQUEUE_CAPACITY);
    EXPECT_TRUE(SameBytes(PopAll(queue), second));
}

TEST(RxQueue, OneProducerAndOneConsumerOnTwoThreadsLoseNothing)
{
    CRxQueue queue;
    const Bytes in = Pattern(1 << 20, 4);
    std::thread producer([&] {
        std::size_t sent = 0;
        while (sent < in.size()) {
            const int chunk = int(std::min<std::size_t>(3000, in.size() - sent));
            sent += std::size_t(queue.PushBlock(in.data() + sent, chunk));
        }
    });
    Bytes out;
    out.reserve(in.size());
    std::uint8_t b = 0;
    while (out.size() < in.size())
        if (queue.Pop(b) == 1)
            out.push_back(b);
    producer.join();
    EXPECT_TRUE(SameBytes(out, in));
}

} // namespace
