#pragma once
// What each upgrade item is: its list-row name and where its images are.
// One table, so the request builders, the reactions and the front ends agree.

// Part column of an item's list row ("MAIN" for every main part); empty for
// an unknown code.
const char* PartNameOfItem(int item);
// Part buffer (and section - 1) of a part-image package item: 0 MAIN .. 4 IR;
// -1 for items that have none.
int PartIndexOfItem(int item);
// Slot of the part file holding an item's data image in a package archive;
// -1 for an unknown code.
int DataSlotOfItem(int item);
