// The request builders: each reads the window's state and sends one frame
// over the transport of the last connection.
#include "window/UpgradeDlg.h"

#include "protocol/Items.h"
#include "protocol/Pacing.h"
#include "window/SendToBD.h"

#include <algorithm>

namespace {

const std::uint8_t kOne = 0x01;

} // namespace

void CUpgradeDlg::MakePacketAndSend(std::uint8_t command, std::uint8_t subcommand,
                                    const std::uint8_t* payload, std::int32_t length)
{
    if (m_nTransport == TRANSPORT_USB) {
        const std::vector<std::uint8_t> frame = BuildFrame(command, subcommand, payload, length);
        WriteUsb(frame.data(), frame.size());
    } else if (m_pSendToBD) {
        m_pSendToBD->MakePacketAndSend(command, subcommand, payload, length);
    }
}

void CUpgradeDlg::SendFrame(const CFrameBuffer& frame)
{
    if (m_nTransport == TRANSPORT_USB)
        WriteUsb(frame.Data(), frame.Size());
    else if (m_pSendToBD)
        m_pSendToBD->MakePacketAndSend(frame.Command(), frame.Subcommand(), frame.Payload(),
                                       frame.PayloadLength());
}

void CUpgradeDlg::WriteUsb(const std::uint8_t* bytes, std::size_t count)
{
    if (m_UsbLink.write_usb(bytes, static_cast<std::uint32_t>(count)) == 0)
        Trace("Error : MakePacketAndSend() -> write_usb()");
}

void CUpgradeDlg::SendSysCheck()
{
    if (m_bConnected == 0) {
        MessageBox(EMsg::NotConnected);
        return;
    }
    const auto model = static_cast<std::uint8_t>(m_nResultType);
    MakePacketAndSend(CMD_SYS_CHECK, SUB_REQUEST, &model, 1);
}

void CUpgradeDlg::SendUpIndex()
{
    const auto item = static_cast<std::uint8_t>(m_nCurrentItem);
    m_nAwait = AWAIT_UP_INDEX;
    MakePacketAndSend(CMD_UPGRADE, SUB_REQUEST, &item, 1);
}

void CUpgradeDlg::StartBootDownload()
{
    std::string path;
    if (m_nCurrentItem == ITEM_CDM) {
        path = m_strPartFile[6];
    } else {
        if (m_bPartImage && !FindBootFile())
            m_strPartFile[0].clear();
        path = m_strPartFile[0];
    }
    if (path.empty() || !m_fileDownload.Open(path, CBinaryFile::Share::Shared)) {
        // Nothing will be sent, so nothing can answer: the run ends here.
        m_nAwait = AWAIT_NONE;
        AbortRun(EMsg::FileOpenFailed);
        return;
    }
    m_nDownloadTotal = m_fileDownload.Length();
    SendFileChunk(SUB_BOOT_DOWN);
}

void CUpgradeDlg::SendFileChunk(std::uint8_t subcommand)
{
    // Read straight into the frame that goes out: no zero fill, no copy.
    const auto n = static_cast<std::int32_t>(m_fileDownload.Read(m_chunkFrame.Payload(), FRAME_MAX_PAYLOAD));
    // A file that ends early (or fails) while bytes are owed: an empty chunk
    // would be acknowledged and asked again for ever. Send nothing; the run
    // stands still and the stall watch ends it.
    if (n == 0 && m_nDownloadSent < m_nDownloadTotal) {
        Trace("Error : SendFileChunk() -> read of " + m_fileDownload.Path() + " failed\r\n");
        m_nAwait = AWAIT_NONE;
        return;
    }
    m_nDownloadSent += n;
    m_nAwait = subcommand == SUB_BOOT_DOWN ? AWAIT_BOOT_DOWN : AWAIT_DATA_DOWN;
    m_chunkFrame.Seal(CMD_UPGRADE, subcommand, n);
    SendFrame(m_chunkFrame);
}

void CUpgradeDlg::SendBootEnd()
{
    m_nAwait = AWAIT_BOOT_END;
    MakePacketAndSend(CMD_UPGRADE, SUB_BOOT_END, &kOne, 1);
    if (m_bPartImage)
        WaitAtLeast(300);
}

void CUpgradeDlg::StartDataDownload()
{
    if (m_bPartImage) {
        const int part = PartIndexOfItem(m_nCurrentItem);
        // A part without a buffer has nothing to send, whatever its section says.
        m_nDownloadTotal = part >= 0 && m_pPartData[part] ? m_Section[part + 1].nSize : 0;
        SendMemoryChunk();
        return;
    }
    const int slot = DataSlotOfItem(m_nCurrentItem);
    const std::string path = slot >= 0 ? m_strPartFile[slot] : std::string();
    if (path.empty()) {
        AbortRun(EMsg::DataPathWrong);
        return;
    }
    if (!m_fileDownload.Open(path, CBinaryFile::Share::Shared)) {
        AbortRun(EMsg::BodyFileOpenFailed);
        return;
    }
    m_nDownloadTotal = m_fileDownload.Length();
    SendFileChunk(SUB_DATA_DOWN);
}

void CUpgradeDlg::SendMemoryChunk()
{
    const int part = PartIndexOfItem(m_nCurrentItem);
    const std::uint8_t* data = part >= 0 ? m_pPartData[part].get() : nullptr;
    // The buffer holds exactly the section's size; never read past it.
    const std::int64_t have = part >= 0 && data != nullptr ? m_Section[part + 1].nSize : 0;
    const std::int64_t left = std::max<std::int64_t>(0, std::min(m_nDownloadTotal, have) - m_nDownloadSent);
    const auto n = static_cast<std::int32_t>(std::min<std::int64_t>(left, FRAME_MAX_PAYLOAD));
    const std::uint8_t* chunk = n > 0 ? data + m_nDownloadSent : nullptr;
    m_nDownloadSent += n;
    m_nAwait = AWAIT_DATA_DOWN;
    WaitAtLeast(10);
    MakePacketAndSend(CMD_UPGRADE, SUB_DATA_DOWN, chunk, n);
}

void CUpgradeDlg::SendDataEnd()
{
    m_nAwait = AWAIT_DATA_END;
    MakePacketAndSend(CMD_UPGRADE, SUB_DATA_END, &kOne, 1);
}

void CUpgradeDlg::SendUpgradeFinish()
{
    m_nAwait = AWAIT_FINISH;
    MakePacketAndSend(CMD_FINISH, SUB_REQUEST, &kOne, 1);
}

void CUpgradeDlg::SendBoardCheck()
{
    MakePacketAndSend(CMD_BOARD_CHECK, SUB_REQUEST, &kOne, 1);
}
