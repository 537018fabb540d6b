// The upgrade board's bootloader download: the boot-mode probe, the boot
// image byte by byte, the port cycle to 115200 baud, then READY, ERASE A..J,
// START, the body image in 1024-byte blocks, END and the finish record.
// Driven by the received bytes (OnBootByte, from the hidden window) and by
// the window's one-shot timers (OnBootTimer).
//
// Error contract: write failures are traced only. Any answer to READY moves
// on (one that is not the acknowledgement is traced and passed to the host as
// a warning). Missing or unopenable images, a refused or malformed answer
// from the first ERASE on, a failed reopen at 115200 and an unreadable body
// image end the exchange with "Board upgrade failed." (once per connection),
// the port closed and the window back to Ready with the package loaded; a
// board silent for the stall time after a message ends it likewise with "The
// upgrade board stopped responding.". A silent boot image byte ends it with
// "Download boot error occurred" and the package forgotten. A body image
// without its end mark is refused when the package is loaded (CheckBoardBody).
#include "package/PackageArchive.h"
#include "window/UpgradeDlg.h"

#include "link/CommPort.h"
#include "link/RxQueue.h"
#include "protocol/Pacing.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <sys/stat.h>
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
    struct stat st {};
    return !path.empty() && ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

} // namespace

void CUpgradeDlg::SendBootMessage(const std::string& text, const char* errorTrace)
{
    const std::vector<std::uint8_t> message = BootMessage(text);
    if (m_pBootPort->WriteComm(message.data(), static_cast<int>(message.size())) == 0)
        Trace(errorTrace);
}

void CUpgradeDlg::ClearAnswer()
{
    std::memset(m_BootRx, 0, sizeof m_BootRx);
}

void CUpgradeDlg::ResetAnswer()
{
    m_nBootRxCount = 0;
    ClearAnswer();
}

// Stores one answer byte (the buffer holds 6); true once the answer is
// whole, and the stall watch stops.
bool CUpgradeDlg::AnswerComplete(std::uint8_t b)
{
    if (m_nBootRxCount < BOOT_ACK_SIZE)
        m_BootRx[m_nBootRxCount++] = b;
    if (m_nBootRxCount < BOOT_ACK_SIZE)
        return false;
    m_host.StopTimer(IDT_BOARD_STALL);
    return true;
}

// Every message of the exchange after the port cycle is answered within the
// stall time; the pauses between them are the tool's own and never count.
void CUpgradeDlg::AwaitBoardAnswer()
{
    m_host.StartTimer(IDT_BOARD_STALL, m_options.stallTimeoutMs);
}

// The board will not finish this upgrade: say so once, close the port and
// leave the package loaded so that Connect can start over. May run inside
// the receive notification; the port is not touched again afterwards.
void CUpgradeDlg::ReportBoardFailure(EMsg message)
{
    if (m_bBoardFailShown == 1)
        return;
    m_bBoardFailShown = 1;
    StopConnectionTimers();
    m_fileDownload.Close();
    DisconnectSerial();
    m_btnConnect.SetWindowText("Connect");
    m_btnConnect.EnableWindow(true);
    MessageBox(message);
}

// A refused acknowledgement from ERASE A to END: the exchange halts.
void CUpgradeDlg::Refused(const char* trace)
{
    m_nBootStep = DEF_STEP_HALT;
    Trace(trace);
    ReportBoardFailure();
}

void CUpgradeDlg::MainCheck()
{
    m_nBootStep = DEF_STEP_MAINCHECK;
    // A new connection: nothing of an earlier exchange carries over.
    m_fileDownload.Close();
    ResetAnswer();
    m_nEraseIndex = 0;
    m_bHexEnd = 0;
    m_nHexCarry = -1;
    m_nFinishLength = 0;
    std::memset(m_FinishRecord, 0, sizeof m_FinishRecord);
    m_bBoardFailShown = 0;
    if (m_pBootPort->WriteComm(&BOOT_PROBE, 1) == 0)
        Trace("MainCheck Error!\r\n");
}

