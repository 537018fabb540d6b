#pragma once
// Control ids of the main window (dialog resource 102).

enum : int {
    IDD_UPGRADE_DIALOG = 102,
    IDR_MAINFRAME = 128,

    IDC_GROUP_MENU = 1000,
    IDC_COMBO_PORT = 1001,
    IDC_STATIC_CONNECT = 1002,
    IDC_STATIC_BAUD = 1003,
    IDC_COMBO_BAUD = 1004,
    IDC_GROUP_ITEM = 1006,
    IDC_BUTTON_UPGRADE_START = 1008,
    IDC_BUTTON_SYS_CHECK = 1009,
    IDC_BUTTON_FILE_LOAD = 1010,
    IDC_BUTTON_CONNECT = 1011,
    IDC_GROUP_INFO = 1032,
    IDC_STATIC_BOARD_VER_CAPTION = 1033,
    IDC_STATIC_BOARD_VER = 1034,
    IDC_STATIC_SERIAL_CAPTION = 1035,
    IDC_EDIT_SERIAL = 1036,
    IDC_STATIC_ALLOWED_CAPTION = 1037,
    IDC_COMBO_ALLOWED_SERIAL = 1038,
    IDC_LIST_PART = 1039,
    IDC_STATIC_BOOT = 1040,
    IDC_GROUP_PROCESS = 1041,
    IDC_PROGRESS_BOOT = 1042,
    IDC_STATIC_BOOT_PERCENT = 1043,
    IDC_STATIC_ERASE = 1045,
    IDC_PROGRESS_ERASE = 1046,
    IDC_STATIC_ERASE_PERCENT = 1048,
    IDC_CHECK_ALL = 1049,
    IDC_CHECK_MAIN = 1050,
    IDC_CHECK_CIS_M = 1051,
    IDC_CHECK_CIS_S = 1052,
    IDC_CHECK_CF = 1053,
    IDC_CHECK_IR = 1054,
    IDC_STATIC_PROGRAM = 1055,
    IDC_PROGRESS_PROGRAM = 1056,
    IDC_STATIC_PROGRAM_PERCENT = 1057,
    IDC_STATIC_VERIFY = 1058,
    IDC_PROGRESS_VERIFY = 1059,
    IDC_STATIC_VERIFY_PERCENT = 1060,
    IDC_STATIC_DATA = 1061,
    IDC_PROGRESS_DATA = 1062,
    IDC_STATIC_DATA_PERCENT = 1063,
    IDC_STATIC_UNUSED = 1064,
    IDC_STATIC_SIGNATURE = 1065, // the package line: who signed the loaded package

    IDC_SEND_TO_BD = 20000,
};

// Kinds of control, for the hosts that build the window.
enum class ControlKind { GroupBox, Label, ComboBox, PushButton, CheckBox, Edit, ListView, ProgressBar };

struct ControlDef {
    int id;
    ControlKind kind;
    const char* text;
    int x, y, cx, cy; // dialog units
    bool sorted;      // drop-down lists only
    bool hidden;
};

// The window's controls in creation order.
extern const ControlDef kMainWindowControls[];
extern const int kMainWindowControlCount;
inline constexpr int kDialogWidthDlu = 427;
inline constexpr int kDialogHeightDlu = 349;
