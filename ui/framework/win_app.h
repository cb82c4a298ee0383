// A small stand-in for the framework's application class: one process-wide object
// whose initialisation is the program's only entry; the process ends when it
// returns false.
#pragma once

#include <windows.h>

class CWnd;

class CWinApp {
  public:
    explicit CWinApp(const char* pszAppName = nullptr);
    virtual ~CWinApp();

    // Called once at start; returning false ends the process.
    virtual BOOL InitInstance();
    // Every message box shown through the application object comes here.
    virtual int DoMessageBox(const char* pszText, UINT nType, UINT nIdHelp);

    // The application title: the executable's file name without its extension.
    const char* m_pszAppName;
    // The main window: owner of message boxes and of dialogs opened without a parent.
    CWnd* m_pMainWnd;

  private:
    char m_szTitle[MAX_PATH];
};

CWinApp* AfxGetApp();

// A message box with the application title as caption, and the exclamation icon when
// `nType` names no icon.
int AfxMessageBox(const char* pszText, UINT nType = MB_OK, UINT nIdHelp = 0);
