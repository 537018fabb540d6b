#pragma once
// The upgrade board's bootloader download: the boot-mode probe, the boot
// image byte by byte, the port cycle to 115200 baud, then READY, ERASE A..J,
// START, the body image in 1024-byte blocks, END and the finish record.
// Driven by the received bytes (OnByte) and by its owner's one-shot timers
// (OnTimer, ids of board/BoardIds.h); it reaches the port through
// IBoardPort and reports to its owner through IBoardListener.
//
// Error contract: write failures are traced only. Any answer to READY moves
// on (one that is not the acknowledgement is traced and passed on as a
// warning). Missing or unopenable images, a refused or malformed answer from
// the first ERASE on, a failed reopen at 115200 and an unreadable body image
// end the exchange with EBoardFailure::Failed (once per connection); a board
// silent for the stall time after a message with EBoardFailure::Stalled,
// likewise once. A silent boot image byte ends it with
// EBoardFailure::BootImageSilent. The owner closes the port on a failure;
// the exchange touches it no more.
#include "board/BoardIds.h"
#include "package/BinaryFile.h"

#include <cstdint>
#include <string>

// What the exchange needs of the serial port it runs on.
class IBoardPort {
public:
    virtual ~IBoardPort() = default;
    // False when the bytes did not go out.
    virtual bool PortWrite(const std::uint8_t* bytes, int count) = 0;
    // What the board said so far is dropped, unread.
    virtual void PortDropInput() = 0;
    virtual bool PortIsOpen() const = 0;
    virtual void PortClose() = 0;
    // Opens the same port again at baud; false when it stays closed.
    virtual bool PortReopen(const std::string& baud) = 0;
};

// The progress rows the exchange moves, in the order they fill.
enum class EBoardRow { Boot, Erase, Data };

enum class EBoardFailure {
    Failed,         // refused, malformed, missing image, failed reopen
    Stalled,        // no answer within the stall time
    BootImageSilent // a boot image byte was not echoed
};

// What the exchange tells its owner.
class IBoardListener {
public:
    virtual ~IBoardListener() = default;
    // The board answered the boot-mode probe.
    virtual void BoardInBootMode() = 0;
    virtual void BoardProgress(EBoardRow row, int percent) = 0;
    virtual void BoardTrace(const std::string& line) = 0;
    virtual void BoardWarning(const std::string& text) = 0;
    virtual void BoardStartTimer(int id, int ms) = 0;
    virtual void BoardStopTimer(int id) = 0;
    // The finish record was acknowledged; may close the port.
    virtual void BoardDone() = 0;
    virtual void BoardFailed(EBoardFailure reason) = 0;
};

// The exchange's state, kept apart so that the tests can set a step up.
struct CBoardExchangeState {
    std::string m_strBootFile;
    std::string m_strBodyFile;
    CBinaryFile m_fileDownload;
    std::int64_t m_nDownloadTotal = 0;
    std::int64_t m_nDownloadSent = 0;
    int m_nBootStep = DEF_STEP_NONE;
    std::uint8_t m_BootRx[10] = {};
    int m_nBootRxCount = 0;
    int m_nEraseIndex = 0;
    int m_bHexEnd = 0;
    std::uint8_t m_FinishRecord[4] = {};
    int m_nFinishLength = 0;
    std::uint8_t m_HexBlock[4000] = {};
    std::uint8_t m_byBootByte = 0;
    // A body byte read past a full block (after a lone '#' that ended it),
    // sent first in the next block; -1 for none.
    int m_nHexCarry = -1;
    // A failure has been reported for this connection.
    int m_bBoardFailShown = 0;
};

class CBoardExchange : private CBoardExchangeState {
public:
    CBoardExchange(IBoardPort& port, IBoardListener& listener, int stallTimeoutMs)
        : m_port(port), m_listener(listener), m_stallTimeoutMs(stallTimeoutMs)
    {
    }
    CBoardExchange(const CBoardExchange&) = delete;
    CBoardExchange& operator=(const CBoardExchange&) = delete;

    // A new connection: nothing of an earlier exchange carries over; the
    // probe goes out.
    void Start(const std::string& bootImage, const std::string& bodyImage);
    void OnByte(std::uint8_t b);
    void OnTimer(int id);
    // The port went away under the exchange: it stops, and that counts as
    // its one report.
    void Halt();
    // Drops what a finished exchange leaves behind.
    void Reset();

    int Step() const { return m_nBootStep; }
    // From the boot image on until the finish record is answered or a
    // failure is reported.
    bool Writing() const
    {
        return m_nBootStep >= DEF_STEP_BOOT && m_nBootStep <= DEF_STEP_FINISH && m_bBoardFailShown == 0;
    }

    // Single steps, for the tests that drive them one by one.
    void SendMessage_Ready();
    void SendMessage_Erase();
    void SendMessage_HexDataReady();
    void SendMessage_HexDataEnd();
    int IsBootAck() const;

private:
    using AnswerHandler = void (CBoardExchange::*)(bool accepted);
    // The handler of step's 6-byte answer; nullptr for a step without one.
    static AnswerHandler AnswerHandlerOf(int step);
    void OnReadyAnswer(bool accepted);
    void OnEraseAnswer(bool accepted);
    void OnStartAnswer(bool accepted);
    void OnHexBlockAnswer(bool accepted);
    void OnHexEndAnswer(bool accepted);
    void OnFinishAnswer(bool accepted);
    void OnBootImageEcho();
    void OnBootImageSilent();
    void CheckBootFiles();
    bool BootFilesExist();
    void StartBootFile();
    void SendBootFile();
    void StartReady();
    void OpenHexFile();
    void SendHexFile();
    void SendFinishRecord();
    bool AnswerComplete(std::uint8_t b);
    void ClearAnswer();
    void ResetAnswer();
    void AwaitBoardAnswer();
    void SendBootMessage(const std::string& text, const char* errorTrace);
    void Trace(const std::string& line) { m_listener.BoardTrace(line); }
    void Fail(EBoardFailure reason = EBoardFailure::Failed);
    void Refused(const char* trace);

    friend struct CBoardExchangeTestAccess;

    IBoardPort& m_port;
    IBoardListener& m_listener;
    int m_stallTimeoutMs;
};
