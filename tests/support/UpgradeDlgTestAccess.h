#pragma once
// The tests' one way into the main window's private state: to set a case up
// and to check what a reaction left behind. State(dlg).m_nCurrentItem reads
// as the member does inside the window.
#include "TestBytes.h"
#include "window/UpgradeDlg.h"

#include <algorithm>
#include <memory>
#include <vector>

struct CUpgradeDlgTestAccess {
    static CUpgradeDlgState& State(CUpgradeDlg& dlg) { return dlg; }
    static const CUpgradeDlgState& State(const CUpgradeDlg& dlg) { return dlg; }
    static CBoardExchange& Board(CUpgradeDlg& dlg) { return dlg.m_board; }
};

// The board exchange's state, as State() gives the window's.
struct CBoardExchangeTestAccess {
    static CBoardExchangeState& State(CBoardExchange& board) { return board; }
};

inline CBoardExchange& Board(CUpgradeDlg& dlg)
{
    return CUpgradeDlgTestAccess::Board(dlg);
}

inline CBoardExchangeState& BoardState(CUpgradeDlg& dlg)
{
    return CBoardExchangeTestAccess::State(Board(dlg));
}

inline CUpgradeDlgState& State(CUpgradeDlg& dlg)
{
    return CUpgradeDlgTestAccess::State(dlg);
}

inline const CUpgradeDlgState& State(const CUpgradeDlg& dlg)
{
    return CUpgradeDlgTestAccess::State(dlg);
}

// A Quorin V1 part-image package as its loader leaves the window: parts of
// the given sizes (MAIN, CIS M, CIS S, CF, IR; 0 for absent), patterns seeded
// 0 to 4 and kept in parts, listed with file and, when given, version.
inline void PutPartImage(CUpgradeDlg& dlg, const std::vector<std::size_t>& sizes, Bytes (&parts)[PART_COUNT],
                         const char* file, const char* version = nullptr)
{
    CUpgradeDlgState& state = State(dlg);
    state.m_nResultType = RESULT_TYPE_QUORIN_V1;
    state.m_bPartImage = 1;
    for (int i = 0; i < PART_COUNT; ++i) {
        const std::size_t size = i < static_cast<int>(sizes.size()) ? sizes[static_cast<std::size_t>(i)] : 0;
        parts[i] = Pattern(size, static_cast<unsigned>(i));
        state.m_Section[i + 1].nSize = static_cast<std::uint32_t>(size);
        state.m_bHasPart[i] = size > 0 ? 1 : 0;
        state.m_pPartData[i].reset();
        if (size == 0)
            continue;
        state.m_pPartData[i] = std::make_unique<std::uint8_t[]>(size);
        std::copy(parts[i].begin(), parts[i].end(), state.m_pPartData[i].get());
        CopyField(state.m_PartList.slot[i + 1].szName, PART_NAMES[i]);
        CopyField(state.m_PartList.slot[i + 1].szFile, file);
        if (version != nullptr)
            CopyField(state.m_PartList.slot[i + 1].szVersion, version);
    }
}
