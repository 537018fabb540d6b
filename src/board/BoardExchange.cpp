#include "board/BoardExchange.h"

#include "files/FileSystem.h"
#include "protocol/Frame.h"
#include "protocol/Pacing.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <vector>

namespace {

constexpr std::uint8_t BOOT_PROBE = 'A';
constexpr std::uint8_t BOOT_ACK[6] = {0x01, 0x00, 0x01, 0x06, 0x04, 0x02};
constexpr int BOOT_ACK_SIZE = 6;
constexpr int HEX_BLOCK_SIZE = 1024;
constexpr int ERASE_COUNT = 10;
constexpr std::uint8_t HEX_END_CHAR = '#';
constexpr std::uint8_t HEX_PAD = 0xFF;

constexpr int kSendBootDelayMs = 500;
constexpr int kBootByteTimeoutMs = 1000;
constexpr int kPortCloseDelayMs = 100;
constexpr int kPortReopenDelayMs = 1000;
constexpr int kSendReadyDelayMs = 1000;
constexpr int kSendStartDelayMs = 200;
constexpr int kBlockPauseMs = 500;
constexpr int kSendFinishDelayMs = 200;
constexpr int kBootBytePauseMs = 1;
constexpr int kErasePauseMs = 10;

// 01 00 N text 04 XOR: the bootloader's message format.
std::vector<std::uint8_t> BootMessage(const std::string& text)
{
    std::vector<std::uint8_t> message = {0x01, 0x00, static_cast<std::uint8_t>(text.size())};
    message.insert(message.end(), text.begin(), text.end());
    message.push_back(0x04);
    message.push_back(ComputeChecksum(message.data(), message.size()));
    return message;
}

bool FileFound(const std::string& path)
{
    CFsInfo info;
    return !path.empty() && FsStat(path, info) && info.bRegular;
}

} // namespace

void CBoardExchange::SendBootMessage(const std::string& text, const char* errorTrace)
{
    const std::vector<std::uint8_t> message = BootMessage(text);
    if (!m_port.PortWrite(message.data(), static_cast<int>(message.size())))
        Trace(errorTrace);
}

void CBoardExchange::ClearAnswer()
{
    std::memset(m_BootRx, 0, sizeof m_BootRx);
}

void CBoardExchange::ResetAnswer()
{
    m_nBootRxCount = 0;
    ClearAnswer();
}

// Stores one answer byte (the buffer holds 6); true once the answer is
// whole, and the stall watch stops.
bool CBoardExchange::AnswerComplete(std::uint8_t b)
{
    if (m_nBootRxCount < BOOT_ACK_SIZE)
        m_BootRx[m_nBootRxCount++] = b;
    if (m_nBootRxCount < BOOT_ACK_SIZE)
        return false;
    m_listener.BoardStopTimer(IDT_BOARD_STALL);
    return true;
}

// Every message of the exchange after the port cycle is answered within the
// stall time; the pauses between them are the tool's own and never count.
void CBoardExchange::AwaitBoardAnswer()
{
    m_listener.BoardStartTimer(IDT_BOARD_STALL, m_stallTimeoutMs);
}

// The board will not finish this upgrade: said once per connection. May run
// inside the receive notification; the port is not touched again afterwards.
void CBoardExchange::Fail(EBoardFailure reason)
{
    if (m_bBoardFailShown == 1)
        return;
    m_bBoardFailShown = 1;
    m_fileDownload.Close();
    m_listener.BoardFailed(reason);
}

// A refused acknowledgement from ERASE A to END: the exchange halts.
void CBoardExchange::Refused(const char* trace)
{
    m_nBootStep = DEF_STEP_HALT;
    Trace(trace);
    Fail();
}

void CBoardExchange::Halt()
{
    m_fileDownload.Close();
    m_nBootStep = DEF_STEP_HALT;
    m_bBoardFailShown = 1;
}

void CBoardExchange::Reset()
{
    m_fileDownload.Close();
    ResetAnswer();
    m_nEraseIndex = 0;
    m_bHexEnd = 0;
    m_nHexCarry = -1;
    m_nFinishLength = 0;
    std::memset(m_FinishRecord, 0, sizeof m_FinishRecord);
    m_bBoardFailShown = 0;
}

void CBoardExchange::Start(const std::string& bootImage, const std::string& bodyImage)
{
    m_nBootStep = DEF_STEP_MAINCHECK;
    Reset();
    m_strBootFile = bootImage;
    m_strBodyFile = bodyImage;
    if (!m_port.PortWrite(&BOOT_PROBE, 1))
        Trace("MainCheck Error!\r\n");
}

