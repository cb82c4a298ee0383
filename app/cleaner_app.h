#pragma once

#include "ui/framework/win_app.h"

// The one application object: chooses the mode from the command line.
class CCleanerApp : public CWinApp {
  public:
    CCleanerApp();
    ~CCleanerApp() override;
    BOOL InitInstance() override;
};
