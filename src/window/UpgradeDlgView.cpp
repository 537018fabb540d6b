// What the user sees and touches: the part list, the progress rows, the item
// check boxes and File Load.
#include "package/UpgradeInfo.h"
#include "protocol/Items.h"
#include "signature/SignaturePolicy.h"
#include "window/UpgradeDlg.h"

#include <algorithm>
#include <cctype>
#include <exception>

namespace {

const ProgressRow* FindRow(int step)
{
    for (const auto& row : PROGRESS_ROWS)
        if (row.step == step)
            return &row;
    return nullptr;
}

struct ListColumnLayout {
    ListAlign align;
    int width;
};

// Per column of PartListColumn.
constexpr ListColumnLayout kListColumns[LIST_COL_COUNT] = {
    {ListAlign::Left, 70},   {ListAlign::Centre, 90}, {ListAlign::Centre, 90}, {ListAlign::Left, 170},
    {ListAlign::Centre, 90}, {ListAlign::Right, 100}, {ListAlign::Centre, 90},
};

void ShowPercent(CDialogHost& host, const ProgressRow& row, int percent)
{
    host.SetProgressPos(row.bar, percent);
    host.SetText(row.percent, std::to_string(percent) + " %");
}

} // namespace

void CUpgradeDlg::MessageBox(EMsg id, const std::string& detail)
{
    ShowMessage(id, MessageText(id, detail));
}

void CUpgradeDlg::ShowMessage(EMsg id, const std::string& text, bool connecting, std::string linkFailure)
{
    const CMessageEntry& entry = MessageEntry(id);
    const CShownMessage shown{
        id, connecting && entry.connectingIsConnectFailed ? EResultKind::ConnectFailed : entry.kind,
        entry.endsRun, text, std::move(linkFailure)};
    // The host learns what it means before the box waits for the user.
    m_host.ShowResult(shown);
    m_host.MessageBox(text, id == EMsg::CloseFailed ? MessageIcon::Stop : MessageIcon::None);
    // A board exchange is under way from the probe to its last step.
    const bool boardGoing = m_board.Step() != DEF_STEP_NONE && m_board.Step() != DEF_STEP_HALT;
    m_Journal.MessageShown(shown, m_bRunActive != 0 || boardGoing);
}

void CUpgradeDlg::RecordPackage()
{
    // What the package carries, not the list's words for what it lacks.
    std::vector<CHistoryItem> parts;
    for (const PartData& p : PartDataOf(m_PartList, m_nResultType == RESULT_TYPE_BOARD)) {
        CHistoryItem part;
        part.item = p.item;
        part.file = p.file;
        part.version = p.version;
        part.size = p.size;
        parts.push_back(part);
    }
    const CSignatureCheck& sig = m_Signature;
    const bool signer = sig.state != ESignatureState::Unsigned;
    m_Journal.PackageLoaded(m_strUpgradeFile, ModelName(m_nResultType), parts,
                            {SignatureStateName(sig.state), signer ? sig.strKeyId : "",
                             signer ? sig.strKeyName : "", sig.strSha256, sig.uSize});
}

void CUpgradeDlg::RecordTarget()
{
    std::vector<CJournalTargetPart> parts;
    for (int row = 0; row < m_host.ListRowCount(IDC_LIST_PART); ++row)
        parts.push_back({m_host.ListGetCell(IDC_LIST_PART, row, LIST_COL_PART),
                         m_host.ListGetCell(IDC_LIST_PART, row, LIST_COL_TARGET_VER),
                         m_host.ListGetCell(IDC_LIST_PART, row, LIST_COL_TARGET_STATUS)});
    m_Journal.TargetSeen(m_strTargetSerial, m_host.GetText(IDC_STATIC_BOARD_VER), parts);
}

void CUpgradeDlg::SetItemResult(int row, const std::string& result)
{
    m_host.ListSetCell(IDC_LIST_PART, row, LIST_COL_RESULT, result);
    m_Journal.ItemResult(m_nResultType == RESULT_TYPE_BOARD
                             ? BOARD_ITEM_NAME
                             : m_host.ListGetCell(IDC_LIST_PART, row, LIST_COL_PART),
                         result);
}

void CUpgradeDlg::Trace(const std::string& text)
{
    m_host.Trace(text);
}

