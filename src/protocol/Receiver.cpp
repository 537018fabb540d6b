#include "protocol/Receiver.h"

#include <cstring>
#include <limits>

// One checker: what a frame of a command/subcommand pair must hold and what a
// good one does.
struct AckChecker {
    enum EGate {
        GATE_NONE,        // runs whatever EraseActive is
        GATE_ERASE_CLEAR, // ignored while EraseActive is set
        GATE_ERASE_BLOCK, // while EraseActive is set: the erase-fail message instead
    };
    enum EAction {
        ACTION_NONE,
        ACTION_ERASE_START, // StepTotal = data[0], StepCount = 0, EraseActive = 1
        ACTION_PHASE_START, // StepTotal = data[0] * 256 + data[1], StepCount = 0
        ACTION_PHASE_END,   // StepCount = StepTotal = 0
        ACTION_ERASE_END,   // as ACTION_PHASE_END, and EraseActive = 0
    };

    std::uint8_t command;
    std::uint8_t subcommand;
    EGate gate;
    int minSize; // accepted payload lengths, inclusive
    int maxSize;
    const char* sizeMessage;   // shown when the length is outside minSize..maxSize
    const char* resultMessage; // nullptr: no result test; else data[0] must be 1
    EAction action;
    int event; // 0: none
};

namespace {

constexpr const char* MSG_ERASE_ACTIVE = "Upgrade Error::Erase Fail!";
constexpr int ANY_SIZE = std::numeric_limits<int>::max();

using G = AckChecker;

// The target's acknowledgements and notifications. The message texts are the
// ones users and service staff know, misspellings included; do not correct them.
constexpr AckChecker CHECKERS[] = {
    {CMD_SYS_CHECK, SUB_ACK, G::GATE_NONE, 21, 21, "ACK SYS Check Protocol Data Size Err", nullptr,
     G::ACTION_NONE, ACK_SYS_CHECK},

    {CMD_UPGRADE, SUB_ACK, G::GATE_NONE, 1, 1, "ACK UP Index Protocol Data Size Err",
     "ACK UP Index Protocal Result : FALSE!", G::ACTION_NONE, ACK_UP_INDEX},
    {CMD_UPGRADE, SUB_BOOT_DOWN_ACK, G::GATE_NONE, 1, 1, "ACK Boot Down Protocol Data Size Err",
     "ACK Boot Down Protocal Result : FALSE!", G::ACTION_NONE, ACK_BOOT_DOWN},
    {CMD_UPGRADE, SUB_BOOT_END_ACK, G::GATE_NONE, 1, 1, "ACK Boot End Protocol Data Size Err",
     "ACK Boot End Protocal Result : FALSE!", G::ACTION_NONE, ACK_BOOT_END},
    {CMD_UPGRADE, SUB_DATA_DOWN_ACK, G::GATE_NONE, 1, 1, "ACK Data Down Protocol Data Size Err",
     "ACK Data Down Protocal Result : FALSE!", G::ACTION_NONE, ACK_DATA_DOWN},
    {CMD_UPGRADE, SUB_DATA_END_ACK, G::GATE_NONE, 1, 1, "ACK Data End Protocol Data Size Err",
     "ACK Data End Protocal Result : FALSE!", G::ACTION_NONE, ACK_DATA_END},

    {CMD_ERASE, SUB_PHASE_START, G::GATE_NONE, 1, 1, "ACK Erase Start Protocol Data Size Err", nullptr,
     G::ACTION_ERASE_START, 0},
    {CMD_ERASE, SUB_PHASE_STEP, G::GATE_NONE, 1, 1, "ACK Erase Step Protocol Data Size Err", nullptr,
     G::ACTION_NONE, ACK_ERASE_STEP},
    {CMD_ERASE, SUB_PHASE_END, G::GATE_NONE, 1, 1, "ACK Erase End Protocol Data Size Err",
     "ACK Erase End Protocol Result : FALSE!", G::ACTION_ERASE_END, ACK_ERASE_END},
    {CMD_ERASE, SUB_PHASE_FAIL, G::GATE_NONE, 1, 1, "ACK Erase Fail Protocol Data Size Err",
     "ACK Erase Fail Protocol Result : FALSE!", G::ACTION_NONE, ACK_ERASE_FAIL},

    {CMD_PROGRAM, SUB_PHASE_START, G::GATE_ERASE_BLOCK, 2, 2, "ACK Program Start Protocol Data Size Err",
     nullptr, G::ACTION_PHASE_START, 0},
    {CMD_PROGRAM, SUB_PHASE_STEP, G::GATE_ERASE_CLEAR, 0, ANY_SIZE, nullptr, nullptr, G::ACTION_NONE,
     ACK_PROGRAM_STEP},
    {CMD_PROGRAM, SUB_PHASE_END, G::GATE_ERASE_CLEAR, 1, 1, "ACK Program End Protocol Data Size Err",
     "ACK Program End Protocol Result : FALSE!", G::ACTION_PHASE_END, ACK_PROGRAM_END},
    {CMD_PROGRAM, SUB_PHASE_FAIL, G::GATE_NONE, 1, 1, "ACK Program Fail Protocol Data Size Err",
     "ACK Program Fail Protocol Result : FALSE!", G::ACTION_NONE, ACK_PROGRAM_FAIL},

    {CMD_FINISH, SUB_ACK, G::GATE_NONE, 1, 1, "ACK Upgrade Finish Protocol Data Size Err", nullptr,
     G::ACTION_NONE, ACK_UPGRADE_FINISH},

    {CMD_VERIFY, SUB_PHASE_START, G::GATE_ERASE_CLEAR, 2, 2, "ACK Verify Start Protocol Data Size Err",
     nullptr, G::ACTION_PHASE_START, 0},
    {CMD_VERIFY, SUB_PHASE_STEP, G::GATE_ERASE_CLEAR, 1, 1, "ACK Verify Step Protocol Data Size Err", nullptr,
     G::ACTION_NONE, ACK_VERIFY_STEP},
    {CMD_VERIFY, SUB_PHASE_END, G::GATE_ERASE_CLEAR, 1, 1, "ACK Verify End Protocol Data Size Err",
     "ACK Verify End Protocol Result : FALSE!", G::ACTION_PHASE_END, ACK_VERIFY_END},

    {CMD_BOARD_CHECK, SUB_ACK, G::GATE_NONE, 1, 1, "ACK Velunda Board Check Protocol Data Size Err", nullptr,
     G::ACTION_NONE, ACK_BOARD_CHECK},

    // The target sends its serial number and versions under either subcommand.
    {CMD_SERIAL_VERSION, 0x01, G::GATE_NONE, 1, ANY_SIZE,
     "ACK Serial Number & Software Version Protocol Data Size Err", nullptr, G::ACTION_NONE,
     ACK_SERIAL_VERSION},
    {CMD_SERIAL_VERSION, 0x02, G::GATE_NONE, 1, ANY_SIZE,
     "ACK Serial Number & Software Version Protocol Data Size Err", nullptr, G::ACTION_NONE,
     ACK_SERIAL_VERSION},
};

const AckChecker* FindChecker(std::uint8_t command, std::uint8_t subcommand)
{
    for (const AckChecker& checker : CHECKERS)
        if (checker.command == command && checker.subcommand == subcommand)
            return &checker;
    return nullptr;
}

// Parser states: the next byte expected.
enum : int {
    STATE_START = 0,
    STATE_COMPLEMENT = 1,
    STATE_COMMAND = 2,
    STATE_SUBCOMMAND = 3,
    STATE_LENGTH_HIGH = 4,
    STATE_LENGTH_LOW = 5,
    STATE_PAYLOAD = 6,
    STATE_END = 7,
    STATE_CHECKSUM = 8,
};

} // namespace

