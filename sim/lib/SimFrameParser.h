#pragma once
// The virtual target's own reading of the frame stream. Unlike the tool's
// receiver it accepts frames with an empty payload (an empty boot image is
// sent as one) and reports every frame it had to drop, so that a fault on the
// tool's side shows in the records.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

struct CSimFrame {
    std::uint8_t command = 0;
    std::uint8_t subcommand = 0;
    std::vector<std::uint8_t> payload;
};

class CSimFrameParser {
public:
    using FrameFn = std::function<void(const CSimFrame&)>;
    // A short description of bytes that were dropped and why.
    using DropFn = std::function<void(const std::string&)>;

    CSimFrameParser(FrameFn onFrame, DropFn onDrop);

    // Bytes in any pieces; frames are delivered in order as they complete.
    void Feed(const std::uint8_t* bytes, std::size_t count);
    // Bytes held back waiting for the rest of a frame.
    std::size_t Pending() const { return m_buffer.size() - m_nStart; }

    // Longest payload a request may carry.
    static constexpr std::size_t MAX_PAYLOAD = 8192;

private:
    void Scan();
    void Drop(std::size_t count, const std::string& why);

    FrameFn m_onFrame;
    DropFn m_onDrop;
    std::vector<std::uint8_t> m_buffer;
    std::size_t m_nStart = 0; // first unexamined byte of m_buffer
};
