#pragma once
// The application object: runs the main window modally; the application
// ends when the dialog ends.
#include "window/AppOptions.h"

#include <string>

class CDialogHost;

class CUpgradeApp {
public:
    // Always false, so the application ends with the dialog. A package path
    // given is loaded once the window runs, as File Load would.
    bool InitInstance(CDialogHost& host, const CAppOptions& options, const std::string& package = {});
};
