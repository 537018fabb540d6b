// Feeds the input to one receiver in a single call and to another in pieces
// chosen by the input, acting as the window's step reactions do. Both must
// report the same things, and every report must be well formed.
#include "protocol/Frame.h"
#include "protocol/Receiver.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

[[noreturn]] void Fail(const char* what)
{
    std::fprintf(stderr, "receiver fuzz check failed: %s\n", what);
    std::abort();
}

bool KnownMessage(const std::string& text)
{
    auto endsWith = [&](const char* tail) {
        const std::size_t n = std::strlen(tail);
        return text.size() > n && text.compare(text.size() - n, n, tail) == 0;
    };
    return text == "Upgrade Error::Erase Fail!" ||
           (text.rfind("ACK ", 0) == 0 && (endsWith(" Data Size Err") || endsWith(" Result : FALSE!")));
}

class CCheckingSink : public IAckSink {
public:
    explicit CCheckingSink(CAckReceiver& receiver) : m_receiver(receiver) {}

    void OnFrame(const Packet& p) override
    {
        CheckPacket(p);
        log.push_back("F" + std::to_string(p.command) + "/" + std::to_string(p.subcommand));
    }

    void OnAckEvent(int event) override
    {
        if (event < ACK_SYS_CHECK || event > ACK_PROGRAM_STEP)
            Fail("event code out of range");
        const Packet& p = m_receiver.packet();
        CheckPacket(p);
        if (m_receiver.EraseActive != 0 && m_receiver.EraseActive != 1)
            Fail("EraseActive is neither 0 nor 1");

        // The window's step reactions count steps in the receiver's counters.
        if (event == ACK_ERASE_STEP || event == ACK_PROGRAM_STEP || event == ACK_VERIFY_STEP)
            ++m_receiver.StepCount;

        std::uint32_t hash = 2166136261u;
        for (int i = 0; i < p.length; ++i)
            hash = (hash ^ p.data[i]) * 16777619u;
        log.push_back("E" + std::to_string(event) + "/" + std::to_string(p.length) + "/" +
                      std::to_string(hash) + "/" + std::to_string(m_receiver.StepTotal) + "/" +
                      std::to_string(m_receiver.StepCount) + "/" + std::to_string(m_receiver.EraseActive));
    }

    void OnCheckerMessage(const std::string& text) override
    {
        if (!KnownMessage(text))
            Fail("unexpected message text");
        log.push_back("M" + text);
    }

    std::vector<std::string> log;

private:
    static void CheckPacket(const Packet& p)
    {
        if (p.length < 1 || p.length > FRAME_MAX_PAYLOAD)
            Fail("delivered length outside the record");
        if (p.start != 0xFB || p.startComplement != 0x04 || p.end != 0xFB)
            Fail("delivered frame has wrong markers");
        static const std::uint8_t kZeros[FRAME_MAX_PAYLOAD] = {};
        if (std::memcmp(p.data + p.length, kZeros, static_cast<std::size_t>(FRAME_MAX_PAYLOAD - p.length)) !=
            0)
            Fail("payload byte past the length is not zero");
        if (BuildFrame(p.command, p.subcommand, p.data, p.length).back() != p.checksum)
            Fail("delivered frame does not carry its own checksum");
    }

    CAckReceiver& m_receiver;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    // Byte 0 picks the largest piece, bytes 1..4 seed the piece sizes.
    std::size_t maxPiece = 1;
    std::uint32_t seed = 0x9E3779B9u;
    if (size >= 5) {
        static const std::size_t kMaxPieces[] = {1, 2, 3, 7, 16, 64, 512, 9000};
        maxPiece = kMaxPieces[data[0] % (sizeof kMaxPieces / sizeof kMaxPieces[0])];
        seed ^= static_cast<std::uint32_t>(data[1]) | static_cast<std::uint32_t>(data[2]) << 8 |
                static_cast<std::uint32_t>(data[3]) << 16 | static_cast<std::uint32_t>(data[4]) << 24;
        data += 5;
        size -= 5;
    }
    if (seed == 0)
        seed = 1;

    CAckReceiver whole;
    CCheckingSink wholeSink(whole);
    whole.SetSink(&wholeSink);
    whole.ParseReceived(data, size);

    CAckReceiver split;
    CCheckingSink splitSink(split);
    split.SetSink(&splitSink);
    std::size_t at = 0;
    while (at < size) {
        seed ^= seed << 13;
        seed ^= seed >> 17;
        seed ^= seed << 5;
        std::size_t n = 1 + seed % maxPiece;
        if (n > size - at)
            n = size - at;
        split.ParseReceived(data + at, n);
        at += n;
    }
    split.ParseReceived(data, 0);

    if (wholeSink.log != splitSink.log)
        Fail("splitting the input changed what was reported");
    return 0;
}
