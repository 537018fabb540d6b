#pragma once
// What each upgrade item is: its code, list-row name and where its images
// are; the machine's parts and the package models. One table per fact, so the
// request builders, the reactions, the package loaders and the front ends agree.

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

// The parts of a Quorin V1 machine in part order: the part buffers and
// sections of a part-image package, the version records of a system check
// and the list slots 1 to 5 of a package archive.
inline constexpr int PART_COUNT = 5; // MAIN, CIS M, CIS S, CF, IR
// "MAIN", "CIS M", "CIS S", "CF", "IR"; empty outside 0 .. PART_COUNT - 1.
const char* PartName(int part);

// Model of a package: 1 Quorin V1, 2 Quorin V2, 3 the upgrade board.
inline constexpr int MODEL_COUNT = 3;
// The model as a package's info file names it ("Quorin V1", "Quorin V2",
// "Upgrade Board"); empty for any other number.
const char* ModelText(int model);
// The model as the window, the records and the command line name it: its
// ModelText, or "unknown".
const char* ModelName(int model);

// Part column of an item's list row ("MAIN" for every main part); empty for
// an unknown code.
const char* PartNameOfItem(int item);
// Part buffer (and section - 1) of a part-image package item: 0 MAIN .. 4 IR;
// -1 for items that have none.
int PartIndexOfItem(int item);
// Slot of the part file holding an item's data image in a package archive;
// -1 for an unknown code.
int DataSlotOfItem(int item);
