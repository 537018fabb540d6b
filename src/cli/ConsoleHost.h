#pragma once
// The console host of velunda-cli: the headless host, with every change of
// a progress bar and of a list cell passed on for printing.
#include "app/HeadlessHost.h"

#include <functional>
#include <string>

class CConsoleHost : public CHeadlessHost {
public:
    // A bar moved to a new position (its id and the position it now shows).
    std::function<void(int barId, int pos)> onProgress;
    // A list cell was written with a new text.
    std::function<void(int row, int column, const std::string& text)> onCell;

    void SetProgressPos(int id, int pos) override
    {
        const int before = GetProgressPos(id);
        CHeadlessHost::SetProgressPos(id, pos);
        const int after = GetProgressPos(id);
        if (after != before && onProgress)
            onProgress(id, after);
    }

    void ListSetCell(int id, int row, int column, const std::string& text) override
    {
        const std::string before = ListGetCell(id, row, column);
        CHeadlessHost::ListSetCell(id, row, column, text);
        if (text != before && onCell)
            onCell(row, column, text);
    }
};
