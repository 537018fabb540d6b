#include "cli/CliSession.h"

#include "cli/CliDevices.h"
#include "cli/CliRecords.h"
#include "cli/Console.h"
#include "cli/Json.h"
#include "files/FileSystem.h"
#include "history/StateDir.h"

#include "link/CommPort.h"
#include "protocol/Items.h"
#include "signature/SignaturePolicy.h"
#include "window/UpgradeDlg.h"

#include <algorithm>
#include <filesystem>
#include <thread>

namespace {

using namespace std::chrono_literals;

// How long the serial number and versions are awaited after the system-check answer.
constexpr auto kSerialWait = 1s;

// The item of the package's model the command line names, or null; the
// board's body is not chosen by name.
const CItemInfo* FindItemBox(const std::string& name, int model)
{
    for (const CItemInfo& b : ITEMS)
        if (name == b.cliName && model == b.model && ItemCheckOf(b) != 0)
            return &b;
    return nullptr;
}

const std::vector<std::string> kListColumns(std::begin(LIST_COLUMN_TITLES), std::end(LIST_COLUMN_TITLES));

} // namespace

CCliSession::CCliSession(const CCliOptions& options, CCliReport& report) : m_opt(options), m_report(report)
{
    m_host.onResult = [this](const CShownMessage& message) { OnResult(message); };
    m_host.onMessage = [this](const std::string& text, MessageIcon icon) {
        m_lastActivity = Clock::now();
        m_report.Message(text, icon == MessageIcon::Stop);
    };
    m_host.onTrace = [this](const std::string& text) {
        if (m_opt.verbose)
            m_report.Trace(text);
        if (const std::string warning = SignatureWarningOf(text); !warning.empty())
            m_report.Warning(warning);
    };
    m_host.onWarning = [this](const std::string& text) { m_report.Warning(text); };
    m_host.onProgress = [this](int barId, int) { OnProgress(barId); };
    m_host.onCell = [this](int row, int column, const std::string& text) { OnCell(row, column, text); };
    // Archives are unpacked as in the window: beside the package, or into a
    // private folder when that cannot be written or another run holds it.
    m_dlg = std::make_unique<CUpgradeDlg>(m_host, m_opt.app);
    CRunJournal& journal = m_dlg->Journal();
    journal.SetProgram("velunda-cli");
    journal.SetEndsWithMessages(false); // Finish says how the run ended
    journal.OnHistoryProblem([this](const std::string& text) { m_report.Warning(text); });
}

CCliSession::~CCliSession() = default;

bool CCliSession::Interrupted() const
{
    return InterruptPending();
}

void CCliSession::OnResult(const CShownMessage& message)
{
    // Loading shows nothing when it succeeds: any message is about the package.
    const ECliOutcome outcome = m_phase != EPhase::Load                 ? OutcomeOf(message.kind)
                                : message.kind == EResultKind::BadUsage ? ECliOutcome::BadUsage
                                                                        : ECliOutcome::BadPackage;
    m_outcome = WorseOf(m_outcome, outcome);
    if (outcome != ECliOutcome::Success && m_strReason.empty())
        m_strReason =
            message.linkFailure.empty() ? message.text : message.text + " (" + message.linkFailure + ")";
    if (message.endsRun || m_phase == EPhase::Load)
        m_bEnded = true;
}

std::string SignatureWarningOf(const std::string& traceLine)
{
    // Trusted keys skipped and policy lines not understood concern the user.
    const std::string prefix = "Signature: ";
    const std::string text = traceLine.rfind(prefix, 0) == 0 ? traceLine.substr(prefix.size()) : "";
    if (text.rfind("Trusted key ", 0) == 0 || text.rfind(VelundaConfigDir() + "/", 0) == 0)
        return TrimText(text);
    return {};
}

std::string CCliSession::CurrentItemName() const
{
    if (m_phase != EPhase::Run)
        return {};
    if (m_nRunModel == RESULT_TYPE_BOARD)
        return BOARD_ITEM_NAME;
    return ItemRowName(m_dlg->Status().CurrentItem());
}

