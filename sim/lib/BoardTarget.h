#pragma once
// The upgrade board's bootloader: the probe 'A', the boot image byte by byte,
// then READY, ERASE A..J, START, 1024-byte body blocks, END and the finish
// record, each answered with the 6-byte acknowledgement.
//
// The stream carries no lengths, so phases are told apart by timing:
// - boot image: every byte after the probe is a boot byte until, after at
//   least one boot byte, a 01 arrives after a silence of bootGap or more (the
//   tool closes and reopens the port before READY, some two seconds);
// - body: a block is exactly 1024 bytes (the tool writes it in one go);
//   bytes that equal END's 8 bytes count as END once nothing else has come
//   for endQuiet; fewer than 1024 other bytes followed by shortBlockTimeout of
//   silence are refused as a short block;
// - finish record: whatever arrives after END's acknowledgement until the
//   line has been quiet for finishWindow, possibly nothing.
#include "SimRole.h"

#include <cstdint>
#include <string>
#include <vector>

// Acknowledgement and refusal as the board sends them.
extern const std::uint8_t BOARD_ACK[6];
extern const std::uint8_t BOARD_REFUSAL[6];
inline constexpr std::size_t BOARD_BLOCK_SIZE = 1024;
inline constexpr std::size_t BOARD_MAX_FINISH = 4;

class CBoardTarget final : public CSimRole {
public:
    CBoardTarget(const CSimConfig& config, ISimHost& host);
    void OnBytes(const std::uint8_t* bytes, std::size_t count, SimClock::time_point now) override;

private:
    enum class EState { Probe, Boot, Ready, Erase, Start, Body, Finish };

    void OnProbeByte(std::uint8_t b);
    void ProcessMessages();
    void OnMessage(const std::string& text);
    void ProcessBody();
    void OnQuiet();
    // Answers kind n with the acknowledgement, or the refusal when asked to;
    // true when it acknowledged.
    bool Acknowledge(const std::string& kind, int n, const std::string& logLine);
    void Refuse(const std::string& kind, int n, const std::string& why);
    void LogBaud(const char* when);
    void Arm(SimDuration after);
    const char* StateKind() const;

    EState m_state = EState::Probe;
    std::vector<std::uint8_t> m_rx;
    SimClock::time_point m_lastByte{};
    SimClock::time_point m_finishSince{};
    int m_nBootBytes = 0;
    int m_nEraseIndex = 1; // ERASE expected next, 1 for 'A'
};
