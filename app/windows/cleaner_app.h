#pragma once

#include "engine/engine.h"
#include "platform/win32/win32_platform.h"
#include "ui/framework/win_app.h"

// The one application object: chooses the mode from the command line. Its files are
// the system's, cleaned by one engine with no hooks.
class CCleanerApp : public CWinApp {
  public:
    CCleanerApp();
    ~CCleanerApp() override;
    BOOL InitInstance() override;

  private:
    Win32Platform m_platform;
    Engine m_engine;
};
