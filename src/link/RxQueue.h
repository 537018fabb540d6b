#pragma once
// Receive ring between the serial receive thread (the only producer) and the
// user-interface thread (the only consumer). Lock-free: each side owns one
// index and publishes it with release/acquire ordering.
#include <array>
#include <atomic>
#include <cstdint>

class CRxQueue {
public:
    static constexpr int RXQUEUE_SIZE = 16384;
    // One slot always stays empty so that full and empty differ.
    static constexpr int RXQUEUE_CAPACITY = RXQUEUE_SIZE - 1;

    CRxQueue();
    ~CRxQueue();
    CRxQueue(const CRxQueue&) = delete;
    CRxQueue& operator=(const CRxQueue&) = delete;

    // Producer: 1 stored, 0 when the ring is full.
    int Push(std::uint8_t byte);
    // Producer: stores as many leading bytes as fit, returns how many.
    int PushBlock(const std::uint8_t* bytes, int count);
    // Consumer: 1 taken into out, 0 when the ring is empty.
    int Pop(std::uint8_t& out);
    // Both indexes to 0 and the storage zeroed. Only while no producer runs
    // (port closed) or from the consumer inside a receive notification.
    void Clear();

    int Count() const;
    int FreeSpace() const { return RXQUEUE_CAPACITY - Count(); }

private:
    std::array<std::uint8_t, RXQUEUE_SIZE> m_data{};
    std::atomic<int> m_nWriteIndex{0}; // next slot to fill, owned by the producer
    std::atomic<int> m_nReadIndex{0};  // next slot to take, owned by the consumer
};

extern CRxQueue g_RxQueue;
