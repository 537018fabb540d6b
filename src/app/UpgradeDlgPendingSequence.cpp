// PENDING: placeholders until the system check and the upgrade sequencing land; delete with them.
#include "app/UpgradeDlg.h"

#include "bootloader/SendToBD.h"

int CUpgradeDlg::OnAckEvent(int event)
{
    if (event == ACK_BOARD_CHECK)
        OnBoardCheckAck();
    return 1;
}
void CUpgradeDlg::OnButtonUpgradeStart()
{
}
int CUpgradeDlg::BuildItemQueue()
{
    return 0;
}
void CUpgradeDlg::StartNextItem()
{
}
void CUpgradeDlg::ShowItemResult()
{
}
void CUpgradeDlg::OnUpgradeFinished()
{
}
void CUpgradeDlg::OnBoardUpgradeDone()
{
}
void CUpgradeDlg::OnProgramAnimTimer()
{
}
void CUpgradeDlg::OnStallTimer()
{
}
void CUpgradeDlg::NoteTargetActivity()
{
}
CAckReceiver& CUpgradeDlg::ActiveReceiver()
{
    return m_nTransport == TRANSPORT_USB ? m_UsbLink.Receiver() : SerialReceiver();
}
CAckReceiver& CUpgradeDlg::SerialReceiver()
{
    return m_pSendToBD->Receiver();
}
void CUpgradeDlg::OnButtonSysCheck()
{
}
void CUpgradeDlg::ShowSysCheckResult(const std::uint8_t*)
{
}
void CUpgradeDlg::SetTargetStatus(const std::string&, const std::string&)
{
}
void CUpgradeDlg::OnSerialVersionAck(const std::uint8_t*, int)
{
}
void CUpgradeDlg::ShowTargetVersions()
{
}
void CUpgradeDlg::CheckMachineType()
{
}
