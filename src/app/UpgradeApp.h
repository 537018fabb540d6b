#pragma once
// The application object: runs the main window modally; the application
// ends when the dialog ends.
#include "app/AppOptions.h"

class CDialogHost;

class CUpgradeApp {
public:
    // Always false, so the application ends with the dialog.
    bool InitInstance(CDialogHost& host, const CAppOptions& options);
};
