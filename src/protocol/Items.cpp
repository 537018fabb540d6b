#include "protocol/Items.h"

#include "protocol/Frame.h"

namespace {

struct ItemInfo {
    int code;
    const char* partName;
    int partIndex; // part-image buffer, -1 none
    int dataSlot;  // archive part file slot
};

constexpr ItemInfo kItems[] = {
    {ITEM_IR, "IR", 4, 5},         {ITEM_CF, "CF", 3, 4},       {ITEM_CIS_M, "CIS M", 1, 2},
    {ITEM_CIS_S, "CIS S", 2, 3},   {ITEM_MAIN, "MAIN", 0, 1},   {ITEM_CDM, "CDM", -1, 2},
    {ITEM_MAIN_V2, "MAIN", -1, 1}, {ITEM_BOARD, "MAIN", -1, 1},
};

constexpr const char* kPartNames[PART_COUNT] = {"MAIN", "CIS M", "CIS S", "CF", "IR"};
constexpr const char* kModelTexts[MODEL_COUNT] = {"Quorin V1", "Quorin V2", "Upgrade Board"};

const ItemInfo* Find(int item)
{
    for (const auto& info : kItems)
        if (info.code == item)
            return &info;
    return nullptr;
}

} // namespace

const char* PartName(int part)
{
    return part >= 0 && part < PART_COUNT ? kPartNames[part] : "";
}

const char* ModelText(int model)
{
    return model >= 1 && model <= MODEL_COUNT ? kModelTexts[model - 1] : "";
}

const char* ModelName(int model)
{
    return *ModelText(model) != '\0' ? ModelText(model) : "unknown";
}

const char* PartNameOfItem(int item)
{
    const ItemInfo* info = Find(item);
    return info ? info->partName : "";
}

int PartIndexOfItem(int item)
{
    const ItemInfo* info = Find(item);
    return info ? info->partIndex : -1;
}

int DataSlotOfItem(int item)
{
    const ItemInfo* info = Find(item);
    return info ? info->dataSlot : -1;
}