CUpgradeDlg::AnswerHandler CUpgradeDlg::AnswerHandlerOf(int step)
{
    static constexpr struct {
        int step;
        AnswerHandler handler;
    } kAnswers[] = {
        {DEF_STEP_READY, &CUpgradeDlg::OnReadyAnswer},   {DEF_STEP_ERASE, &CUpgradeDlg::OnEraseAnswer},
        {DEF_STEP_START, &CUpgradeDlg::OnStartAnswer},   {DEF_STEP_SENDHEX, &CUpgradeDlg::OnHexBlockAnswer},
        {DEF_STEP_ENDHEX, &CUpgradeDlg::OnHexEndAnswer}, {DEF_STEP_FINISH, &CUpgradeDlg::OnFinishAnswer},
    };
    for (const auto& answer : kAnswers)
        if (answer.step == step)
            return answer.handler;
    return nullptr;
}

void CUpgradeDlg::OnBootByte(std::uint8_t b)
{
    // From READY on every message is answered with 6 bytes, judged whole.
    if (const AnswerHandler onAnswer = AnswerHandlerOf(m_nBootStep)) {
        if (AnswerComplete(b))
            (this->*onAnswer)(IsBootAck() == 1);
        return;
    }
    if (m_nBootStep == DEF_STEP_MAINCHECK && b == BOOT_PROBE) {
        m_host.StopTimer(IDT_BOOT_MODE);
        CheckBootFiles();
    } else if (m_nBootStep == DEF_STEP_BOOT) {
        OnBootImageEcho();
    }
    // DEF_STEP_HALT, the port cycle and anything else: dropped.
}

// The board echoed a boot image byte: the next one, or the port cycle.
void CUpgradeDlg::OnBootImageEcho()
{
    m_host.StopTimer(IDT_BOOT_TIMEOUT);
    if (m_nDownloadSent < m_nDownloadTotal) {
        SetProgress(PROGRESS_BOOT, PercentOf(m_nDownloadSent, m_nDownloadTotal));
        SendBootFile();
        return;
    }
    m_fileDownload.Close();
    CompleteProgress(PROGRESS_BOOT);
    ResetAnswer();
    // Anything more before READY (a banner, an echo) must not start a second
    // port cycle.
    m_nBootStep = DEF_STEP_PORT_CYCLE;
    m_host.StartTimer(IDT_PORT_CLOSE, kPortCloseDelayMs);
}

void CUpgradeDlg::OnReadyAnswer(bool accepted)
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
        m_host.Warning("the upgrade board answered READY with " + bytes +
                       ", not its acknowledgement; the upgrade goes on");
    }
    ResetAnswer();
    m_nBootStep = DEF_STEP_ERASE;
    m_nEraseIndex = 1;
    SendMessage_Erase();
}

void CUpgradeDlg::OnEraseAnswer(bool accepted)
{
    if (!accepted) {
        ClearAnswer();
        Refused("==> Not ERASE\r\n");
        return;
    }
    ResetAnswer();
    if (m_nEraseIndex >= ERASE_COUNT) {
        CompleteProgress(PROGRESS_ERASE);
        m_host.StartTimer(IDT_SEND_START, kSendStartDelayMs);
        return;
    }
    m_nEraseIndex += 1;
    SetProgress(PROGRESS_ERASE, m_nEraseIndex * 100 / ERASE_COUNT);
    WaitAtLeast(kErasePauseMs);
    SendMessage_Erase();
}

void CUpgradeDlg::OnStartAnswer(bool accepted)
{
    if (!accepted) {
        Refused("==> STEP_START - NAK\r\n");
        return;
    }
    m_nBootRxCount = 0;
    OpenHexFile();
}

void CUpgradeDlg::OnHexBlockAnswer(bool accepted)
{
    // The count stays at 6 until the block pause resets it, so every further
    // byte judges the same answer again (and restarts the pause).
    if (!accepted) {
        Refused("==> STEP_SENDHEX - NAK\r\n");
        return;
    }
    const int percent =
        m_nDownloadTotal > 0 ? std::min(100, PercentOf(m_nDownloadSent, m_nDownloadTotal)) : 100;
    SetProgress(PROGRESS_DATA, percent);
    m_host.StartTimer(IDT_SEND_HEX, kBlockPauseMs);
}

