#pragma once
// The main window: owner of all state of the tool. Its members are spread
// over one .cpp per concern; the sections below name each file. The numbers
// it uses live in app/ControlIds.h (controls), app/WindowIds.h (messages,
// transports, progress rows, list columns, timers, models) and
// bootloader/BootSteps.h (bootloader steps).
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
// drawn at the top of protocol/UpgradeDlgAcks.cpp. Both the writer
// (NoteTargetActivity) and the reader (OnStallTimer) of the atomic
// m_nLastFrameMs run on this thread too.
//
// Errors: nothing here throws to the host. What the user must act on goes
// to MessageBox in the system's own words, everything else to Trace. A
// failed item is marked in m_bItemFailed and m_bRunFailed and shown in the
// Result column of its list row.
#include "app/AppOptions.h"
#include "app/ControlIds.h"
#include "app/DialogHost.h"
#include "app/RunJournal.h"
#include "app/WindowIds.h"
#include "bootloader/BootSteps.h"
#include "link/CommPort.h"
#include "link/UsbLink.h"
#include "package/Aes128.h"
#include "package/BinaryFile.h"
#include "package/PackageArchive.h"
#include "package/PartImage.h"
#include "package/PartList.h"
#include "package/UnpackFolder.h"
#include "package/UnpackManifest.h"
#include "protocol/Frame.h"
#include "protocol/Receiver.h"
#include "zip/ZipArchive.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <unordered_set>
#include <vector>

class CSendToBD;
class CUpgradeDlg;

// What an upgrade run waits for: the one answer that moves it on.
enum : int {
    AWAIT_NONE = 0,
    AWAIT_UP_INDEX,
    AWAIT_BOOT_DOWN,
    AWAIT_BOOT_END,
    AWAIT_DATA_DOWN,
    AWAIT_DATA_END,
    AWAIT_ERASE,   // Erase Steps, then Erase End or Erase Fail
    AWAIT_PROGRAM, // Program Steps, then Program End or Program Fail
    AWAIT_VERIFY,  // CDM: Verify Steps, then Verify End
    AWAIT_FINISH,
};

// A control addressed through the host, for the controls the window binds
// to members.
class CDlgItem {
public:
    CDlgItem(CDialogHost& host, int id) : m_host(host), m_nId(id) {}
    void EnableWindow(bool enable) { m_host.EnableControl(m_nId, enable); }
    void SetWindowText(const std::string& text) { m_host.SetText(m_nId, text); }
    int GetDlgCtrlID() const { return m_nId; }

private:
    CDialogHost& m_host;
    int m_nId;
};

// Acknowledgements of the USB link: raised on its reader thread and handed
// to the window synchronously (WM_ACK_EVENT). In protocol/UpgradeDlgAcks.cpp.
class CUsbAckSink : public IAckSink {
public:
    explicit CUsbAckSink(CUpgradeDlg& dlg) : m_dlg(dlg) {}
    void OnAckEvent(int event) override;
    void OnCheckerMessage(const std::string& text) override;
    void OnLinkLost() override;

private:
    CUpgradeDlg& m_dlg;
};

class CUpgradeDlg : public IDialogEvents {
public:
    explicit CUpgradeDlg(CDialogHost& host, CAppOptions options = {});
    ~CUpgradeDlg() override;
    CUpgradeDlg(const CUpgradeDlg&) = delete;
    CUpgradeDlg& operator=(const CUpgradeDlg&) = delete;

    CDialogHost& Host() { return m_host; }
    const CAppOptions& Options() const { return m_options; }

    // --- Lifecycle (app/UpgradeDlg.cpp)
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

    // --- View (app/UpgradeDlgView.cpp)
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
    void MessageBox(const std::string& text, MessageIcon icon = MessageIcon::None);
    void Trace(const std::string& text);
    // The record of the run (RunJournal): what the list and the texts show now.
    void RecordPackage();
    void RecordTarget();
    // Writes an item's Result cell and records it.
    void SetItemResult(int row, const std::string& result);

    // --- Connection control (app/UpgradeDlgConnect.cpp)
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

