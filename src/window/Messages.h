#pragma once
// Every message a run can end with and every message box the window shows:
// one table of id, exact text and kind. Front ends decide on the kind and
// print the text; they never read meaning out of a text.
#include <string>
#include <vector>

enum class EResultKind {
    Success,       // the upgrade or the check went through
    Failed,        // the upgrade ran and failed (an item failed, the target stopped answering)
    Rejected,      // the target or the tool refused a step (a checker message, a mismatch)
    ConnectFailed, // no link to the target, or the target never answered
    BadPackage,    // the package cannot be loaded or lacks a file
    BadUsage,      // the user asked for something the window cannot do
};

enum class EMsg {
    UpgradeComplete,
    FinishedWithErrors,
    MachineStopped,
    BoardFailed,
    BootDownloadError,
    BoardStopped,
    MachineLostInRun,
    BoardLost,
    MachineLost,
    EraseFailed,
    CloseFailed,
    AckDataSize,
    AckResultFalse,
    EraseActive,
    ModelMismatch,
    StartUnavailable,
    SelectItem,
    UsbConnectFailed,
    NoProtocolAnswer,
    BootModeFailed,
    NotConnected,
    SerialThreadFailed,
    ChoosePort,
    ChooseBaud,
    UnknownFileFormat,
    FileOpenFailed,
    DataPathWrong,
    BodyFileOpenFailed,
    NoBootFolder,
    PartImageOpenError,
    PartImageHeaderError,
    BadMaking,
    PartImageDamaged,
    PackageNotLoaded,
    NoUpgradeFile,
};

struct CMessageEntry {
    // How the shown text is made of the entry's text and a detail.
    enum class EForm { Whole, Prefix, Suffix };
    EMsg id;
    const char* text;
    EForm form;
    EResultKind kind;
    bool endsRun; // nothing more happens in the run after it
    // A lost link before the first upgrade frame was sent is a failed
    // connection rather than a failed upgrade.
    bool connectingIsConnectFailed = false;
};

// The whole table, in the order --help lists it.
const std::vector<CMessageEntry>& MessageTable();
const CMessageEntry& MessageEntry(EMsg id);
// The shown text: the entry's text, with detail after a prefix or before a suffix.
std::string MessageText(EMsg id, const std::string& detail = {});

// What the window showed, as its host and the run journal learn it.
struct CShownMessage {
    EMsg id;
    EResultKind kind; // the entry's, or its connecting kind before the first upgrade frame
    bool endsRun;
    std::string text;        // exactly what the message box shows
    std::string linkFailure; // a failed open: the link's own explanation, when it gave one
};
