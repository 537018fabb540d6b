#include "window/Messages.h"

#include "package/PartImage.h"

#include <algorithm>
#include <cassert>

namespace {

using F = CMessageEntry::EForm;
using K = EResultKind;

// Checker messages end the run because a refused acknowledgement is
// answered by no further request.
const std::vector<CMessageEntry> kTable = {
    {EMsg::UpgradeComplete, "Upgrade Complete.", F::Whole, K::Success, true},
    {EMsg::FinishedWithErrors, "Upgrade finished with errors.", F::Whole, K::Failed, true},
    {EMsg::MachineStopped, "The machine stopped responding during the upgrade.", F::Whole, K::Failed, true},
    {EMsg::BoardFailed, "Board upgrade failed.", F::Whole, K::Failed, true},
    {EMsg::BootDownloadError, "Download boot error occurred", F::Whole, K::Failed, true},
    {EMsg::BoardStopped, "The upgrade board stopped responding.", F::Whole, K::Failed, true},
    {EMsg::MachineLostInRun, "The connection to the machine was lost during the upgrade.", F::Whole,
     K::Failed, true},
    {EMsg::BoardLost, "The connection to the upgrade board was lost.", F::Whole, K::Failed, true, true},
    {EMsg::MachineLost, "The connection to the machine was lost.", F::Whole, K::ConnectFailed, true},
    {EMsg::EraseFailed, "Upgrade::Erase Fail!", F::Whole, K::Failed, false},
    {EMsg::CloseFailed, "Close failed", F::Whole, K::Failed, false},
    // Acknowledgement checkers.
    {EMsg::AckDataSize, " Protocol Data Size Err", F::Suffix, K::Rejected, true},
    {EMsg::AckResultFalse, " Result : FALSE!", F::Suffix, K::Rejected, true},
    {EMsg::EraseActive, "Upgrade Error::Erase Fail!", F::Whole, K::Rejected, true},
    {EMsg::ModelMismatch, "Machine type and the file type does not match!", F::Whole, K::Rejected, true},
    {EMsg::StartUnavailable, "Upgrade Start is not available: ", F::Prefix, K::Rejected, true},
    {EMsg::SelectItem, "Select upgrade item.", F::Whole, K::Rejected, true},
    // Connection.
    {EMsg::UsbConnectFailed, "USB connection failed!", F::Whole, K::ConnectFailed, true},
    {EMsg::NoProtocolAnswer, "The machine does not respond to the protocol.", F::Whole, K::ConnectFailed,
     true},
    {EMsg::BootModeFailed, "Check boot mode failed.", F::Whole, K::ConnectFailed, true},
    {EMsg::NotConnected, "Not Connect.", F::Whole, K::ConnectFailed, true},
    {EMsg::SerialThreadFailed, "Error while creating ThreadWatchComm,", F::Prefix, K::ConnectFailed, true},
    // Choices the user left open.
    {EMsg::ChoosePort, "Please choose com port!", F::Whole, K::BadUsage, true},
    {EMsg::ChooseBaud, "Please choose baud rate!", F::Whole, K::BadUsage, true},
    {EMsg::UnknownFileFormat, "Upgrade formats of file is not!", F::Whole, K::BadUsage, true},
    // The package and its files.
    {EMsg::FileOpenFailed, "Upgrade File Open Fail.", F::Whole, K::BadPackage, true},
    {EMsg::DataPathWrong, "Data file path is wrong.", F::Whole, K::BadPackage, true},
    {EMsg::BodyFileOpenFailed, "Upgrade Body File Open Fail!", F::Whole, K::BadPackage, true},
    {EMsg::NoBootFolder, "Can not find the boot folder", F::Prefix, K::BadPackage, true},
    {EMsg::PartImageOpenError, MSG_OPEN_ERROR, F::Whole, K::BadPackage, true},
    {EMsg::PartImageHeaderError, MSG_HEADER_ERROR, F::Whole, K::BadPackage, true},
    {EMsg::BadMaking, MSG_BAD_MAKING, F::Whole, K::BadPackage, true},
    {EMsg::PartImageDamaged, MSG_DAMAGED, F::Whole, K::BadPackage, true},
    {EMsg::PackageNotLoaded, "Cannot load the package ", F::Prefix, K::BadPackage, true},
    {EMsg::NoUpgradeFile, "No upgrade file.", F::Whole, K::BadPackage, true},
};

} // namespace

const std::vector<CMessageEntry>& MessageTable()
{
    return kTable;
}

const CMessageEntry& MessageEntry(EMsg id)
{
    const auto it =
        std::find_if(kTable.begin(), kTable.end(), [id](const CMessageEntry& e) { return e.id == id; });
    assert(it != kTable.end());
    return *it;
}

std::string MessageText(EMsg id, const std::string& detail)
{
    const CMessageEntry& entry = MessageEntry(id);
    switch (entry.form) {
    case F::Prefix:
        return entry.text + detail;
    case F::Suffix:
        return detail + entry.text;
    case F::Whole:
        break;
    }
    return entry.text;
}
