#pragma once
// The window's numbers that are not controls: window messages, transports,
// progress rows, part-list columns, timers and package models.
#include "board/BoardIds.h"
#include "protocol/Items.h"
#include "window/ControlIds.h"

// Window messages of the original design, kept for the traces and the notes.
inline constexpr int WM_USER = 0x0400;
inline constexpr int WM_ACK_EVENT = WM_USER + 2;

inline constexpr int TRANSPORT_USB = 100;
inline constexpr int TRANSPORT_SERIAL = 101;

// Progress rows.
enum ProgressStep : int {
    PROGRESS_BOOT = 40,
    PROGRESS_DATA = 41,
    PROGRESS_ERASE = 42,
    PROGRESS_PROGRAM = 43,
    PROGRESS_VERIFY = 44,
};

// One progress row: its step, its label, bar and percent controls, and the
// trace of a failed step.
struct ProgressRow {
    int step;
    int label;
    int bar;
    int percent;
    const char* failTrace;
};

inline constexpr ProgressRow PROGRESS_ROWS[] = {
    {PROGRESS_BOOT, IDC_STATIC_BOOT, IDC_PROGRESS_BOOT, IDC_STATIC_BOOT_PERCENT,
     "Boot Download Progress Step Fail\r\n"},
    {PROGRESS_DATA, IDC_STATIC_DATA, IDC_PROGRESS_DATA, IDC_STATIC_DATA_PERCENT,
     "Data Download Progress Step Fail\r\n"},
    {PROGRESS_ERASE, IDC_STATIC_ERASE, IDC_PROGRESS_ERASE, IDC_STATIC_ERASE_PERCENT,
     "Erase Progress Step Fail\r\n"},
    {PROGRESS_PROGRAM, IDC_STATIC_PROGRAM, IDC_PROGRESS_PROGRAM, IDC_STATIC_PROGRAM_PERCENT,
     "Program Progress Step Fail\r\n"},
    {PROGRESS_VERIFY, IDC_STATIC_VERIFY, IDC_PROGRESS_VERIFY, IDC_STATIC_VERIFY_PERCENT,
     "Verify Progress Step Fail\r\n"},
};

// Columns of the part list, in order.
enum PartListColumn : int {
    LIST_COL_PART,
    LIST_COL_TARGET_VER,
    LIST_COL_TARGET_STATUS,
    LIST_COL_FILE_NAME,
    LIST_COL_FILE_VER,
    LIST_COL_FILE_SIZE,
    LIST_COL_RESULT,
    LIST_COL_COUNT,
};

inline constexpr const char* LIST_COLUMN_TITLES[LIST_COL_COUNT] = {
    "Part", "Target Ver", "Target Status", "File Name", "File Ver", "File Size", "Result",
};

// Timer ids (all one-shot); the board exchange's own are in board/BoardIds.h.
enum : int {
    IDT_NO_RESPONSE = 1034,
    IDT_BOARD_CHECK = 1035,
    IDT_PROGRAM_ANIM = 1037,
    IDT_BOOT_MODE = 1038,
    // Watches a run for a target that stopped answering.
    IDT_STALL = 1040,
};

// Model types of a package: the models of protocol/Items.h, 0 for none.
enum : int {
    RESULT_TYPE_NONE = 0,
    RESULT_TYPE_QUORIN_V1 = MODEL_QUORIN_V1,
    RESULT_TYPE_QUORIN_V2 = MODEL_QUORIN_V2,
    RESULT_TYPE_BOARD = MODEL_BOARD,
};

// The item box of each package part (CItemInfo::part): a Quorin V2's CDM
// shares the CIS M box.
inline constexpr int ITEM_CHECKS[PART_COUNT] = {IDC_CHECK_MAIN, IDC_CHECK_CIS_M, IDC_CHECK_CIS_S,
                                                IDC_CHECK_CF, IDC_CHECK_IR};

// The box that chooses an item; 0 for the board's body, which has none.
constexpr int ItemCheckOf(const CItemInfo& item)
{
    return item.model == MODEL_BOARD ? 0 : ITEM_CHECKS[item.part];
}