void CCliSession::OnProgress(int barId)
{
    m_lastActivity = Clock::now();
    if (m_phase != EPhase::Run)
        return; // the resets before a run say nothing
    std::vector<CProgressRowView> rows;
    int changed = -1;
    for (std::size_t i = 0; i < std::size(PROGRESS_ROWS); ++i) {
        const ProgressRow& ids = PROGRESS_ROWS[i];
        rows.push_back(
            {m_host.GetText(ids.label), m_host.GetProgressPos(ids.bar), m_host.IsControlVisible(ids.bar)});
        if (ids.bar == barId)
            changed = static_cast<int>(i);
    }
    // The end of a board upgrade resets the window, so the run's model is kept here.
    const int item = m_nRunModel == RESULT_TYPE_BOARD ? ITEM_BOARD : m_dlg->Status().CurrentItem();
    if (item != m_nShownItem) {
        m_nShownItem = item;
        m_report.ItemStart(CurrentItemName());
    }
    m_report.Progress(changed, rows, CurrentItemName());
}

void CCliSession::OnCell(int row, int column, const std::string& text)
{
    m_lastActivity = Clock::now();
    const std::string part = m_host.ListGetCell(IDC_LIST_PART, row, LIST_COL_PART);
    if (column == LIST_COL_TARGET_STATUS && !text.empty())
        m_statusOfPart[part] = text;
    if (column == LIST_COL_RESULT && !text.empty())
        m_report.ItemResult(part, text);
}

bool CCliSession::Wait(const std::function<bool()>& pred, std::chrono::milliseconds timeout)
{
    bool held = false;
    m_host.RunUntil(
        [&] {
            if (pred && pred())
                held = true;
            if (!held && Interrupted())
                m_bInterrupted = true;
            return held || m_bEnded || m_bInterrupted;
        },
        timeout);
    return held;
}

void CCliSession::WaitForEnd(const std::function<bool()>& ended, std::chrono::milliseconds idle,
                             const std::string& stallText)
{
    m_lastActivity = Clock::now();
    bool stalled = false;
    m_host.RunUntil(
        [&] {
            if (ended())
                return true;
            if (Interrupted()) {
                m_bInterrupted = true;
                return true;
            }
            if (Clock::now() - m_lastActivity > idle) {
                stalled = true;
                return true;
            }
            return m_bEnded;
        },
        std::chrono::hours(24 * 365));
    if (stalled && !m_bEnded) {
        m_outcome = WorseOf(m_outcome, ECliOutcome::Failed);
        if (m_strReason.empty())
            m_strReason = stallText;
        m_bEnded = true;
    }
}

std::vector<std::vector<std::string>> CCliSession::ListRows() const
{
    std::vector<std::vector<std::string>> rows;
    const int count = m_host.ListRowCount(IDC_LIST_PART);
    for (int r = 0; r < count; ++r) {
        std::vector<std::string> cells;
        for (std::size_t c = 0; c < kListColumns.size(); ++c)
            cells.push_back(m_host.ListGetCell(IDC_LIST_PART, r, static_cast<int>(c)));
        rows.push_back(std::move(cells));
    }
    return rows;
}

void CCliSession::PrintList(const std::string& when)
{
    // A board upgrade ends with the window reset and its list empty.
    const auto rows = ListRows();
    if (rows.empty())
        return;
    m_report.Table(when, kListColumns, rows);
}

void CCliSession::ReportPackage()
{
    if (!m_report.IsJson())
        return;
    const CHistoryRun& record = m_dlg->Journal().Record();
    CJson parts = CJson::array();
    for (const CHistoryItem& part : m_dlg->Journal().PackageParts())
        parts.push_back(CJson{{"item", part.item},
                              {"file", JsonText(part.file)},
                              {"file_version", JsonTextOrNull(part.version)},
                              {"file_size", part.size}});
    std::uint64_t size = 0;
    std::error_code ec;
    size = std::filesystem::file_size(FsPath(record.package), ec);
    m_report.Event("package", CJson{{"package", JsonText(record.package)},
                                    {"package_size", ec ? 0 : size},
                                    {"sha256", record.sha256},
                                    {"model", record.model},
                                    {"signature", SignatureJson(record.signatureState, record.signerKeyId,
                                                                record.signerName)},
                                    {"parts", std::move(parts)}});
}

