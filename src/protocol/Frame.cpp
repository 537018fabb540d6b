#include "protocol/Frame.h"

#include <algorithm>
#include <cstring>

std::uint8_t ComputeChecksum(const std::uint8_t* bytes, std::size_t count)
{
    std::uint8_t sum = 0;
    for (std::size_t i = 0; i < count; ++i)
        sum ^= bytes[i];
    return sum;
}

namespace {

// Header and trailer of a frame whose length payload bytes are already at frame + 6.
void SealAround(std::uint8_t* frame, std::uint8_t command, std::uint8_t subcommand, std::int32_t length)
{
    const auto n = static_cast<std::size_t>(length);
    frame[0] = FRAME_MARKER;
    frame[1] = 0xFF - FRAME_MARKER;
    frame[2] = command;
    frame[3] = subcommand;
    frame[4] = static_cast<std::uint8_t>((length >> 8) & 0xFF);
    frame[5] = static_cast<std::uint8_t>(length & 0xFF);
    frame[6 + n] = FRAME_MARKER;
    frame[7 + n] = ComputeChecksum(frame, n + 7);
}

} // namespace

std::vector<std::uint8_t> BuildFrame(std::uint8_t command, std::uint8_t subcommand,
                                     const std::uint8_t* payload, std::int32_t length)
{
    if (length < 0)
        length = 0;
    std::vector<std::uint8_t> frame(static_cast<std::size_t>(length) + FRAME_OVERHEAD, 0);
    if (length > 0 && payload != nullptr)
        std::memcpy(frame.data() + 6, payload, static_cast<std::size_t>(length));
    SealAround(frame.data(), command, subcommand, length);
    return frame;
}

void CFrameBuffer::Seal(std::uint8_t command, std::uint8_t subcommand, std::int32_t length)
{
    length = std::clamp(length, 0, FRAME_MAX_PAYLOAD);
    SealAround(m_bytes.data(), command, subcommand, length);
    m_nSize = static_cast<std::size_t>(length) + FRAME_OVERHEAD;
}