void CAckReceiver::ParseReceived(const std::uint8_t* bytes, std::size_t count)
{
    if (bytes == nullptr)
        return;
    for (std::size_t i = 0; i < count; ++i)
        ParseByte(bytes[i]);
}

void CAckReceiver::ParseByte(std::uint8_t b)
{
    switch (m_nParseState) {
    case STATE_START:
    case STATE_COMPLEMENT:
        ParseStart(b);
        break;
    case STATE_COMMAND:
    case STATE_SUBCOMMAND:
    case STATE_LENGTH_HIGH:
    case STATE_LENGTH_LOW:
        ParseHeader(b);
        break;
    case STATE_PAYLOAD:
        ParsePayload(b);
        break;
    case STATE_END:
    case STATE_CHECKSUM:
        ParseTrailer(b);
        break;
    default:
        Restart();
        break;
    }
}

// The start marker and its complement.
void CAckReceiver::ParseStart(std::uint8_t b)
{
    if (m_nParseState == STATE_START) {
        if (b != FRAME_MARKER) {
            Restart();
            return;
        }
        ClearPacket();
        m_packet.start = b;
        m_nRunningChecksum ^= b;
        m_nParseState = STATE_COMPLEMENT;
        return;
    }
    if (b == 0xFF - m_packet.start) {
        m_packet.startComplement = b;
        m_nRunningChecksum ^= b;
        m_nParseState = STATE_COMMAND;
    } else if (b == FRAME_MARKER) {
        // The marker before was a stray byte; the frame starts here.
        m_packet.start = b;
        m_nRunningChecksum = b;
    } else {
        Restart();
    }
}

// Command, subcommand and the two length bytes: taken as they come.
void CAckReceiver::ParseHeader(std::uint8_t b)
{
    m_nRunningChecksum ^= b;
    switch (m_nParseState) {
    case STATE_COMMAND:
        m_packet.command = b;
        m_nParseState = STATE_SUBCOMMAND;
        break;
    case STATE_SUBCOMMAND:
        m_packet.subcommand = b;
        m_nParseState = STATE_LENGTH_HIGH;
        break;
    case STATE_LENGTH_HIGH:
        m_packet.length = static_cast<std::int32_t>(b) << 8;
        m_nParseState = STATE_LENGTH_LOW;
        break;
    default: // STATE_LENGTH_LOW
        m_packet.length |= b;
        ClearPayload();
        m_nDataCount = 0;
        m_nParseState = STATE_PAYLOAD;
        break;
    }
}