int CCliSession::Finish(ECliOutcome outcome, const std::string& reason, int exitCode)
{
    const int code = exitCode >= 0 ? exitCode : ExitCodeOf(outcome);
    // Closing the window closes the link and removes what the package load
    // unpacked, but for the kept files; the record says where those are.
    m_host.CloseWindow();
    m_strKeptFolder = m_dlg->Status().KeptFolder();
    m_dlg->Journal().KeptFolder(m_strKeptFolder);
    m_dlg->Journal().Finish(OutcomeName(outcome), code, reason);
    // A recorded run goes out at its end; the push is bounded and cannot
    // change how the run ended.
    CRunEndPush push;
    if (!m_opt.app.noHistory && m_dlg->Journal().Record().id > 0)
        push.Start(CliHistoryPath(m_opt));
    push.Finish(m_report);
    m_report.Outcome(outcome, reason, m_strKeptFolder, code);
    return code;
}

int CCliSession::Stop(ECliOutcome outcome, const std::string& reason)
{
    if (m_bInterrupted)
        return Finish(WorseOf(m_outcome, ECliOutcome::Failed), "interrupted", EXIT_INTERRUPTED);
    // What the messages decided stands; the fallback covers a run that ended silently.
    const ECliOutcome decided = m_outcome == ECliOutcome::None ? outcome : m_outcome;
    if (decided == ECliOutcome::Success)
        return Finish(decided, "Upgrade Complete.");
    return Finish(decided, m_strReason.empty() ? reason : m_strReason);
}

bool CCliSession::SelectPortAndBaud(const std::string& port, std::string& error)
{
    // The list is filled again each time it drops down, as in the window.
    m_host.DropDown(IDC_COMBO_PORT);
    int portIndex = -1;
    std::string offered;
    for (int i = 0; i < m_host.ComboCount(IDC_COMBO_PORT); ++i) {
        const std::string entry = m_host.ComboItemText(IDC_COMBO_PORT, i);
        offered += (offered.empty() ? "" : ", ") + entry;
        if (entry == port)
            portIndex = i;
    }
    if (portIndex < 0) {
        error =
            "the port " + port + " is not offered (offered: " + (offered.empty() ? "none" : offered) + ")";
        return false;
    }
    m_host.Choose(IDC_COMBO_PORT, portIndex);
    if (!m_opt.baud.empty()) {
        int baudIndex = -1;
        std::string rates;
        for (int i = 0; i < m_host.ComboCount(IDC_COMBO_BAUD); ++i) {
            const std::string entry = m_host.ComboItemText(IDC_COMBO_BAUD, i);
            rates += (rates.empty() ? "" : ", ") + entry;
            if (entry == m_opt.baud)
                baudIndex = i;
        }
        if (baudIndex < 0) {
            error = "the baud rate " + m_opt.baud + " is not in the list (" + rates + ")";
            return false;
        }
        m_host.Choose(IDC_COMBO_BAUD, baudIndex);
    }
    return true;
}

int CCliSession::Load()
{
    namespace fs = std::filesystem;
    if (!m_opt.app.logFile.empty() && !m_host.Log().OpenFile(m_opt.app.logFile))
        return Finish(ECliOutcome::BadUsage, "cannot write the log file " + m_opt.app.logFile);
    m_dlg->OnInitDialog();

    std::error_code ec;
    if (!fs::is_regular_file(FsPath(m_opt.package), ec))
        return Finish(ECliOutcome::BadPackage, "cannot read the package " + m_opt.package);
    const std::string path = FsUtf8(fs::absolute(FsPath(m_opt.package), ec));

    m_phase = EPhase::Load;
    m_dlg->Load(path);
    m_host.ProcessEvents();
    if (m_bEnded)
        return Stop(ECliOutcome::BadPackage, "");
    const int model = m_dlg->Status().ResultType();
    if (model < RESULT_TYPE_QUORIN_V1 || model > RESULT_TYPE_BOARD)
        return Finish(ECliOutcome::BadPackage, "the package names no machine the tool knows");
    if (m_host.ListRowCount(IDC_LIST_PART) == 0)
        return Finish(ECliOutcome::BadPackage, "the package holds no part");
    m_nRunModel = model;
    m_report.Note(std::string("loaded ") + ModelName(model) + " package " + FsUtf8(FsPath(path).filename()) +
                  ", " + SignerText(m_dlg->Status().Signature()));
    ReportPackage();
    PrintList("package");
    return -1;
}