void CUpgradeDlg::OnHexEndAnswer(bool accepted)
{
    CompleteProgress(PROGRESS_DATA);
    Trace("DEF_STEP_ENDHEX\n");
    if (accepted)
        m_host.StartTimer(IDT_SEND_FINISH, kSendFinishDelayMs);
    else
        Refused("==> STEP_ENDHEX = NAK\r\n");
}

void CUpgradeDlg::OnFinishAnswer(bool accepted)
{
    if (accepted) {
        m_nBootStep = DEF_STEP_NONE;
        // Closes the port from inside this notification; nothing below may
        // touch the port again.
        OnBoardUpgradeDone();
        return;
    }
    // The step stays: the same refusal is judged again by every further
    // byte, and reported once.
    Trace("==> DEF_STEP_FINISH - NAK\r\n");
    ReportBoardFailure();
}

void CUpgradeDlg::CheckBootFiles()
{
    ShowProgressRow(IDC_STATIC_PROGRAM, IDC_PROGRESS_PROGRAM, IDC_STATIC_PROGRAM_PERCENT, false);
    ShowProgressRow(IDC_STATIC_VERIFY, IDC_PROGRESS_VERIFY, IDC_STATIC_VERIFY_PERCENT, false);
    if (BootFilesExist() == 1) {
        m_host.StartTimer(IDT_SEND_BOOT, kSendBootDelayMs);
    } else {
        Trace("==> Main File Chewck Fail\r\n");
        // Waiting would not bring the images: tell the user instead of
        // holding the port open without a word.
        ReportBoardFailure();
    }
}

int CUpgradeDlg::BootFilesExist()
{
    int found = 1;
    for (int slot : {0, 1}) {
        if (!FileFound(m_strPartFile[slot])) {
            char line[4200];
            std::snprintf(line, sizeof line, "%s ==> Not Search File\r\n", m_strPartFile[slot].c_str());
            Trace(line);
            found = 0;
        }
    }
    return found;
}

void CUpgradeDlg::StartBootFile()
{
    if (m_nBootStep != DEF_STEP_MAINCHECK)
        return;
    if (!m_fileDownload.Open(m_strPartFile[0], CBinaryFile::Share::Exclusive)) {
        Trace("==> Fail : Open Main Boot FIle\r\n==> RE Start <==\r\n");
        ReportBoardFailure();
        return;
    }
    m_nBootStep = DEF_STEP_BOOT;
    m_nDownloadTotal = m_fileDownload.Length();
    m_nDownloadSent = 0;
    SendBootFile();
}

void CUpgradeDlg::SendBootFile()
{
    // A byte that cannot be read (an empty or damaged image) is not made up:
    // nothing is sent, and the byte watchdog reports the failed download.
    if (m_fileDownload.Read(&m_byBootByte, 1) != 1) {
        Trace("SendBootFile Err\r\n==> RE Start <==\r\n");
        m_host.StartTimer(IDT_BOOT_TIMEOUT, kBootByteTimeoutMs);
        return;
    }
    m_nDownloadSent += 1;
    WaitAtLeast(kBootBytePauseMs);
    if (m_pBootPort->WriteComm(&m_byBootByte, 1) == 0)
        Trace("SendBootFile Err\r\n==> RE Start <==\r\n");
    m_host.StartTimer(IDT_BOOT_TIMEOUT, kBootByteTimeoutMs);
}

void CUpgradeDlg::SendMessage_Ready()
{
    SendBootMessage("READY", "SendMessage_Ready Err\n==> RE Start <==\r\n");
    AwaitBoardAnswer();
}

void CUpgradeDlg::SendMessage_Erase()
{
    const int index = std::clamp(m_nEraseIndex, 1, ERASE_COUNT);
    SendBootMessage(std::string("ERASE") + static_cast<char>('A' + index - 1),
                    "SendMessage_Erase Err\n==> RE Start <==\r\n");
    AwaitBoardAnswer();
}

