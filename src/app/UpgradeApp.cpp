#include "app/UpgradeApp.h"

#include "records/RecordsConfig.h"
#include "records/RecordsPush.h"
#include "window/UpgradeDlg.h"

bool CUpgradeApp::InitInstance(CDialogHost& host, const CAppOptions& options, const std::string& package)
{
    CUpgradeDlg dlg(host, options);
    // The window's runs reach the fleet records server as velunda-cli's do:
    // after each recorded run, beside the window, bounded in time.
    CBackgroundPush push([&host](const std::string& summary) {
        host.Post([&host, summary] { host.Trace("Records: " + summary + "\r\n"); });
    });
    const std::string url = ConfiguredRecordsUrl();
    dlg.Journal().OnRecorded([&push, url](const std::string& history) {
        push.Start(history, url, std::chrono::seconds(kRunEndPushSeconds));
    });
    dlg.OnInitDialog();
    if (!package.empty())
        host.Post([&dlg, package] { dlg.OnOpenFile(package); });
    host.RunModal();
    return false;
}
