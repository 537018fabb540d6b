#include "protocol/Items.h"

namespace {

constexpr const char* kModelTexts[MODEL_COUNT] = {"Quorin V1", "Quorin V2", "Upgrade Board"};

} // namespace

const char* PartName(int part)
{
    return part >= 0 && part < PART_COUNT ? PART_NAMES[part] : "";
}

const char* ModelText(int model)
{
    return model >= 1 && model <= MODEL_COUNT ? kModelTexts[model - 1] : "";
}

const char* ModelName(int model)
{
    return *ModelText(model) != '\0' ? ModelText(model) : "unknown";
}

int PartIndexOfItem(int item)
{
    const CItemInfo* info = FindItem(item);
    return info != nullptr && info->model == MODEL_QUORIN_V1 ? info->part : -1;
}

int DataSlotOfItem(int item)
{
    const CItemInfo* info = FindItem(item);
    return info != nullptr ? info->dataSlot : -1;
}
