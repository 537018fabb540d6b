#pragma once
// What each upgrade item is: its code, list-row name, the command line's
// spelling, its model, where its images are and where the system check
// reports it; the machine's parts and the package models. One table per
// fact, so the request builders, the reactions, the package loaders, the
// system check and the front ends agree.

// Item codes: the payload of UP Index.
enum : int {
    ITEM_IR = 1,
    ITEM_CF = 2,
    ITEM_CIS_M = 3,
    ITEM_CIS_S = 4,
    ITEM_MAIN = 5,
    ITEM_CDM = 11,
    ITEM_MAIN_V2 = 12,
    ITEM_BOARD = 20,
};

// Model of a package: 1 Quorin V1, 2 Quorin V2, 3 the upgrade board.
enum : int {
    MODEL_QUORIN_V1 = 1,
    MODEL_QUORIN_V2 = 2,
    MODEL_BOARD = 3,
};
inline constexpr int MODEL_COUNT = 3;

// The parts of a Quorin V1 machine in part order: the part buffers and
// sections of a part-image package, the version records of a system check
// and the list slots 1 to 5 of a package archive.
inline constexpr int PART_COUNT = 5;
inline constexpr const char* PART_NAMES[PART_COUNT] = {"MAIN", "CIS M", "CIS S", "CF", "IR"};

struct CItemInfo {
    int code;
    int model;           // MODEL_ it belongs to
    const char* rowName; // Part column of its list row ("MAIN" for every main part)
    const char* cliName; // velunda-cli's --items word; empty: not chosen by name
    int part;            // the package part that carries it (m_bHasPart, item box); for a
                         // Quorin V1 also its part-image buffer and section - 1
    int dataSlot;        // slot of the part file holding its data image
    int recordOffset;    // first of its three characters in the SYS Check record; -1 none
};

// A model's items in list order, which is also the order a run takes them.
inline constexpr CItemInfo ITEMS[] = {
    {ITEM_MAIN, MODEL_QUORIN_V1, PART_NAMES[0], "MAIN", 0, 1, 12},
    {ITEM_CIS_M, MODEL_QUORIN_V1, PART_NAMES[1], "CIS-M", 1, 2, 6},
    {ITEM_CIS_S, MODEL_QUORIN_V1, PART_NAMES[2], "CIS-S", 2, 3, 9},
    {ITEM_CF, MODEL_QUORIN_V1, PART_NAMES[3], "CF", 3, 4, 3},
    {ITEM_IR, MODEL_QUORIN_V1, PART_NAMES[4], "IR", 4, 5, 0},
    {ITEM_MAIN_V2, MODEL_QUORIN_V2, "MAIN", "MAIN", 0, 1, 12},
    {ITEM_CDM, MODEL_QUORIN_V2, "CDM", "CDM", 1, 2, 15},
    {ITEM_BOARD, MODEL_BOARD, "MAIN", "", 0, 1, -1},
};

// The board's body as the records, the reports and the history name it.
inline constexpr const char* BOARD_ITEM_NAME = "BOARD";

// The item of a code, or null.
constexpr const CItemInfo* FindItem(int item)
{
    for (const CItemInfo& info : ITEMS)
        if (info.code == item)
            return &info;
    return nullptr;
}

// Part column of an item's list row ("MAIN" for every main part); empty for
// an unknown code.
constexpr const char* ItemRowName(int item)
{
    // No pointer compare: a sanitizer build does not take one in a constant.
    for (const CItemInfo& info : ITEMS)
        if (info.code == item)
            return info.rowName;
    return "";
}

// "MAIN", "CIS M", "CIS S", "CF", "IR"; empty outside 0 .. PART_COUNT - 1.
const char* PartName(int part);

// The model as a package's info file names it ("Quorin V1", "Quorin V2",
// "Upgrade Board"); empty for any other number.
const char* ModelText(int model);
// The model as the window, the records and the command line name it: its
// ModelText, or "unknown".
const char* ModelName(int model);

// Part buffer (and section - 1) of a part-image package item: 0 MAIN .. 4 IR;
// -1 for items that have none.
int PartIndexOfItem(int item);
// Slot of the part file holding an item's data image in a package archive;
// -1 for an unknown code.
int DataSlotOfItem(int item);
