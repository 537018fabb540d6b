#pragma once
// A board upgrade as the user runs it: the window on the headless host, the
// virtual upgrade board (quorin-sim board, in this process) on its own pty,
// a package of a boot image and a body image in a temporary folder.
#include "BootTestSupport.h"

#include "SimTarget.h"
#include "TestPackages.h"
#include "app/HeadlessHost.h"
#include "window/UpgradeDlg.h"

#include <map>
#include <memory>
#include <string>
#include <vector>

// Remembers every text a percent label showed, in order.
class CWatchingHost : public CHeadlessHost {
public:
    void SetText(int id, const std::string& text) override
    {
        auto& seen = m_seen[id];
        if (seen.empty() || seen.back() != text)
            seen.push_back(text);
        CHeadlessHost::SetText(id, text);
    }
    const std::vector<std::string>& Seen(int id) { return m_seen[id]; }

private:
    std::map<int, std::vector<std::string>> m_seen;
};

class CBoardRig {
public:
    // simArgs: options of `quorin-sim board` (the record folder is added).
    CBoardRig(const std::vector<std::string>& simArgs, Bytes bootImage, Bytes bodyImage);
    ~CBoardRig();

    // The package as File Load leaves it for an upgrade-board archive.
    void LoadPackage();
    // Chooses the board's port and the baud text, then presses Connect.
    void Connect(const std::string& baud = "38300");
    bool WaitForMessage(const std::string& text, std::chrono::milliseconds timeout);
    int CountMessage(const std::string& text) const;

    std::string Record(const std::string& name) const { return m_pSim->RecordPath(name).string(); }
    const std::string& SlavePath() const { return m_pSim->SlavePath(); }

    CTempFolder folder;
    Bytes boot;
    Bytes body;
    std::string bootPath;
    std::string bodyPath;
    CWatchingHost host;
    std::unique_ptr<CUpgradeDlg> dlg;

private:
    std::unique_ptr<CSimTarget> m_pSim;
};