int CCliSession::Run()
{
    const int failed = Load();
    if (failed >= 0)
        return failed;
    return m_nRunModel == RESULT_TYPE_BOARD ? RunBoard() : RunMachine(m_nRunModel);
}

int CCliSession::CheckPackage()
{
    const int failed = Load();
    return failed >= 0 ? failed : Finish(ECliOutcome::Success, "the package loads");
}

int CCliSession::RunBoard()
{
    if (m_opt.checkOnly)
        return Finish(ECliOutcome::BadUsage, "an upgrade-board package has no system check (--check-only)");
    if (m_opt.allItems || !m_opt.items.empty())
        return Finish(ECliOutcome::BadUsage, "an upgrade-board package has no items to choose (--items)");
    if (m_opt.port.empty() || m_opt.port == "USB")
        return Finish(ECliOutcome::BadUsage,
                      "an upgrade-board package goes over a serial port: give --port PATH");
    std::string error;
    if (!SelectPortAndBaud(m_opt.port, error))
        return Finish(ECliOutcome::BadUsage, error);

    m_phase = EPhase::Connect;
    m_report.Note("connecting to " + m_opt.port);
    m_dlg->Connect();
    m_host.ProcessEvents();
    if (m_bEnded)
        return Stop(ECliOutcome::ConnectFailed, "");
    if (!m_dlg->Status().Connected())
        return Finish(ECliOutcome::ConnectFailed,
                      "cannot open " + m_opt.port + ": " + g_ComPort.LastErrorText());
    // The bootloader exchange starts by itself once the board answers the probe.
    const bool answered = Wait([this] { return m_dlg->Status().BootStep() != DEF_STEP_MAINCHECK; }, 10s);
    // A board gone before its answer leaves the step too: the message decides.
    if (m_bEnded)
        return Stop(ECliOutcome::ConnectFailed, "");
    if (!answered)
        return Stop(ECliOutcome::ConnectFailed, "the board did not answer the boot-mode probe");
    m_report.Note("the board is in boot mode; upgrading");
    m_phase = EPhase::Run;
    // The window's own watch ends a silent board first (its pauses and the
    // 2.1 s port cycle do not count as silence); this is the backstop.
    WaitForEnd([] { return false; }, std::chrono::milliseconds(m_opt.app.stallTimeoutMs) + 5s,
               "the upgrade board stopped answering");
    PrintList("end");
    return Stop(ECliOutcome::Failed, "the board upgrade did not end");
}

int CCliSession::RunMachine(int model)
{
    int status = CheckMachineRequest(model);
    int serialFramesBefore = 0;
    if (status < 0)
        status = ConnectMachine(serialFramesBefore);
    if (status < 0)
        status = SystemCheck(serialFramesBefore);
    if (status < 0)
        status = AcceptMachine();
    if (status < 0 && m_opt.checkOnly)
        status = Finish(ECliOutcome::Success, "system check done");
    std::vector<int> wanted;
    if (status < 0)
        status = ChooseItems(model, wanted);
    return status >= 0 ? status : UpgradeItems(model, wanted);
}

int CCliSession::CheckMachineRequest(int model)
{
    const std::string port = m_opt.port.empty() ? "USB" : m_opt.port;
    if (port != "USB")
        return Finish(ECliOutcome::BadUsage, "machine packages go over USB (--port USB), not " + port);
    // Items the package does not carry cannot be asked for.
    for (const auto& name : m_opt.items) {
        const CItemInfo* box = FindItemBox(name, model);
        if (box == nullptr)
            return Finish(ECliOutcome::BadUsage,
                          std::string("a ") + ModelName(model) + " package has no item " + name);
        if (!m_dlg->OffersItem(ItemCheckOf(*box)))
            return Finish(ECliOutcome::BadPackage, "the package does not carry " + name);
    }
    std::string error;
    if (!SelectPortAndBaud(port, error))
        return Finish(ECliOutcome::BadUsage, error);
    if (!CheckUsbBridge(m_opt, m_report, m_strUsbPort, error))
        return Finish(ECliOutcome::BadUsage, error);
    return -1;
}

