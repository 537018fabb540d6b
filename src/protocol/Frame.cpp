#include "protocol/Frame.h"

#include <cstring>

std::uint8_t ComputeChecksum(const std::uint8_t* bytes, std::size_t count)
{
    std::uint8_t sum = 0;
    for (std::size_t i = 0; i < count; ++i)
        sum ^= bytes[i];
    return sum;
}

std::vector<std::uint8_t> BuildFrame(std::uint8_t command, std::uint8_t subcommand,
                                     const std::uint8_t* payload, std::int32_t length)
{
    if (length < 0)
        length = 0;
    std::vector<std::uint8_t> frame(static_cast<std::size_t>(length) + FRAME_OVERHEAD, 0);
    frame[0] = FRAME_MARKER;
    frame[1] = 0xFF - FRAME_MARKER;
    frame[2] = command;
    frame[3] = subcommand;
    frame[4] = static_cast<std::uint8_t>((length >> 8) & 0xFF);
    frame[5] = static_cast<std::uint8_t>(length & 0xFF);
    if (length > 0 && payload != nullptr)
        std::memcpy(frame.data() + 6, payload, static_cast<std::size_t>(length));
    frame[6 + static_cast<std::size_t>(length)] = FRAME_MARKER;
    frame[7 + static_cast<std::size_t>(length)] =
        ComputeChecksum(frame.data(), static_cast<std::size_t>(length) + 7);
    return frame;
}