    // --- Acknowledgement path: both sinks and the reactions (protocol/UpgradeDlgAcks.cpp)
    int OnAckEvent(int event);
    // A USB acknowledgement whose bytes were read at write count stamp.
    void OnUsbAck(int event, std::uint32_t stamp);
    // Reactions of the serial checkers: those of OnAckEvent, with the
    // system check and board check differing.
    void OnSerialAck(int event);
    // A checker refused an answer: its message, and during a run a failed item.
    void OnAckRejected(const std::string& text);
    // True when event is what the run waits for (and moves the wait on for
    // the target's notices); false traces it as unexpected.
    bool TakeAwaited(int event);

    // --- Requests (protocol/UpgradeDlgRequests.cpp)
    void MakePacketAndSend(std::uint8_t command, std::uint8_t subcommand, const std::uint8_t* payload,
                           std::int32_t length);
    void SendSysCheck();
    void SendUpIndex();
    void StartBootDownload();
    void SendFileChunk(std::uint8_t subcommand);
    void SendBootEnd();
    void StartDataDownload();
    void SendMemoryChunk();
    void SendDataEnd();
    void SendUpgradeFinish();
    void SendBoardCheck();

    // --- Upgrade sequencing (protocol/UpgradeDlgSequence.cpp)
    // Ends the run now: nothing more is sent, the item fails, the user may
    // retry. message, when not empty, says why.
    void AbortRun(const std::string& message);
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

    // --- System check (protocol/UpgradeDlgSysCheck.cpp)
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
    void ExplainStartBlocked(const std::string& reason);

    // --- Boot folder (package/UpgradeDlgBootFiles.cpp)
    // Sets m_strPartFile[0] to the greatest .OHH of the Boot folders; false
    // when that gives no readable file (with the message naming the folders
    // when none matched, or with reportUnusable).
    bool FindBootFile(bool reportUnusable = false);

    // --- Part-image package (package/UpgradeDlgPartImage.cpp); the decoding
    // steps (DecodePartImage, CheckImageHeader, ParseImageHeader) are the pure
    // functions of package/PartImage.h.
    void LoadPartImage();
    static int HexValue(char c);

    // --- Package archive (package/UpgradeDlgArchive.cpp)
    void UnpackArchive();
    void CloseArchive();
    void ReadUpgradeInfo();
    void FindPartFiles();
    void GetVersionFromName(std::string name, std::string& version);
    void DeleteUnpackedFiles(std::string folder);

    // --- Bootloader download (bootloader/UpgradeDlgBoot.cpp)
    void MainCheck();
    void OnBootByte(std::uint8_t b);
    void CheckBootFiles();
    int BootFilesExist();
    void StartBootFile();
    void SendBootFile();
    void SendMessage_Ready();
    void SendMessage_Erase();
    int IsBootAck();
    void SendMessage_HexDataReady();
    void OpenHexFile();
    void SendHexFile();
    void SendMessage_HexDataEnd();
    void OnBootTimer(int id);
    // Refuses a board body image without its end mark (throws std::runtime_error).
    void CheckBoardBody();

private:
    // --- Acknowledgement families (protocol/UpgradeDlgAcks.cpp): UP Index to
    // Data End, the erase, program and verify notices.
    void OnDownloadAck(int event);
    // Boot Down or Data Down (step PROGRESS_BOOT or PROGRESS_DATA).
    void ContinueDownload(int step);
    void ShowStepCount(int step, const CAckReceiver& link);
    void OnEraseAck(int event, CAckReceiver& link);
    void OnProgramAck(int event, CAckReceiver& link);
    void OnVerifyAck(int event, CAckReceiver& link);

    // --- Upgrade sequencing (protocol/UpgradeDlgSequence.cpp)
    void StartProgramAnim();

    // --- Bootloader download (bootloader/UpgradeDlgBoot.cpp): one handler
    // per step's answer, and what the steps share.
    using AnswerHandler = void (CUpgradeDlg::*)(bool accepted);
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
    void StartReady();
    void SendFinishRecord();
    bool AnswerComplete(std::uint8_t b);
    void ClearAnswer();
    void ResetAnswer();
    void AwaitBoardAnswer();
    void SendBootMessage(const std::string& text, const char* errorTrace);
    void ReportBoardFailure(const char* message = "Board upgrade failed.");
    void Refused(const char* trace);

public:
    // ------------------------------------------------------------------
    // State. Everything starts at zero or empty.

