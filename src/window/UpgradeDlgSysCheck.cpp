// The system check: what the target is and what it carries. The record of
// the SYS Check acknowledgement marks parts present or absent, the serial
// number frame fills the serial field and the Target Ver column, and the
// package match check decides whether Upgrade Start becomes available.
#include "window/UpgradeDlg.h"

#include <algorithm>
#include <cstdio>
#include <vector>

namespace {

constexpr int kGroupSize = 3;
constexpr int kVersionLength = 6;

// The record groups a system check reads for a package model, in record
// order (IR, CF, CIS M, CIS S, MAIN, CDM; the board version follows): the
// model's items, and the MAIN group whatever the model.
std::vector<const CItemInfo*> RecordGroups(int model)
{
    std::vector<const CItemInfo*> groups;
    for (const CItemInfo& item : ITEMS)
        if (item.model == model && item.recordOffset >= 0)
            groups.push_back(&item);
    const CItemInfo* main = FindItem(ITEM_MAIN);
    if (std::none_of(groups.begin(), groups.end(),
                     [main](const CItemInfo* g) { return g->recordOffset == main->recordOffset; }))
        groups.push_back(main);
    std::sort(groups.begin(), groups.end(),
              [](const CItemInfo* a, const CItemInfo* b) { return a->recordOffset < b->recordOffset; });
    return groups;
}
constexpr int kCisMOffset = FindItem(ITEM_CIS_M)->recordOffset;
constexpr int kCisSOffset = FindItem(ITEM_CIS_S)->recordOffset;
constexpr int kBoardVersionOffset = 18;

// Why Upgrade Start stays disabled after a match check, in the user's words.
constexpr const char* kReasonCisMismatch = "this package's CIS parts do not suit this machine.";
constexpr const char* kReasonNoPartReported = "the machine reports none of the package's parts.";
constexpr const char* kReasonCisNotReported = "the machine does not say whether it has CIS M and CIS S.";
constexpr const char* kReasonCisSAlone = "a package with CIS S but without CIS M suits no machine.";

bool GroupHas(const std::uint8_t* group, char c)
{
    for (int i = 0; i < kGroupSize; ++i)
        if (group[i] == static_cast<std::uint8_t>(c))
            return true;
    return false;
}

// A group marks its part when it holds a 'Y' or an 'N'.
bool GroupMarks(const std::uint8_t* group)
{
    return GroupHas(group, 'Y') || GroupHas(group, 'N');
}

// The three characters of a group as the trace shows them, other bytes in hex.
std::string GroupText(const std::uint8_t* group)
{
    std::string text = "\"";
    for (int i = 0; i < kGroupSize; ++i) {
        char byte[8];
        if (group[i] >= 0x20 && group[i] < 0x7F && group[i] != '"' && group[i] != '\\')
            std::snprintf(byte, sizeof byte, "%c", static_cast<char>(group[i]));
        else
            std::snprintf(byte, sizeof byte, "\\x%02X", group[i]);
        text += byte;
    }
    return text + "\"";
}

// Target Ver text of a list row, from the five reported versions (MAIN,
// CIS M, CIS S, CF, IR); false for a row without one.
bool VersionOfRow(const std::string& row, const std::string (&versions)[PART_COUNT], std::string& text)
{
    for (int i = 0; i < PART_COUNT; ++i) {
        if (row == PartName(i)) {
            text = versions[i];
            return true;
        }
    }
    if (row == ItemRowName(ITEM_CDM)) {
        text = versions[1] + "-" + versions[3] + "-" + versions[4];
        return true;
    }
    return false;
}

} // namespace

void CUpgradeDlg::OnButtonSysCheck()
{
    m_bStartReasonShown = 0;
    ResetProgress();
    m_host.SetText(IDC_EDIT_SERIAL, "");
    // The reopen's result is not needed: a link that stays down shows as no answer.
    // Only a link that lost its device needs the reopen; on an open one it is
    // refused and would leave a misleading trace.
    if (m_nTransport == TRANSPORT_USB && !m_UsbLink.IsOpen())
        m_UsbLink.ReconnectUsb();
    DiscardInput();
    SendSysCheck();
}

void CUpgradeDlg::OnSysCheckAck(const std::uint8_t* record)
{
    ++m_nSysCheckAnswers;
    ShowSysCheckResult(record);
    CheckMachineType();
}

void CUpgradeDlg::ShowSysCheckResult(const std::uint8_t* record)
{
    if (record == nullptr)
        return;
    std::copy(record, record + SYS_RECORD_SIZE, m_SysRecord);
    for (const CItemInfo* g : RecordGroups(m_nResultType)) {
        const std::uint8_t* group = record + g->recordOffset;
        const int checkId = ITEM_CHECKS[g->part];
        // An absent mark wins over a present one in the same group.
        if (GroupHas(group, 'N')) {
            m_host.SetCheck(IDC_CHECK_ALL, false);
            m_host.EnableControl(IDC_CHECK_ALL, false);
            m_host.SetCheck(checkId, false);
            m_host.EnableControl(checkId, false);
            SetTargetStatus(g->rowName, "None");
        } else if (GroupHas(group, 'Y')) {
            if (!m_strPartFile[g->dataSlot].empty() && !m_host.IsControlEnabled(checkId)) {
                m_host.SetCheck(checkId, true);
                m_host.EnableControl(checkId, true);
            }
            SetTargetStatus(g->rowName, "Active");
        }
    }
    const std::uint8_t* version = record + kBoardVersionOffset;
    if (!(version[0] == 'N' && version[1] == 'N' && version[2] == 'N')) {
        char text[8];
        std::snprintf(text, sizeof text, "%c%c%c", static_cast<char>(version[0]),
                      static_cast<char>(version[1]), static_cast<char>(version[2]));
        m_host.SetText(IDC_STATIC_BOARD_VER, text);
    }
}

