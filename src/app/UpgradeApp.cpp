#include "app/UpgradeApp.h"

#include "window/UpgradeDlg.h"

bool CUpgradeApp::InitInstance(CDialogHost& host, const CAppOptions& options, const std::string& package)
{
    CUpgradeDlg dlg(host, options);
    dlg.OnInitDialog();
    if (!package.empty())
        host.Post([&dlg, package] { dlg.OnOpenFile(package); });
    host.RunModal();
    return false;
}
