#pragma once
// The main window: owner of all state of the tool. Its member functions are
// spread over one .cpp per concern; the sections below name each file. Its
// data (UpgradeDlgState.h) is a private base: the command line reads it
// through Status(), the tests through their access struct. The numbers
// it uses live in ControlIds.h (controls), WindowIds.h (messages,
// transports, progress rows, list columns, timers, models) and
// board/BoardIds.h (the board exchange's steps and timers).
//
// Threads: every member runs on the user-interface thread (the host's event
// loop, its timers and the controls). Two threads feed it: the serial
// receive thread (ThreadWatchComm) hands received bytes over through the
// host's SendSync, where CSendToBD parses them (OnBootByte, or the serial
// receiver whose sink calls OnSerialAck and OnAckRejected); the USB reader
// thread of m_UsbLink runs its receiver there and its sink (CUsbAckSink)
// hands each event over through SendSync to OnUsbAck (then OnAckEvent) and
// OnAckRejected.
// The acknowledgement path from either thread to the progress rows is
// drawn at the top of UpgradeDlgAcks.cpp. Both the writer
// (NoteTargetActivity) and the reader (OnStallTimer) of the atomic
// m_nLastFrameMs run on this thread too.
//
// Errors: nothing here throws to the host. What the user must act on goes
// to MessageBox in the system's own words, everything else to Trace. A
// failed item is marked in m_bItemFailed and m_bRunFailed and shown in the
// Result column of its list row.
#include "window/AppOptions.h"
#include "window/ControlIds.h"
#include "window/DialogHost.h"
#include "window/Messages.h"
#include "window/UpgradeDlgState.h"
#include "window/WindowIds.h"

#include <cstdint>
#include <string>