void CUpgradeDlg::InitControls()
{
    for (const auto& row : PROGRESS_ROWS)
        m_host.SetProgressRange(row.bar, 0, 100);
    m_btnFileLoad.EnableWindow(true);
    m_btnConnect.EnableWindow(false);
    m_btnSysCheck.EnableWindow(false);
    m_btnUpgradeStart.EnableWindow(false);
    m_host.ComboAdd(IDC_COMBO_ALLOWED_SERIAL, "ALL");
    m_host.ComboSelect(IDC_COMBO_ALLOWED_SERIAL, 0);
    HidePartChecks();
}

void CUpgradeDlg::InitListColumns()
{
    for (int index = 0; index < LIST_COL_COUNT; ++index)
        m_host.ListInsertColumn(IDC_LIST_PART, index, LIST_COLUMN_TITLES[index], kListColumns[index].align,
                                kListColumns[index].width);
    m_host.ListSetRowHeight(IDC_LIST_PART, 19);
}

void CUpgradeDlg::FillPartList()
{
    m_host.ListDeleteAll(IDC_LIST_PART);
    int row = 0;
    for (const PartListRow& shown : PartListRows(m_PartList)) {
        m_host.ListInsertRow(IDC_LIST_PART, row, shown.strName);
        m_host.ListSetCell(IDC_LIST_PART, row, LIST_COL_FILE_NAME, shown.strFile);
        m_host.ListSetCell(IDC_LIST_PART, row, LIST_COL_FILE_VER, shown.strVersion);
        m_host.ListSetCell(IDC_LIST_PART, row, LIST_COL_FILE_SIZE, shown.strSize);
        ++row;
    }
}

void CUpgradeDlg::SetProgress(int step, int percent)
{
    const ProgressRow* row = FindRow(step);
    if (row == nullptr)
        return;
    // The Programming row has two writers, the animation and the target's
    // Program Step count; within an item it only moves forward.
    if (step == PROGRESS_PROGRAM && percent < m_host.GetProgressPos(row->bar))
        return;
    ShowPercent(m_host, *row, percent);
    m_Journal.StepProgress(m_host.GetText(row->label), percent);
}

void CUpgradeDlg::CompleteProgress(int step)
{
    SetProgress(step, 100);
}

void CUpgradeDlg::FailProgress(int step)
{
    const ProgressRow* row = FindRow(step);
    if (row == nullptr)
        return;
    Trace(row->failTrace);
    m_Journal.StepFailed(m_host.GetText(row->label));
    ShowPercent(m_host, *row, 0);
}

void CUpgradeDlg::ResetProgress()
{
    for (const auto& row : PROGRESS_ROWS) {
        ShowProgressRow(row.label, row.bar, row.percent, true);
        m_host.SetProgressPos(row.bar, 0);
        m_host.SetText(row.percent, "0 %");
    }
}

void CUpgradeDlg::ShowProgressRow(int labelId, int barId, int percentId, bool show)
{
    m_host.ShowControl(labelId, show);
    m_host.ShowControl(barId, show);
    m_host.ShowControl(percentId, show);
}

void CUpgradeDlg::HidePartChecks()
{
    for (int id = IDC_CHECK_ALL; id <= IDC_CHECK_IR; ++id) {
        m_host.ShowControl(id, false);
        m_host.SetCheck(id, false);
    }
}

void CUpgradeDlg::ShowPartChecks()
{
    auto showBox = [&](int id) {
        m_host.ShowControl(id, true);
        m_host.EnableControl(id, true);
    };
    // A part box is checked when the part is present, else unchecked and
    // disabled together with ALL.
    auto partBox = [&](int id, int present) {
        if (present) {
            m_host.SetCheck(id, true);
        } else {
            m_host.SetCheck(id, false);
            m_host.EnableControl(id, false);
            m_host.EnableControl(IDC_CHECK_ALL, false);
        }
    };
    auto allBox = [&](bool all) {
        m_host.SetCheck(IDC_CHECK_ALL, all);
        if (!all)
            m_host.EnableControl(IDC_CHECK_ALL, false);
    };

    if (m_nResultType == RESULT_TYPE_QUORIN_V1) {
        for (int id = IDC_CHECK_ALL; id <= IDC_CHECK_IR; ++id)
            showBox(id);
        allBox(std::all_of(std::begin(m_bHasPart), std::end(m_bHasPart), [](int f) { return f == 1; }));
        m_host.SetText(IDC_CHECK_CIS_M, ItemRowName(ITEM_CIS_M));
        for (int i = 0; i < PART_COUNT; ++i)
            partBox(ITEM_CHECKS[i], m_bHasPart[i]);
    } else if (m_nResultType == RESULT_TYPE_QUORIN_V2) {
        for (int id : {IDC_CHECK_ALL, IDC_CHECK_MAIN, IDC_CHECK_CIS_M})
            showBox(id);
        allBox(m_bHasPart[0] == 1 && m_bHasPart[1] == 1);
        partBox(IDC_CHECK_MAIN, m_bHasPart[0]);
        m_host.SetText(IDC_CHECK_CIS_M, ItemRowName(ITEM_CDM));
        partBox(IDC_CHECK_CIS_M, m_bHasPart[1]);
    }
}