int CUpgradeDlg::IsBootAck()
{
    return std::memcmp(m_BootRx, BOOT_ACK, BOOT_ACK_SIZE) == 0 ? 1 : 0;
}

void CUpgradeDlg::SendMessage_HexDataReady()
{
    SendBootMessage("START", "SendMessage_HexDataReady Err\n==> RE Start <==\r\n");
    AwaitBoardAnswer();
}

void CUpgradeDlg::OpenHexFile()
{
    if (!m_fileDownload.Open(m_strPartFile[1], CBinaryFile::Share::Exclusive)) {
        Trace("==> Fail : Open Hex FIle\r\n==> RE Start <==\r\n");
        m_nBootStep = DEF_STEP_HALT;
        ReportBoardFailure();
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

void CUpgradeDlg::SendHexFile()
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
                ReportBoardFailure();
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
    if (m_pBootPort->WriteComm(m_HexBlock, i) == 0)
        Trace("SendHexFile Err\n==> RE Start <==\r\n");
    AwaitBoardAnswer();
}

void CUpgradeDlg::CheckBoardBody()
{
    if (m_nResultType != RESULT_TYPE_BOARD || m_strPartFile[1].empty())
        return;
    // The exchange erases the board before it reads the body: a body it could
    // not end properly must be refused before anything is sent.
    const std::string& path = m_strPartFile[1];
    CBinaryFile body;
    if (!body.Open(path, CBinaryFile::Share::Shared))
        throw std::runtime_error("the board body image \"" + path + "\" cannot be read");
    CBodyEndMark scan;
    std::uint8_t chunk[4096];
    for (std::size_t n; (n = body.Read(chunk, sizeof chunk)) > 0;)
        scan.Feed(chunk, n);
    if (body.LastError() != 0)
        throw std::runtime_error("the board body image \"" + path + "\" cannot be read");
    // Named as the package names it, as velunda-cli info does.
    if (const std::string problem = scan.Problem(path.substr(path.rfind('/') + 1)); !problem.empty())
        throw std::runtime_error(problem);
}

void CUpgradeDlg::SendMessage_HexDataEnd()
{
    SendBootMessage("END", "SendMessage_HexDataEnd Err\n==> RE Start <==\r\n");
    AwaitBoardAnswer();
}

void CUpgradeDlg::OnBootTimer(int id)
{
    switch (id) {
    case IDT_SEND_BOOT:
        StartBootFile();
        break;
    case IDT_BOOT_TIMEOUT:
        OnBootImageSilent();
        break;
    case IDT_PORT_CLOSE:
        // Only a port this exchange holds is cycled; after a Dis Connect by
        // the user it stays closed.
        if (m_bConnected == 1) {
            DisconnectSerial();
            m_host.StartTimer(IDT_PORT_REOPEN, kPortReopenDelayMs);
        }
        break;
    case IDT_PORT_REOPEN:
        ConnectSerial(m_strPortName, "115200");
        if (m_bConnected == 1)
            m_host.StartTimer(IDT_SEND_READY, kSendReadyDelayMs);
        else
            ReportBoardFailure();
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
        ReportBoardFailure(EMsg::BoardStopped);
        break;
    default:
        break;
    }
}

void CUpgradeDlg::OnBootImageSilent()
{
    // Closed before the box is shown, so that no late answer continues the
    // download behind it.
    m_fileDownload.Close();
    DisconnectLink();
    MessageBox(EMsg::BootDownloadError);
    m_btnConnect.SetWindowText("Connect");
    m_btnConnect.EnableWindow(false);
    ResetUpgradeState();
}

void CUpgradeDlg::StartReady()
{
    // What the board said since the reopen is no answer to READY.
    g_ComPort.PurgeInput();
    std::uint8_t stale = 0;
    while (g_RxQueue.Pop(stale) == 1) {
    }
    ResetAnswer();
    m_nBootStep = DEF_STEP_READY;
    SendMessage_Ready();
}

void CUpgradeDlg::SendFinishRecord()
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
        m_pBootPort->WriteComm(m_FinishRecord, m_nFinishLength);
    AwaitBoardAnswer();
}