class CUpgradeDlg : public IDialogEvents,
                    private CUpgradeDlgState,
                    private IBoardPort,
                    private IBoardListener {
public:
    explicit CUpgradeDlg(CDialogHost& host, CAppOptions options = {});
    ~CUpgradeDlg() override;
    CUpgradeDlg(const CUpgradeDlg&) = delete;
    CUpgradeDlg& operator=(const CUpgradeDlg&) = delete;

    CDialogHost& Host() { return m_host; }
    const CAppOptions& Options() const { return m_options; }
    // What the window shows and holds, read-only, for the command line.
    CDlgStatus Status() const { return CDlgStatus(*this, m_board); }
    // The account of this window's runs; its owner names the program and finishes it.
    CRunJournal& Journal() { return m_Journal; }
    // Where File Load unpacks archives; the window's default is beside the package.
    void SetUnpackPlace(CUnpackFolder::EPlace place) { m_eUnpackPlace = place; }

    // --- Lifecycle (UpgradeDlg.cpp)
    bool OnInitDialog();
    void OnCloseRequest() override;
    void OnClose() override;
    void OnOpenFile(const std::string& path) override;
    // An upgrade run or a board exchange is writing to the target.
    bool IsRunInProgress() const;
    // While a run is in progress the item boxes, ALL and the port and baud
    // lists are disabled; afterwards each gets back the state it had.
    void UpdateRunLock();
    void ResetUpgradeState();
    void CreateSendToBD();
    void OnControlEvent(int id, ControlEvent event) override;
    void OnTimer(int id) override;

    // --- Operations for a front end without controls (UpgradeDlg.cpp).
    // Each does what its button does, and only when the window would take
    // that click (its control shown and enabled); false when refused.
    enum class EOperation { Load, Connect, SystemCheck, Start };
    bool Offers(EOperation op) const;
    // The item box of an item the package carries and the machine has.
    bool OffersItem(int box) const;
    bool Load(const std::string& path);
    bool Connect();
    bool SystemCheck();
    bool ChooseItem(int box, bool on);
    bool Start();

    // --- View (UpgradeDlgView.cpp)
    void InitControls();
    void InitListColumns();
    void FillPartList();
    void SetProgress(int step, int percent);
    void CompleteProgress(int step);
    void FailProgress(int step);
    void ResetProgress();
    void ShowProgressRow(int labelId, int barId, int percentId, bool show);
    void HidePartChecks();
    void ShowPartChecks();
    void OnCheckAll();
    void OnButtonFileLoad();
    // Loads the package at path as File Load does after its dialog.
    void LoadPackage(const std::string& path);
    // Shows the entry's message (with detail, for an entry with a variable
    // part) and reports it to the host and the run journal.
    void MessageBox(EMsg id, const std::string& detail = {});
    // The same for a text a lower room made (a checker, the port, the loader);
    // connecting: the link went before the first upgrade frame was sent.
    void ShowMessage(EMsg id, const std::string& text, bool connecting = false, std::string linkFailure = {});
    void Trace(const std::string& text);
    // The record of the run (RunJournal): what the list and the texts show now.
    void RecordPackage();
    void RecordTarget();
    // Writes an item's Result cell and records it.
    void SetItemResult(int row, const std::string& result);

    // --- Connection control (UpgradeDlgConnect.cpp)
    void FillBaudList();
    void FillPortList();
    void FillComPortList();
    void OnSelchangeComboPort();
    void OnDropdownComboPort();
    void OnButtonConnect();
    void ConnectSerial(const std::string& portName, const std::string& baudText);
    void DisconnectUsb();
    void DisconnectSerial();
    // Closes the link in use, USB or serial.
    void DisconnectLink();
    void OnBoardCheckAck();
    // Stops the timers that watch a connection and pace the board exchange.
    void StopConnectionTimers();
    // The link of transport vanished: the run or exchange ends, the window
    // is back to Ready with the package kept.
    void OnLinkLost(int transport);
    // Drops whatever the current link received so far.
    void DiscardInput();

    // --- Acknowledgement path: both sinks and the reactions (UpgradeDlgAcks.cpp)
    int OnAckEvent(int event);
    // A USB acknowledgement whose bytes were read at write count stamp.
    void OnUsbAck(int event, std::uint32_t stamp);
    // Reactions of the serial checkers: those of OnAckEvent, with the
    // system check and board check differing.
    void OnSerialAck(int event);
    // A checker refused an answer: its message, and during a run a failed item.
    void OnAckRejected(IAckSink::ERefusal why, const std::string& text);
    // True when event is what the run waits for (and moves the wait on for
    // the target's notices); false traces it as unexpected.
    bool TakeAwaited(int event);

    // --- Requests (UpgradeDlgRequests.cpp)
    void MakePacketAndSend(std::uint8_t command, std::uint8_t subcommand, const std::uint8_t* payload,
                           std::int32_t length);
    void SendSysCheck();
    void SendUpIndex();
    void StartBootDownload();
    void SendFileChunk(std::uint8_t subcommand);
    // As MakePacketAndSend, for a frame already built.
    void SendFrame(const CFrameBuffer& frame);
    void WriteUsb(const std::uint8_t* bytes, std::size_t count);
    void SendBootEnd();
    void StartDataDownload();
    void SendMemoryChunk();
    void SendDataEnd();
    void SendUpgradeFinish();
    void SendBoardCheck();

    // --- Upgrade sequencing (UpgradeDlgSequence.cpp)
    // Ends the run now: nothing more is sent, the item fails, the user may
    // retry; id says why (text: the shown text when a lower room made it).
    void AbortRun(EMsg id, const std::string& text = {});
    // The same without a message; false when no run was active.
    bool StopRun();
    // The current item failed for good: its result, then the next item.
    void EndItemFailed(int step);
    void OnButtonUpgradeStart();
    int BuildItemQueue();
    void StartNextItem();
    void ShowItemResult();
    void OnUpgradeFinished();
    void OnBoardUpgradeDone();
    void OnProgramAnimTimer();
    void OnStallTimer();
    // An awaited answer during a run restarts the stall watch.
    void NoteTargetActivity();
    // The step counters of the link that carries the run.
    CAckReceiver& ActiveReceiver();
    // The serial link's receiver (its EraseActive decides item results).
    CAckReceiver& SerialReceiver();

    // --- System check (UpgradeDlgSysCheck.cpp)
    void OnButtonSysCheck();
    // Reaction to the SYS Check acknowledgement over USB: the record, then the match check.
    void OnSysCheckAck(const std::uint8_t* record);
    void ShowSysCheckResult(const std::uint8_t* record);
    void SetTargetStatus(const std::string& partName, const std::string& status);
    void OnSerialVersionAck(const std::uint8_t* payload, int length);
    void ShowTargetVersions();
    void CheckMachineType();
    // Says once per system check why Upgrade Start stays disabled, and traces
    // the record groups behind it.
    void ExplainStartBlocked(const char* why);

    // --- Boot folder (UpgradeDlgBootFiles.cpp)
    // Sets m_strPartFile[0] to the greatest .OHH of the Boot folders; false
    // when that gives no readable file (with the message naming the folders
    // when none matched, or with reportUnusable).
    bool FindBootFile(bool reportUnusable = false);

    // --- Signature (UpgradeDlgSignature.cpp)
    // Opens m_strUpgradeFile into m_PackageFile and checks its signature;
    // false when the load must stop (shown, and the window reset to Ready).
    bool OpenCheckedPackage();
    // False when the checked package was rewritten while it loaded.
    bool PackageStillAsChecked();
    // The package line: who signed the loaded package; hidden without one.
    void ShowSignature();

    // --- Part-image package (UpgradeDlgPartImage.cpp); the decoding
    // steps (DecodePartImage, CheckImageHeader, ParseImageHeader) are the pure
    // functions of package/PartImage.h.
    void LoadPartImage();
    static int HexValue(char c);

    // --- Package archive (UpgradeDlgArchive.cpp)
    void UnpackArchive();
    void CloseArchive();
    void ReadUpgradeInfo();
    void FindPartFiles();
    void GetVersionFromName(std::string name, std::string& version);
    void DeleteUnpackedFiles(std::string folder);

    // --- Board exchange (UpgradeDlgBoot.cpp): the bytes the hidden window
    // receives in a bootloader step.
    void OnBootByte(std::uint8_t b);
    // Refuses a board body image without its end mark (throws std::runtime_error).
    void CheckBoardBody();

private:
    // --- Acknowledgement families (UpgradeDlgAcks.cpp): UP Index to
    // Data End, the erase, program and verify notices.
    void OnDownloadAck(int event);
    // Boot Down or Data Down (step PROGRESS_BOOT or PROGRESS_DATA).
    void ContinueDownload(int step);
    void ShowStepCount(int step, const CAckReceiver& link);
    void OnEraseAck(int event, CAckReceiver& link);
    void OnProgramAck(int event, CAckReceiver& link);
    void OnVerifyAck(int event, CAckReceiver& link);

    // --- Upgrade sequencing (UpgradeDlgSequence.cpp)
    void StartProgramAnim();

    // --- Board exchange (UpgradeDlgBoot.cpp): its port and its reports.
    bool PortWrite(const std::uint8_t* bytes, int count) override;
    void PortDropInput() override;
    bool PortIsOpen() const override;
    void PortClose() override;
    bool PortReopen(const std::string& baud) override;
    void BoardInBootMode() override;
    void BoardProgress(EBoardRow row, int percent) override;
    void BoardTrace(const std::string& line) override;
    void BoardWarning(const std::string& text) override;
    void BoardStartTimer(int id, int ms) override;
    void BoardStopTimer(int id) override;
    void BoardDone() override;
    void BoardFailed(EBoardFailure reason) override;

    // The USB sink hands its events over on the link's own gate; the tests
    // set up and inspect state through their one access struct.
    friend class CUsbAckSink;
    friend struct CUpgradeDlgTestAccess;

    // Runs handler as a click on control id would: only when the window takes it.
    bool Operate(int id, void (CUpgradeDlg::*handler)());

    CDialogHost& m_host;
    CAppOptions m_options;
    std::string m_strUsbTtyError; // why --usb-tty auto found no tty
    CBoardExchange m_board{*this, *this, m_options.stallTimeoutMs};
};

// The main window and the hidden bootloader window, for the receive threads.
extern CUpgradeDlg* g_hMainDlg;
extern CSendToBD* g_hSendToBD;
