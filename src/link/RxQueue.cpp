#include "link/RxQueue.h"

#include <algorithm>

namespace {
constexpr int Next(int index)
{
    return (index + 1) % CRxQueue::RXQUEUE_SIZE;
}
} // namespace

CRxQueue::CRxQueue()
{
    Clear();
}

CRxQueue::~CRxQueue()
{
    Clear();
}

int CRxQueue::Push(std::uint8_t byte)
{
    const int w = m_nWriteIndex.load(std::memory_order_relaxed);
    if (Next(w) == m_nReadIndex.load(std::memory_order_acquire))
        return 0;
    m_data[static_cast<std::size_t>(w)] = byte;
    m_nWriteIndex.store(Next(w), std::memory_order_release);
    return 1;
}

int CRxQueue::PushBlock(const std::uint8_t* bytes, int count)
{
    if (bytes == nullptr || count <= 0)
        return 0;
    const int w = m_nWriteIndex.load(std::memory_order_relaxed);
    const int r = m_nReadIndex.load(std::memory_order_acquire);
    const int room = RXQUEUE_CAPACITY - (w - r + RXQUEUE_SIZE) % RXQUEUE_SIZE;
    const int n = std::min(room, count);
    // At most two runs: up to the end of the storage, then from its start.
    const int first = std::min(n, RXQUEUE_SIZE - w);
    std::copy(bytes, bytes + first, m_data.begin() + w);
    std::copy(bytes + first, bytes + n, m_data.begin());
    m_nWriteIndex.store((w + n) % RXQUEUE_SIZE, std::memory_order_release);
    return n;
}

int CRxQueue::Pop(std::uint8_t& out)
{
    const int r = m_nReadIndex.load(std::memory_order_relaxed);
    if (r == m_nWriteIndex.load(std::memory_order_acquire))
        return 0;
    out = m_data[static_cast<std::size_t>(r)];
    m_nReadIndex.store(Next(r), std::memory_order_release);
    return 1;
}

void CRxQueue::Clear()
{
    m_data.fill(0);
    m_nReadIndex.store(0, std::memory_order_release);
    m_nWriteIndex.store(0, std::memory_order_release);
}

int CRxQueue::Count() const
{
    const int w = m_nWriteIndex.load(std::memory_order_acquire);
    const int r = m_nReadIndex.load(std::memory_order_acquire);
    return (w - r + RXQUEUE_SIZE) % RXQUEUE_SIZE;
}