CBoardExchange::AnswerHandler CBoardExchange::AnswerHandlerOf(int step)
{
    static constexpr struct {
        int step;
        AnswerHandler handler;
    } kAnswers[] = {
        {DEF_STEP_READY, &CBoardExchange::OnReadyAnswer},
        {DEF_STEP_ERASE, &CBoardExchange::OnEraseAnswer},
        {DEF_STEP_START, &CBoardExchange::OnStartAnswer},
        {DEF_STEP_SENDHEX, &CBoardExchange::OnHexBlockAnswer},
        {DEF_STEP_ENDHEX, &CBoardExchange::OnHexEndAnswer},
        {DEF_STEP_FINISH, &CBoardExchange::OnFinishAnswer},
    };
    for (const auto& answer : kAnswers)
        if (answer.step == step)
            return answer.handler;
    return nullptr;
}

void CBoardExchange::OnByte(std::uint8_t b)
{
    // From READY on every message is answered with 6 bytes, judged whole.
    if (const AnswerHandler onAnswer = AnswerHandlerOf(m_nBootStep)) {
        if (AnswerComplete(b))
            (this->*onAnswer)(IsBootAck() == 1);
        return;
    }
    if (m_nBootStep == DEF_STEP_MAINCHECK && b == BOOT_PROBE) {
        m_listener.BoardInBootMode();
        CheckBootFiles();
    } else if (m_nBootStep == DEF_STEP_BOOT) {
        OnBootImageEcho();
    }
    // DEF_STEP_HALT, the port cycle and anything else: dropped.
}

// The board echoed a boot image byte: the next one, or the port cycle.
void CBoardExchange::OnBootImageEcho()
{
    m_listener.BoardStopTimer(IDT_BOOT_TIMEOUT);
    if (m_nDownloadSent < m_nDownloadTotal) {
        m_listener.BoardProgress(EBoardRow::Boot, PercentOf(m_nDownloadSent, m_nDownloadTotal));
        SendBootFile();
        return;
    }
    m_fileDownload.Close();
    m_listener.BoardProgress(EBoardRow::Boot, 100);
    ResetAnswer();
    // Anything more before READY (a banner, an echo) must not start a second
    // port cycle.
    m_nBootStep = DEF_STEP_PORT_CYCLE;
    m_listener.BoardStartTimer(IDT_PORT_CLOSE, kPortCloseDelayMs);
}

void CBoardExchange::OnReadyAnswer(bool accepted)
{
    // The answer to READY only paces the exchange: some bootloaders answer
    // it with other bytes and acknowledge every later step, each of which is
    // still judged. An unusual answer is said, never held against the run.
    if (!accepted) {
        std::string bytes;
        for (int i = 0; i < BOOT_ACK_SIZE; ++i) {
            char hex[4];
            std::snprintf(hex, sizeof hex, "%s%02X", i == 0 ? "" : " ", m_BootRx[i]);
            bytes += hex;
        }
        Trace("==> READY answered " + bytes + "\r\n");
        m_listener.BoardWarning("the upgrade board answered READY with " + bytes +
                                ", not its acknowledgement; the upgrade goes on");
    }
    ResetAnswer();
    m_nBootStep = DEF_STEP_ERASE;
    m_nEraseIndex = 1;
    SendMessage_Erase();
}

void CBoardExchange::OnEraseAnswer(bool accepted)
{
    if (!accepted) {
        ClearAnswer();
        Refused("==> Not ERASE\r\n");
        return;
    }
    ResetAnswer();
    if (m_nEraseIndex >= ERASE_COUNT) {
        m_listener.BoardProgress(EBoardRow::Erase, 100);
        m_listener.BoardStartTimer(IDT_SEND_START, kSendStartDelayMs);
        return;
    }
    m_nEraseIndex += 1;
    m_listener.BoardProgress(EBoardRow::Erase, m_nEraseIndex * 100 / ERASE_COUNT);
    WaitAtLeast(kErasePauseMs);
    SendMessage_Erase();
}

void CBoardExchange::OnStartAnswer(bool accepted)
{
    if (!accepted) {
        Refused("==> STEP_START - NAK\r\n");
        return;
    }
    m_nBootRxCount = 0;
    OpenHexFile();
}

void CBoardExchange::OnHexBlockAnswer(bool accepted)
{
    // The count stays at 6 until the block pause resets it, so every further
    // byte judges the same answer again (and restarts the pause).
    if (!accepted) {
        Refused("==> STEP_SENDHEX - NAK\r\n");
        return;
    }
    const int percent =
        m_nDownloadTotal > 0 ? std::min(100, PercentOf(m_nDownloadSent, m_nDownloadTotal)) : 100;
    m_listener.BoardProgress(EBoardRow::Data, percent);
    m_listener.BoardStartTimer(IDT_SEND_HEX, kBlockPauseMs);
}