int CCliSession::ConnectMachine(int& serialFramesBefore)
{
    m_phase = EPhase::Connect;
    m_report.Note(m_strUsbPort.empty() ? "connecting over USB"
                                       : "connecting over USB through " + m_strUsbPort);
    // A target may send its serial number and versions before the check is asked for.
    serialFramesBefore = m_dlg->Status().SerialFrames();
    m_dlg->Connect();
    m_host.ProcessEvents();
    using EOp = CUpgradeDlg::EOperation;
    if (!Wait([this] { return m_dlg->Offers(EOp::SystemCheck); }, 15s))
        return Stop(ECliOutcome::ConnectFailed, "the machine did not answer the board check");
    // Sys Check drops whatever arrived before it: a serial frame the machine sends
    // right after the board check is taken in first (a user never clicks this fast).
    Wait([&] { return m_dlg->Status().SerialFrames() > serialFramesBefore; }, 500ms);
    return -1;
}

int CCliSession::SystemCheck(int serialFramesBefore)
{
    m_phase = EPhase::SysCheck;
    m_report.Note("running the system check");
    const int answersBefore = m_dlg->Status().SysCheckAnswers();
    m_dlg->SystemCheck();
    m_host.ProcessEvents();
    // The window's own count of answers, whatever the record holds; a lost
    // answer ends the check within the stall time, as it would a run.
    const auto checkWait =
        std::min<std::chrono::milliseconds>(10s, std::chrono::milliseconds(m_opt.app.stallTimeoutMs));
    if (!Wait([&] { return m_dlg->Status().SysCheckAnswers() > answersBefore; }, checkWait))
        return Stop(ECliOutcome::ConnectFailed, "the machine did not answer the system check");
    // The serial number and versions come in a frame of their own, usually right
    // after; a message the check raised must not cut this wait short.
    const auto serialSeen = [&] { return m_dlg->Status().SerialFrames() > serialFramesBefore; };
    m_host.RunUntil(
        [&] {
            m_bInterrupted = m_bInterrupted || Interrupted();
            return serialSeen() || m_bInterrupted;
        },
        kSerialWait);
    if (m_bInterrupted)
        return Stop(ECliOutcome::Failed, "");
    // A frame that carried nothing ("None", or text without a serial number or versions) counts as none.
    bool versionsReceived = !m_dlg->Status().TargetSerial().empty();
    for (const auto& version : m_dlg->Status().TargetVersions())
        versionsReceived = versionsReceived || !version.empty();
    versionsReceived = versionsReceived && serialSeen();

    std::vector<CTargetPart> parts;
    for (const auto& row : ListRows()) {
        const auto it = m_statusOfPart.find(row[LIST_COL_PART]);
        parts.push_back(
            {row[LIST_COL_PART], row[LIST_COL_TARGET_VER], it == m_statusOfPart.end() ? "" : it->second});
    }
    // The serial field is cleared by Sys Check, so a frame sent before it is read from the window's record.
    m_report.Target(versionsReceived ? m_dlg->Status().TargetSerial() : "",
                    m_host.GetText(IDC_STATIC_BOARD_VER), parts, versionsReceived);
    PrintList("system check");
    return -1;
}

int CCliSession::AcceptMachine()
{
    // The machine answered: what the window decided about Upgrade Start is the
    // verdict, with the reason the window gave.
    if (!m_dlg->Offers(CUpgradeDlg::EOperation::Start)) {
        const std::string& why = m_dlg->Status().StartBlockedReason();
        return Finish(ECliOutcome::Rejected,
                      why.empty() ? "Upgrade Start is not available for this package and machine" : why);
    }
    // Upgrade Start is available, so a message shown during the check did not end anything.
    m_outcome = ECliOutcome::None;
    m_strReason.clear();
    m_bEnded = false;
    // The wrong machine is refused before anything is sent to it.
    if (m_opt.allowSerialGiven) {
        const std::string serial = TrimText(m_dlg->Status().TargetSerial());
        if (serial.empty())
            return Finish(
                ECliOutcome::Rejected,
                "the machine reported no serial number, and --allow-serial admits only listed ones");
        if (std::find(m_opt.allowedSerials.begin(), m_opt.allowedSerials.end(), serial) ==
            m_opt.allowedSerials.end())
            return Finish(ECliOutcome::Rejected,
                          "the machine's serial number " + serial + " is not in the --allow-serial list");
    }
    return -1;
}

