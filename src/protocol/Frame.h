#pragma once
// The target frame protocol: FB 04, command, subcommand, 16-bit big-endian
// length, payload, FB, XOR checksum. Shared by both links and the virtual
// target.
#include "protocol/Items.h"

#include <cstddef>
#include <cstdint>
#include <vector>

// Command codes.
inline constexpr std::uint8_t CMD_SYS_CHECK = 0x0A;
inline constexpr std::uint8_t CMD_UPGRADE = 0x0B;
inline constexpr std::uint8_t CMD_ERASE = 0x0C;
inline constexpr std::uint8_t CMD_PROGRAM = 0x0D;
inline constexpr std::uint8_t CMD_FINISH = 0x0E;
inline constexpr std::uint8_t CMD_VERIFY = 0x0F;
inline constexpr std::uint8_t CMD_BOARD_CHECK = 0x1E;
inline constexpr std::uint8_t CMD_SERIAL_VERSION = 0x32;

// Subcommands of the requests the tool sends.
inline constexpr std::uint8_t SUB_REQUEST = 0x01; // SYS Check, UP Index, Upgrade Finish, Board Check
inline constexpr std::uint8_t SUB_ACK = 0x02;     // their acknowledgements
inline constexpr std::uint8_t SUB_BOOT_DOWN = 0x0B;
inline constexpr std::uint8_t SUB_BOOT_DOWN_ACK = 0x0C;
inline constexpr std::uint8_t SUB_BOOT_END = 0x0D;
inline constexpr std::uint8_t SUB_BOOT_END_ACK = 0x0E;
inline constexpr std::uint8_t SUB_DATA_DOWN = 0x15;
inline constexpr std::uint8_t SUB_DATA_DOWN_ACK = 0x16;
inline constexpr std::uint8_t SUB_DATA_END = 0x17;
inline constexpr std::uint8_t SUB_DATA_END_ACK = 0x18;
// Notifications of the erase, program and verify phases.
inline constexpr std::uint8_t SUB_PHASE_START = 0x01;
inline constexpr std::uint8_t SUB_PHASE_STEP = 0x02;
inline constexpr std::uint8_t SUB_PHASE_END = 0x03;
inline constexpr std::uint8_t SUB_PHASE_FAIL = 0x04;

// Acknowledgement events (wParam of WM_ACK_EVENT).
enum : int {
    ACK_SYS_CHECK = 200,
    ACK_BOARD_CHECK = 201,
    ACK_UP_INDEX = 202,
    ACK_BOOT_DOWN = 203,
    ACK_BOOT_END = 204,
    ACK_DATA_DOWN = 205,
    ACK_DATA_END = 206,
    ACK_ERASE_STEP = 207,
    ACK_ERASE_END = 208,
    ACK_ERASE_FAIL = 209,
    ACK_VERIFY_STEP = 210,
    ACK_VERIFY_END = 211,
    ACK_UPGRADE_FINISH = 212,
    ACK_SERIAL_VERSION = 213,
    ACK_PROGRAM_END = 214,
    ACK_PROGRAM_FAIL = 215,
    ACK_PROGRAM_STEP = 216,
};

inline constexpr std::uint8_t FRAME_MARKER = 0xFB;
inline constexpr int FRAME_MAX_PAYLOAD = 8192; // also the download chunk size
inline constexpr int FRAME_OVERHEAD = 8;       // markers, codes, length, checksum
inline constexpr int SYS_RECORD_SIZE = 21;     // system-check record: seven groups of three characters

// One received frame.
struct Packet {
    std::uint8_t start = 0;
    std::uint8_t startComplement = 0;
    std::uint8_t command = 0;
    std::uint8_t subcommand = 0;
    std::int32_t length = 0;
    std::uint8_t data[FRAME_MAX_PAYLOAD] = {};
    std::uint8_t end = 0;
    std::uint8_t checksum = 0;
};

// XOR of count bytes, starting from 0.
std::uint8_t ComputeChecksum(const std::uint8_t* bytes, std::size_t count);

// The bytes of one frame: length + 8 of them. length must lie in 0..65535;
// the tool never sends more than FRAME_MAX_PAYLOAD.
std::vector<std::uint8_t> BuildFrame(std::uint8_t command, std::uint8_t subcommand,
                                     const std::uint8_t* payload, std::int32_t length);

// One frame kept for reuse: its payload is written in place and the frame is
// sealed around it, so a download chunk costs neither a zero fill nor a copy.
// Empty until sealed, and again after Clear.
class CFrameBuffer {
public:
    // Where up to FRAME_MAX_PAYLOAD payload bytes go.
    std::uint8_t* Payload() { return m_bytes.data() + kHeaderSize; }
    const std::uint8_t* Payload() const { return m_bytes.data() + kHeaderSize; }
    // Header and trailer around the first length payload bytes; length is
    // clamped to 0..FRAME_MAX_PAYLOAD. The bytes are those of BuildFrame.
    void Seal(std::uint8_t command, std::uint8_t subcommand, std::int32_t length);
    void Clear() { m_nSize = 0; }

    bool Empty() const { return m_nSize == 0; }
    const std::uint8_t* Data() const { return m_bytes.data(); }
    std::size_t Size() const { return m_nSize; }
    std::uint8_t Command() const { return m_bytes[2]; }
    std::uint8_t Subcommand() const { return m_bytes[3]; }
    std::int32_t PayloadLength() const
    {
        return m_nSize == 0 ? 0 : static_cast<std::int32_t>(m_nSize) - FRAME_OVERHEAD;
    }

private:
    static constexpr std::size_t kHeaderSize = 6;
    std::vector<std::uint8_t> m_bytes = std::vector<std::uint8_t>(FRAME_MAX_PAYLOAD + FRAME_OVERHEAD);
    std::size_t m_nSize = 0;
};