    // Controls bound to members.
    CDlgItem m_ctrlList;
    CDlgItem m_btnUpgradeStart;
    CDlgItem m_btnSysCheck;
    CDlgItem m_btnFileLoad;
    CDlgItem m_btnConnect;

    // Window resources.
    int m_hIcon = IDR_MAINFRAME;
    std::unique_ptr<CSendToBD> m_pSendToBD;

    // Connection.
    int m_bConnected = 0;
    int m_nTransport = 0;
    std::string m_strPortName;
    CUsbAckSink m_UsbSink;
    CUsbLink m_UsbLink;

    // Loaded package.
    int m_nResultType = 0;
    int m_bPartImage = 0;
    int m_bHasPart[PART_COUNT] = {};
    std::string m_strUpgradeFile;
    std::string m_strUnzipFolder;
    // Where archives are unpacked: beside the package (the window) or always
    // a private folder (the command line). The claim holds the folder's lock.
    CUnpackFolder::EPlace m_eUnpackPlace = CUnpackFolder::EPlace::BesidePackage;
    CUnpackFolder m_UnpackFolder;
    std::string m_strPartFile[PART_SLOTS];
    PartListTable m_PartList = {};
    std::unique_ptr<std::uint8_t[]> m_pPartData[PART_COUNT];
    SectionInfo m_Section[SECTION_COUNT] = {};
    CAes128 m_Aes;
    CZipArchive m_ZipArchive;
    std::string m_szStartDir;
    // What the last archive load created on disk, so clean-up removes only that.
    std::unordered_set<std::string> m_setUnpackedFiles;
    std::vector<std::string> m_vecUnpackedFolders;
    // Folder of the last package chosen; the open-file dialog starts there.
    std::string m_strLastPackageDir;
    // The loaded package's files; each is in the unpack folder, extracted or
    // already there with the same content.
    CPackageContents m_PackageContents;
    // What the tool wrote into the unpack folder, over sessions.
    CUnpackManifest m_UnpackManifest;

    // Upgrade run.
    int m_nCurrentItem = 0;
    std::vector<int> m_vecItemQueue;
    CBinaryFile m_fileDownload;
    std::int64_t m_nDownloadTotal = 0;
    std::int64_t m_nDownloadSent = 0;
    int m_nProgramAnim = 0;
    // A run is under way (Upgrade Start until its end), watched for stalls.
    int m_bRunActive = 0;
    // The current item received Erase Fail or Program Fail.
    int m_bItemFailed = 0;
    // Some item of this run failed.
    int m_bRunFailed = 0;
    // The run lock is on, and what each locked control's state was before it.
    int m_bRunLocked = 0;
    bool m_bEnabledBeforeRun[8] = {};
    // The close question is open; the window has closed.
    int m_bCloseAsked = 0;
    int m_bClosed = 0;
    // The answer the run waits for (AWAIT_*).
    int m_nAwait = AWAIT_NONE;
    // Steady-clock milliseconds of the last awaited answer of the run.
    std::atomic<std::int64_t> m_nLastFrameMs{0};

    // The account of this window's runs for the trace and the history.
    CRunJournal m_Journal;

    // Target information.
    std::string m_strTargetSerial;
    std::string m_strTargetVersion[PART_COUNT];
    // The last system-check record, for the trace that explains a decision.
    std::uint8_t m_SysRecord[SYS_RECORD_SIZE] = {};
    // SYS Check acknowledgements and serial/version frames handled since the window opened.
    int m_nSysCheckAnswers = 0;
    int m_nSerialFrames = 0;
    // Why Upgrade Start stays disabled after the last match check; empty when it is available.
    std::string m_strStartBlockedReason;
    // That reason has been shown since the last Sys Check.
    int m_bStartReasonShown = 0;

    // Bootloader download. Its bytes go out on m_pBootPort, which a test may
    // point at a port of its own.
    CCommPort* m_pBootPort = &g_ComPort;
    int m_nBootStep = 0;
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
    // A board-upgrade failure has been reported for this connection.
    int m_bBoardFailShown = 0;

private:
    CDialogHost& m_host;
    CAppOptions m_options;
};

// The main window and the hidden bootloader window, for the receive threads.
extern CUpgradeDlg* g_hMainDlg;
extern CSendToBD* g_hSendToBD;

// Percentage of done in total, truncated, computed in 64 bits; 0 for a total of 0.
int PercentOf(std::int64_t done, std::int64_t total);
