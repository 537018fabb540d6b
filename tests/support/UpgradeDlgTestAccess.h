#pragma once
// The tests' one way into the main window's private state: to set a case up
// and to check what a reaction left behind. State(dlg).m_nCurrentItem reads
// as the member does inside the window.
#include "window/UpgradeDlg.h"

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