int CCliSession::ChooseItems(int model, std::vector<int>& wanted)
{
    // Tick what was asked for, or everything both sides have.
    for (const CItemInfo& b : ITEMS) {
        if (b.model != model || !m_host.IsControlVisible(ItemCheckOf(b)))
            continue;
        const bool usable = m_dlg->OffersItem(ItemCheckOf(b));
        bool asked = m_opt.items.empty();
        for (const auto& name : m_opt.items)
            asked = asked || name == b.cliName;
        if (asked && !m_opt.items.empty() && !usable)
            return Finish(ECliOutcome::Rejected, std::string("the machine does not have ") + b.cliName);
        if (asked && usable)
            wanted.push_back(ItemCheckOf(b));
    }
    if (m_opt.skipCurrent && !wanted.empty() && (SkipCurrentItems(model, wanted), wanted.empty()))
        return Finish(ECliOutcome::Success, "every item is already at the package's version");
    for (const CItemInfo& b : ITEMS) {
        if (b.model != model || !m_dlg->OffersItem(ItemCheckOf(b)))
            continue;
        m_dlg->ChooseItem(ItemCheckOf(b),
                          std::find(wanted.begin(), wanted.end(), ItemCheckOf(b)) != wanted.end());
    }
    return -1;
}

int CCliSession::UpgradeItems(int model, const std::vector<int>& wanted)
{
    std::vector<std::string> plan;
    for (const CItemInfo& b : ITEMS)
        if (b.model == model && std::find(wanted.begin(), wanted.end(), ItemCheckOf(b)) != wanted.end())
            plan.push_back(b.cliName);
    m_report.Plan(plan);
    m_phase = EPhase::Run;
    m_dlg->Start();
    m_host.ProcessEvents();
    // The window's own stall watch ends a silent run first; this is the backstop.
    WaitForEnd([this] { return m_dlg->Offers(CUpgradeDlg::EOperation::Load); },
               std::chrono::milliseconds(m_opt.app.stallTimeoutMs) + 5s,
               "the machine stopped answering and the run did not end");
    m_report.EndProgress();
    PrintList("end");

    // Every ticked item must say Complete, whatever the last message was.
    ECliOutcome outcome = m_outcome == ECliOutcome::None ? ECliOutcome::Failed : m_outcome;
    for (const CItemInfo& b : ITEMS) {
        if (b.model != model || std::find(wanted.begin(), wanted.end(), ItemCheckOf(b)) == wanted.end())
            continue;
        for (const auto& row : ListRows())
            if (row[LIST_COL_PART] == b.rowName && row[LIST_COL_RESULT] != "Complete") {
                outcome = WorseOf(outcome, ECliOutcome::Failed);
                if (m_strReason.empty())
                    m_strReason = std::string(b.rowName) + " did not complete";
            }
    }
    if (m_bInterrupted)
        return Stop(ECliOutcome::Failed, "");
    return Finish(outcome, outcome == ECliOutcome::Success ? "Upgrade Complete." : m_strReason);
}

void CCliSession::SkipCurrentItems(int model, std::vector<int>& wanted)
{
    constexpr int LIST_COL_FILE_VER = 4;
    const auto rows = ListRows();
    for (const CItemInfo& b : ITEMS) {
        if (b.model != model || std::find(wanted.begin(), wanted.end(), ItemCheckOf(b)) == wanted.end())
            continue;
        for (const auto& row : rows) {
            if (row[LIST_COL_PART] != b.rowName)
                continue;
            const std::string have = TrimText(row[LIST_COL_TARGET_VER]);
            const std::string bring = TrimText(row[LIST_COL_FILE_VER]);
            // "None" is the list's word for a version the file name does not carry.
            if (have.empty() || bring.empty() || bring == "None" || have != bring)
                continue;
            m_report.Note(std::string(b.cliName) + " left out: the machine already has version " + have +
                          " (--skip-current)");
            m_report.ItemResult(b.rowName, "Skipped");
            std::erase(wanted, ItemCheckOf(b));
        }
    }
}