void CUpgradeDlg::OnCheckAll()
{
    const bool all = m_host.GetCheck(IDC_CHECK_ALL);
    for (const CItemInfo& item : ITEMS)
        if (item.model == m_nResultType && ItemCheckOf(item) != 0)
            m_host.SetCheck(ItemCheckOf(item), all);
}

void CUpgradeDlg::OnButtonFileLoad()
{
    // The dialog comes first: Cancel keeps the loaded package and the connection.
    FileDialogOptions dialog;
    dialog.defaultExtension = "*.QVP";
    dialog.filter = "Upgrade packages (*.DAT *.QVP)|*.DAT;*.QVP|All files (*)|*|";
    dialog.hideReadOnly = true;
    dialog.initialDir = m_strLastPackageDir;
    const auto chosen = m_host.OpenFileDialog(dialog);
    if (!chosen)
        return;
    LoadPackage(*chosen);
}

void CUpgradeDlg::LoadPackage(const std::string& path)
{
    StopConnectionTimers();
    ResetUpgradeState();
    DisconnectLink();
    m_btnConnect.SetWindowText("Connect");
    m_btnConnect.EnableWindow(false);

    m_strUpgradeFile = path;
    if (const auto slash = path.find_last_of('/'); slash != std::string::npos)
        m_strLastPackageDir = path.substr(0, slash == 0 ? 1 : slash);
    HidePartChecks();

    std::string tail = m_strUpgradeFile.size() >= 3 ? m_strUpgradeFile.substr(m_strUpgradeFile.size() - 3)
                                                    : m_strUpgradeFile;
    std::transform(tail.begin(), tail.end(), tail.begin(), [](unsigned char c) { return std::toupper(c); });
    const bool partImage = tail.find("DAT") != std::string::npos;
    if (!partImage && tail.find("QVP") == std::string::npos) {
        MessageBox(EMsg::UnknownFileFormat);
        return;
    }
    m_bPartImage = partImage ? 1 : 0;
    // Checked before anything else is done with it; closed when the load is over.
    if (!OpenCheckedPackage())
        return;
    struct CCloseAtEnd {
        CBinaryFile& file;
        ~CCloseAtEnd() { file.Close(); }
    } closeAtEnd{m_PackageFile};
    if (partImage) {
        m_nResultType = RESULT_TYPE_QUORIN_V1;
        LoadPartImage();
        // A header the loader refused names no part; its message has been shown.
        const bool named = std::any_of(std::begin(m_PartList.slot) + 1, std::begin(m_PartList.slot) + 6,
                                       [](const PartListEntry& e) { return !FieldText(e.szName).empty(); });
        if (!named) {
            ResetUpgradeState();
            for (auto& part : m_pPartData)
                part.reset();
            return;
        }
    } else {
        try {
            UnpackArchive();
            ReadUpgradeInfo();
            FindPartFiles();
            CheckBoardBody();
        } catch (const std::exception& e) {
            // The load stops here; nothing of the package is offered, and
            // nothing it unpacked stays behind.
            const std::string file = m_strUpgradeFile;
            const std::string cause = DescribeLoadFailure(e, file);
            CloseArchive();
            ResetUpgradeState();
            MessageBox(EMsg::PackageNotLoaded, file + ": " + cause + ".");
            return;
        }
    }
    if (!PackageStillAsChecked()) {
        const std::string file = m_strUpgradeFile;
        ResetUpgradeState();
        MessageBox(EMsg::PackageNotLoaded, file + ": it changed while it was being loaded.");
        return;
    }

    ShowSignature();
    ShowPartChecks();
    FillPartList();
    m_btnConnect.EnableWindow(true);
    FillPortList();
    RecordPackage();
}
