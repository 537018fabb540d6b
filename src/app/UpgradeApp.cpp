#include "app/UpgradeApp.h"

#include "app/UpgradeDlg.h"

bool CUpgradeApp::InitInstance(CDialogHost& host, const CAppOptions& options)
{
    CUpgradeDlg dlg(host, options);
    dlg.OnInitDialog();
    host.RunModal();
    return false;
}