void CBoardExchange::OnHexEndAnswer(bool accepted)
{
    m_listener.BoardProgress(EBoardRow::Data, 100);
    Trace("DEF_STEP_ENDHEX\n");
    if (accepted)
        m_listener.BoardStartTimer(IDT_SEND_FINISH, kSendFinishDelayMs);
    else
        Refused("==> STEP_ENDHEX = NAK\r\n");
}

void CBoardExchange::OnFinishAnswer(bool accepted)
{
    if (accepted) {
        m_nBootStep = DEF_STEP_NONE;
        // The owner may close the port from inside this notification;
        // nothing below may touch the port again.
        m_listener.BoardDone();
        return;
    }
    // The step stays: the same refusal is judged again by every further
    // byte, and reported once.
    Trace("==> DEF_STEP_FINISH - NAK\r\n");
    Fail();
}

void CBoardExchange::CheckBootFiles()
{
    if (BootFilesExist()) {
        m_listener.BoardStartTimer(IDT_SEND_BOOT, kSendBootDelayMs);
    } else {
        Trace("==> Main File Chewck Fail\r\n");
        // Waiting would not bring the images: say so instead of holding the
        // port open without a word.
        Fail();
    }
}

bool CBoardExchange::BootFilesExist()
{
    bool found = true;
    for (const std::string* path : {&m_strBootFile, &m_strBodyFile}) {
        if (!FileFound(*path)) {
            Trace(*path + " ==> Not Search File\r\n");
            found = false;
        }
    }
    return found;
}

void CBoardExchange::StartBootFile()
{
    if (m_nBootStep != DEF_STEP_MAINCHECK)
        return;
    if (!m_fileDownload.Open(m_strBootFile, CBinaryFile::Share::Exclusive)) {
        Trace("==> Fail : Open Main Boot FIle\r\n==> RE Start <==\r\n");
        Fail();
        return;
    }
    m_nBootStep = DEF_STEP_BOOT;
    m_nDownloadTotal = m_fileDownload.Length();
    m_nDownloadSent = 0;
    SendBootFile();
}

void CBoardExchange::SendBootFile()
{
    // A byte that cannot be read (an empty or damaged image) is not made up:
    // nothing is sent, and the byte watchdog reports the failed download.
    if (m_fileDownload.Read(&m_byBootByte, 1) != 1) {
        Trace("SendBootFile Err\r\n==> RE Start <==\r\n");
        m_listener.BoardStartTimer(IDT_BOOT_TIMEOUT, kBootByteTimeoutMs);
        return;
    }
    m_nDownloadSent += 1;
    WaitAtLeast(kBootBytePauseMs);
    if (!m_port.PortWrite(&m_byBootByte, 1))
        Trace("SendBootFile Err\r\n==> RE Start <==\r\n");
    m_listener.BoardStartTimer(IDT_BOOT_TIMEOUT, kBootByteTimeoutMs);
}

void CBoardExchange::SendMessage_Ready()
{
    SendBootMessage("READY", "SendMessage_Ready Err\n==> RE Start <==\r\n");
    AwaitBoardAnswer();
}

void CBoardExchange::SendMessage_Erase()
{
    const int index = std::clamp(m_nEraseIndex, 1, ERASE_COUNT);
    SendBootMessage(std::string("ERASE") + static_cast<char>('A' + index - 1),
                    "SendMessage_Erase Err\n==> RE Start <==\r\n");
    AwaitBoardAnswer();
}

int CBoardExchange::IsBootAck() const
{
    return std::memcmp(m_BootRx, BOOT_ACK, BOOT_ACK_SIZE) == 0 ? 1 : 0;
}

void CBoardExchange::SendMessage_HexDataReady()
{
    SendBootMessage("START", "SendMessage_HexDataReady Err\n==> RE Start <==\r\n");
    AwaitBoardAnswer();
}

void CBoardExchange::OpenHexFile()
{
    if (!m_fileDownload.Open(m_strBodyFile, CBinaryFile::Share::Exclusive)) {
        Trace("==> Fail : Open Hex FIle\r\n==> RE Start <==\r\n");
        m_nBootStep = DEF_STEP_HALT;
        Fail();
        return;
    }
    m_nDownloadTotal = m_fileDownload.Length();
    m_nDownloadSent = 0;
    m_bHexEnd = 0;
    m_nHexCarry = -1;
    m_nFinishLength = 0;
    std::memset(m_FinishRecord, 0, sizeof m_FinishRecord);
    m_nBootStep = DEF_STEP_SENDHEX;
    SendHexFile();
}