void CUpgradeDlg::SetTargetStatus(const std::string& partName, const std::string& status)
{
    m_Journal.TargetStatus(partName, status);
    const int rows = m_host.ListRowCount(IDC_LIST_PART);
    for (int row = 0; row < rows; ++row) {
        if (m_host.ListGetCell(IDC_LIST_PART, row, LIST_COL_PART) == partName) {
            m_host.ListSetCell(IDC_LIST_PART, row, LIST_COL_TARGET_STATUS, status);
            return;
        }
    }
}

void CUpgradeDlg::OnSerialVersionAck(const std::uint8_t* payload, int length)
{
    ++m_nSerialFrames;
    FillPartList();
    // The frame is read only as far as it reached; a short text leaves the
    // missing versions short or empty.
    if (payload == nullptr || length <= 0 || payload[0] == 0) {
        Trace("** Serial Number & Version Data None\r\n");
        return;
    }
    const int used = std::min(length, FRAME_MAX_PAYLOAD);
    std::string text(reinterpret_cast<const char*>(payload), static_cast<std::size_t>(used));

    const std::string separator = text.substr(0, 2);
    text.erase(0, separator.size());
    const auto end = separator.empty() ? std::string::npos : text.find(separator);
    if (end == std::string::npos) {
        // No closing separator: no serial number, and only one character goes.
        m_strTargetSerial.clear();
        text.erase(0, std::min<std::size_t>(1, text.size()));
    } else {
        m_strTargetSerial = text.substr(0, end);
        text.erase(0, end + separator.size());
    }
    for (auto& version : m_strTargetVersion) {
        version = text.substr(0, std::min<std::size_t>(kVersionLength, text.size()));
        text.erase(0, version.size());
    }
    ShowTargetVersions();
    RecordTarget();
}

void CUpgradeDlg::ShowTargetVersions()
{
    m_host.SetText(IDC_EDIT_SERIAL, m_strTargetSerial);
    const int rows = m_host.ListRowCount(IDC_LIST_PART);
    for (int row = 0; row < rows; ++row) {
        std::string version;
        if (VersionOfRow(m_host.ListGetCell(IDC_LIST_PART, row, LIST_COL_PART), m_strTargetVersion, version))
            m_host.ListSetCell(IDC_LIST_PART, row, LIST_COL_TARGET_VER, version);
    }
}

void CUpgradeDlg::CheckMachineType()
{
    m_strStartBlockedReason.clear();
    const int cisM = m_bHasPart[1];
    const int cisS = m_bHasPart[2];
    if (cisM == 0 && cisS == 0) {
        m_btnUpgradeStart.EnableWindow(true);
        return;
    }
    if (cisM == 0) {
        // CIS S alone: the button stays as it is, which after a connect is disabled.
        if (!m_host.IsControlEnabled(IDC_BUTTON_UPGRADE_START))
            ExplainStartBlocked(kReasonCisSAlone);
        return;
    }
    // A missing row reads as empty text, which is not "Active".
    const bool bothActive = m_host.ListGetCell(IDC_LIST_PART, 1, LIST_COL_TARGET_STATUS) == "Active" &&
                            m_host.ListGetCell(IDC_LIST_PART, 2, LIST_COL_TARGET_STATUS) == "Active";
    // Both CIS parts suit a machine with both; CIS M alone one without both.
    const bool suits = cisS == 1 ? bothActive : !bothActive;
    m_btnUpgradeStart.EnableWindow(suits);
    if (suits)
        return;
    MessageBox(EMsg::ModelMismatch);

    bool anyMarked = false;
    for (const CItemInfo* g : RecordGroups(m_nResultType))
        if (m_bHasPart[g->part] == 1)
            anyMarked = anyMarked || GroupMarks(m_SysRecord + g->recordOffset);
    const bool cisMarked = GroupMarks(m_SysRecord + kCisMOffset) || GroupMarks(m_SysRecord + kCisSOffset);
    if (!anyMarked)
        ExplainStartBlocked(kReasonNoPartReported);
    else if (cisS == 1 && !cisMarked)
        ExplainStartBlocked(kReasonCisNotReported);
    else
        ExplainStartBlocked(kReasonCisMismatch);
}

void CUpgradeDlg::ExplainStartBlocked(const char* why)
{
    const std::string reason = MessageText(EMsg::StartUnavailable, why);
    m_strStartBlockedReason = reason;
    // The record groups of the package's parts, and the two rows the match check read.
    std::string trace = "Upgrade Start stays disabled: package CIS M " + std::to_string(m_bHasPart[1]) +
                        ", CIS S " + std::to_string(m_bHasPart[2]) + "; record";
    for (const CItemInfo* g : RecordGroups(m_nResultType))
        if (m_bHasPart[g->part] == 1 || g->recordOffset == kCisMOffset || g->recordOffset == kCisSOffset)
            trace += std::string(" ") + g->rowName + " " + GroupText(m_SysRecord + g->recordOffset);
    trace += "; rows \"" + m_host.ListGetCell(IDC_LIST_PART, 1, LIST_COL_TARGET_STATUS) + "\", \"" +
             m_host.ListGetCell(IDC_LIST_PART, 2, LIST_COL_TARGET_STATUS) + "\" -> " + reason + "\r\n";
    Trace(trace);
    if (m_bStartReasonShown == 1)
        return;
    m_bStartReasonShown = 1;
    ShowMessage(EMsg::StartUnavailable, reason);
}
