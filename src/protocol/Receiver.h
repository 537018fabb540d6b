#pragma once
// Receive framing and acknowledgement checking: one receiver per link.
//
// Error contract: the receiver never fails towards its caller. Framing
// errors (wrong complement, wrong end marker, payload overrun, checksum
// mismatch, a payload larger than the record) drop the frame silently; a
// frame whose size or result is wrong is reported once through
// IAckSink::OnCheckerMessage and raises no event.
#include "protocol/Frame.h"

#include <cstddef>
#include <cstdint>
#include <string>

// Where a receiver reports. Called on the thread that fed the bytes.
class IAckSink {
public:
    virtual ~IAckSink() = default;
    // A good acknowledgement or notification: event code ACK_SYS_CHECK..ACK_PROGRAM_STEP.
    virtual void OnAckEvent(int event) = 0;
    // What made a checker refuse an answer.
    enum class ERefusal { DataSize, ResultFalse, EraseActive };
    // A rejected one: why, and the text of the message box the user must see.
    virtual void OnCheckerRefusal(ERefusal why, const std::string& text)
    {
        (void)why;
        OnCheckerMessage(text);
    }
    // The refusal's text alone, for sinks that only show it.
    virtual void OnCheckerMessage(const std::string& text) { (void)text; }
    // Every complete, correct frame, before its checker runs (the stall
    // watch of a run counts any frame as a sign of life).
    virtual void OnFrame(const Packet& packet) { (void)packet; }
    // The link that carries this receiver's bytes is gone for good (the
    // device vanished and could not be reopened).
    virtual void OnLinkLost() {}
};

struct AckChecker; // one row of the checker table

class CAckReceiver {
public:
    explicit CAckReceiver(IAckSink* sink = nullptr) : m_pSink(sink) {}
    void SetSink(IAckSink* sink) { m_pSink = sink; }

    // Feeds bytes in any pieces; every complete, correct frame is dispatched
    // before the next byte is looked at. Not to be called again from inside
    // the sink.
    void ParseReceived(const std::uint8_t* bytes, std::size_t count);
    // Runs the checker of the frame in packet.
    void DispatchAck();

    // Back to the construction state (parser, packet and step counters).
    void Reset();

    const Packet& packet() const { return m_packet; }

    // Step counters of the erase, program and verify phases; the window's
    // reactions read and write them while the receiver waits.
    int EraseActive = 0;
    int StepTotal = 0;
    int StepCount = 0;

private:
    void ParseByte(std::uint8_t b);
    void ParseStart(std::uint8_t b);
    void ParseHeader(std::uint8_t b);
    void ParsePayload(std::uint8_t b);
    void ParseTrailer(std::uint8_t b);
    void Restart();
    void ClearPacket();
    void ClearPayload();
    void RunChecker(const AckChecker& checker);
    void Message(IAckSink::ERefusal why, const char* text);
    void Raise(int event);

    IAckSink* m_pSink;
    int m_nParseState = 0;
    int m_nRunningChecksum = 0;
    int m_nDataCount = 0;
    int m_nDataUsed = 0; // payload bytes that may be non-zero
    Packet m_packet;
};
