#pragma once
// What the main window holds, apart from its host and options. CUpgradeDlg
// inherits it privately: its own members use these names as they stand,
// while outside it only the sinks it befriends and the tests' access struct
// reach them. Readers that only look (the command line) use CDlgStatus.
// Everything starts at zero or empty.
#include "board/BoardExchange.h"
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
#include "signature/PackageSignature.h"
#include "window/ControlIds.h"
#include "window/DialogHost.h"
#include "window/RunJournal.h"
#include "window/WindowIds.h"
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
// to the window synchronously (WM_ACK_EVENT). In UpgradeDlgAcks.cpp.
class CUsbAckSink : public IAckSink {
public:
    explicit CUsbAckSink(CUpgradeDlg& dlg) : m_dlg(dlg) {}
    void OnAckEvent(int event) override;
    void OnCheckerRefusal(ERefusal why, const std::string& text) override;
    void OnLinkLost() override;

private:
    CUpgradeDlg& m_dlg;
};

struct CUpgradeDlgState {
    // dlg is the window that holds this state (its sink reports there);
    // trace is where the run journal writes.
    CUpgradeDlgState(CDialogHost& host, CUpgradeDlg& dlg, CRunJournal::TraceFn trace);
    ~CUpgradeDlgState();
    CUpgradeDlgState(const CUpgradeDlgState&) = delete;
    CUpgradeDlgState& operator=(const CUpgradeDlgState&) = delete;

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
    // Where archives are unpacked: beside the package (falling back to a
    // private folder), or always a private one. The claim holds the folder's lock.
    CUnpackFolder::EPlace m_eUnpackPlace = CUnpackFolder::EPlace::BesidePackage;
    CUnpackFolder m_UnpackFolder;
    // A private unpack folder that clean-up left holding kept files; empty
    // when none. Nothing else knows where they are, so it is reported.
    std::string m_strKeptFolder;
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
    // The package while File Load works on it: its signature is checked and
    // its bytes are loaded through this one descriptor.
    CBinaryFile m_PackageFile;
    CSignatureCheck m_Signature; // of the loaded package
    CFileStamp m_PackageStamp;   // of m_PackageFile when it was checked

    // Upgrade run.
    int m_nCurrentItem = 0;
    std::vector<int> m_vecItemQueue;
    CBinaryFile m_fileDownload;
    // The frame each chunk of m_fileDownload is read into and sent from.
    CFrameBuffer m_chunkFrame;
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

    // The board exchange's bytes go out on m_pBootPort, which a test may
    // point at a port of its own.
    CCommPort* m_pBootPort = &g_ComPort;
};

// The window as the command line reads it: live values, no way to change
// them. CUpgradeDlg::Status() hands one out.
class CDlgStatus {
public:
    using PartFlags = int[PART_COUNT];
    using PartTexts = std::string[PART_COUNT];

    CDlgStatus(const CUpgradeDlgState& state, const CBoardExchange& board) : m_state(state), m_board(board) {}

    // The loaded package (RESULT_TYPE_*), which parts it carries, its list.
    int ResultType() const { return m_state.m_nResultType; }
    const PartFlags& HasPart() const { return m_state.m_bHasPart; }
    const PartListTable& PartList() const { return m_state.m_PartList; }
    const CSignatureCheck& Signature() const { return m_state.m_Signature; }
    // The link, the item of the run (ITEM_*) and the bootloader step (DEF_STEP_*).
    bool Connected() const { return m_state.m_bConnected == 1; }
    int CurrentItem() const { return m_state.m_nCurrentItem; }
    int BootStep() const { return m_board.Step(); }
    // SYS Check acknowledgements and serial/version frames handled so far.
    int SysCheckAnswers() const { return m_state.m_nSysCheckAnswers; }
    int SerialFrames() const { return m_state.m_nSerialFrames; }
    // What the target reported of itself.
    const std::string& TargetSerial() const { return m_state.m_strTargetSerial; }
    const PartTexts& TargetVersions() const { return m_state.m_strTargetVersion; }
    // Why Upgrade Start stays disabled; empty when it is available.
    const std::string& StartBlockedReason() const { return m_state.m_strStartBlockedReason; }
    // The private folder that still holds the kept files of the last package.
    const std::string& KeptFolder() const { return m_state.m_strKeptFolder; }

private:
    const CUpgradeDlgState& m_state;
    const CBoardExchange& m_board;
};
