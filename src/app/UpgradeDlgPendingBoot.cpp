// PENDING: placeholders until the serial link's bootloader download lands; delete with it.
#include "app/UpgradeDlg.h"

#include "bootloader/SendToBD.h"

void CSerialAckSink::OnAckEvent(int event)
{
    m_dlg.OnSerialAck(event);
}
void CSerialAckSink::OnCheckerMessage(const std::string& text)
{
    m_dlg.MessageBox(text);
}
CSendToBD::CSendToBD(CUpgradeDlg& dlg) : m_dlg(dlg), m_Sink(dlg), m_Receiver(&m_Sink)
{
}
CSendToBD::~CSendToBD() = default;
long CSendToBD::OnRxNotify(unsigned long, long)
{
    return 1;
}
void CSendToBD::MakePacketAndSend(std::uint8_t, std::uint8_t, const std::uint8_t*, std::int32_t)
{
}
void CUpgradeDlg::OnSerialAck(int)
{
}
void CUpgradeDlg::MainCheck()
{
}
void CUpgradeDlg::OnBootByte(std::uint8_t)
{
}
void CUpgradeDlg::CheckBootFiles()
{
}
int CUpgradeDlg::BootFilesExist()
{
    return 0;
}
void CUpgradeDlg::StartBootFile()
{
}
void CUpgradeDlg::SendBootFile()
{
}
void CUpgradeDlg::SendMessage_Ready()
{
}
void CUpgradeDlg::SendMessage_Erase()
{
}
int CUpgradeDlg::IsBootAck()
{
    return 0;
}
void CUpgradeDlg::SendMessage_HexDataReady()
{
}
void CUpgradeDlg::OpenHexFile()
{
}
void CUpgradeDlg::SendHexFile()
{
}
void CUpgradeDlg::SendMessage_HexDataEnd()
{
}
void CUpgradeDlg::OnBootTimer(int)
{
}