void CBoardExchange::SendHexFile()
{
    if (m_bHexEnd == 1) {
        m_fileDownload.Close();
        SendMessage_HexDataEnd();
        m_nBootStep = DEF_STEP_ENDHEX;
        return;
    }

    std::memset(m_HexBlock, 0, sizeof m_HexBlock);
    int i = 0;
    bool hashPending = false;
    auto next = [this](std::uint8_t& c) {
        if (m_nHexCarry >= 0) {
            c = static_cast<std::uint8_t>(m_nHexCarry);
            m_nHexCarry = -1;
            return true;
        }
        return m_fileDownload.Read(&c, 1) == 1;
    };
    while (i < HEX_BLOCK_SIZE) {
        std::uint8_t c = 0;
        if (!next(c)) {
            if (m_fileDownload.LastError() != 0) {
                m_nBootStep = DEF_STEP_HALT;
                Trace("==> Fail : Read Hex FIle\r\n");
                Fail();
                return;
            }
            // The image ends without the end mark: this block is its last,
            // and there is no finish record.
            Trace("==> Hex end mark not found\r\n");
            if (hashPending)
                m_HexBlock[i++] = HEX_END_CHAR;
            m_bHexEnd = 1;
            m_nFinishLength = 0;
            break;
        }
        if (hashPending && c == HEX_END_CHAR) {
            m_bHexEnd = 1;
            m_nFinishLength = static_cast<int>(m_fileDownload.Read(m_FinishRecord, sizeof m_FinishRecord));
            break;
        }
        if (hashPending) {
            m_HexBlock[i++] = HEX_END_CHAR;
            hashPending = false;
            if (i == HEX_BLOCK_SIZE) {
                // The lone '#' filled the block; the byte after it is judged
                // in the next one, so every block stays 1024 bytes.
                m_nHexCarry = c;
                break;
            }
        }
        if (c == HEX_END_CHAR)
            hashPending = true;
        else
            m_HexBlock[i++] = c;
    }
    for (; i < HEX_BLOCK_SIZE; ++i)
        m_HexBlock[i] = HEX_PAD;

    m_nDownloadSent += i;
    if (!m_port.PortWrite(m_HexBlock, i))
        Trace("SendHexFile Err\n==> RE Start <==\r\n");
    AwaitBoardAnswer();
}

void CBoardExchange::SendMessage_HexDataEnd()
{
    SendBootMessage("END", "SendMessage_HexDataEnd Err\n==> RE Start <==\r\n");
    AwaitBoardAnswer();
}

void CBoardExchange::OnTimer(int id)
{
    switch (id) {
    case IDT_SEND_BOOT:
        StartBootFile();
        break;
    case IDT_BOOT_TIMEOUT:
        // Closed before the owner says so, so that no late answer continues
        // the download behind its message.
        m_fileDownload.Close();
        m_listener.BoardFailed(EBoardFailure::BootImageSilent);
        break;
    case IDT_PORT_CLOSE:
        // Only a port this exchange holds is cycled; after a Dis Connect by
        // the user it stays closed.
        if (m_port.PortIsOpen()) {
            m_port.PortClose();
            m_listener.BoardStartTimer(IDT_PORT_REOPEN, kPortReopenDelayMs);
        }
        break;
    case IDT_PORT_REOPEN:
        if (m_port.PortReopen("115200"))
            m_listener.BoardStartTimer(IDT_SEND_READY, kSendReadyDelayMs);
        else
            Fail();
        break;
    case IDT_SEND_READY:
        StartReady();
        break;
    case IDT_SEND_START:
        m_nEraseIndex = 0;
        m_nBootStep = DEF_STEP_START;
        SendMessage_HexDataReady();
        break;
    case IDT_SEND_HEX:
        m_nBootRxCount = 0;
        SendHexFile();
        break;
    case IDT_SEND_FINISH:
        SendFinishRecord();
        break;
    case IDT_BOARD_STALL:
        m_nBootStep = DEF_STEP_HALT;
        Trace("==> no answer from the board\r\n");
        Fail(EBoardFailure::Stalled);
        break;
    default:
        break;
    }
}

void CBoardExchange::StartReady()
{
    // What the board said since the reopen is no answer to READY.
    m_port.PortDropInput();
    ResetAnswer();
    m_nBootStep = DEF_STEP_READY;
    SendMessage_Ready();
}

void CBoardExchange::SendFinishRecord()
{
    m_nBootRxCount = 0;
    m_nBootStep = DEF_STEP_FINISH;
    char line[64];
    std::snprintf(line, sizeof line, "DEF_STEP_FINISH %d\n", m_nFinishLength);
    Trace(line);
    std::snprintf(line, sizeof line, "Send %d, %d, %d, %d\n", m_FinishRecord[0], m_FinishRecord[1],
                  m_FinishRecord[2], m_FinishRecord[3]);
    Trace(line);
    // An empty finish record puts nothing on the wire.
    if (m_nFinishLength > 0)
        m_port.PortWrite(m_FinishRecord, m_nFinishLength);
    AwaitBoardAnswer();
}