void CAckReceiver::ParsePayload(std::uint8_t b)
{
    // Only announced bytes that fit the record are stored; a longer
    // payload is still counted so that its frame is read through whole.
    if (m_nDataCount < m_packet.length && m_nDataCount < FRAME_MAX_PAYLOAD) {
        m_packet.data[m_nDataCount] = b;
        m_nDataUsed = m_nDataCount + 1;
    }
    ++m_nDataCount;
    m_nRunningChecksum ^= b;
    if (m_nDataCount == m_packet.length) {
        m_nParseState = STATE_END;
    } else if (m_nDataCount > m_packet.length) {
        // Only a zero length gets here: the payload byte it takes is dropped with it.
        Restart();
    }
}

// The end marker and the checksum; a frame whose checksum holds is dispatched.
void CAckReceiver::ParseTrailer(std::uint8_t b)
{
    if (m_nParseState == STATE_END) {
        if (b != FRAME_MARKER) {
            Restart();
            return;
        }
        m_packet.end = b;
        m_nRunningChecksum ^= b;
        m_nParseState = STATE_CHECKSUM;
        return;
    }
    if (b == m_nRunningChecksum) {
        m_packet.checksum = b;
        DispatchAck(); // drops a payload larger than the record unseen
    }
    Restart();
}

// Waits for the next start marker.
void CAckReceiver::Restart()
{
    m_nRunningChecksum = 0;
    m_nParseState = STATE_START;
}

void CAckReceiver::DispatchAck()
{
    // Nothing may act on a frame whose payload did not fit the record.
    if (m_packet.length > FRAME_MAX_PAYLOAD)
        return;
    // Any correct frame is a sign of life, whether or not a checker wants it.
    if (m_pSink != nullptr)
        m_pSink->OnFrame(m_packet);
    const AckChecker* checker = FindChecker(m_packet.command, m_packet.subcommand);
    if (checker == nullptr)
        return;
    if (EraseActive != 0) {
        if (checker->gate == AckChecker::GATE_ERASE_CLEAR)
            return;
        if (checker->gate == AckChecker::GATE_ERASE_BLOCK) {
            Message(IAckSink::ERefusal::EraseActive, MSG_ERASE_ACTIVE);
            return;
        }
    }
    RunChecker(*checker);
}

void CAckReceiver::RunChecker(const AckChecker& checker)
{
    const std::int32_t length = m_packet.length;
    if (length < checker.minSize || length > checker.maxSize) {
        Message(IAckSink::ERefusal::DataSize, checker.sizeMessage);
        return;
    }
    if (checker.resultMessage != nullptr && m_packet.data[0] != 0x01) {
        Message(IAckSink::ERefusal::ResultFalse, checker.resultMessage);
        return;
    }
    switch (checker.action) {
    case AckChecker::ACTION_NONE:
        break;
    case AckChecker::ACTION_ERASE_START:
        StepTotal = m_packet.data[0];
        StepCount = 0;
        EraseActive = 1;
        break;
    case AckChecker::ACTION_PHASE_START:
        StepTotal = m_packet.data[0] * 256 + m_packet.data[1];
        StepCount = 0;
        break;
    case AckChecker::ACTION_ERASE_END:
        EraseActive = 0;
        [[fallthrough]];
    case AckChecker::ACTION_PHASE_END:
        StepCount = 0;
        StepTotal = 0;
        break;
    }
    if (checker.event != 0)
        Raise(checker.event);
}

// The whole record is zero afterwards; only the payload bytes written since
// the last clearing are touched, so a start marker costs no 8 KiB wipe.
void CAckReceiver::ClearPacket()
{
    ClearPayload();
    m_packet.start = 0;
    m_packet.startComplement = 0;
    m_packet.command = 0;
    m_packet.subcommand = 0;
    m_packet.length = 0;
    m_packet.end = 0;
    m_packet.checksum = 0;
}

void CAckReceiver::ClearPayload()
{
    std::memset(m_packet.data, 0, static_cast<std::size_t>(m_nDataUsed));
    m_nDataUsed = 0;
}

void CAckReceiver::Reset()
{
    Restart();
    m_nDataCount = 0;
    ClearPacket();
    EraseActive = 0;
    StepTotal = 0;
    StepCount = 0;
}

void CAckReceiver::Message(IAckSink::ERefusal why, const char* text)
{
    if (m_pSink != nullptr && text != nullptr)
        m_pSink->OnCheckerRefusal(why, text);
}

void CAckReceiver::Raise(int event)
{
    if (m_pSink != nullptr)
        m_pSink->OnAckEvent(event);
}
