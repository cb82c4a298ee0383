#include "ui/framework/win_app.h"

#include <cstring>

#include "ui/framework/wnd.h"

namespace {

CWinApp* g_pApp;

void TitleFromModuleName(char* title) {
    char path[MAX_PATH];
    DWORD length = GetModuleFileNameA(nullptr, path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) {
        strcpy(title, "TorvoClean");
        return;
    }
    const char* name = path;
    for (const char* p = path; *p; ++p)
        if (*p == '\\' || *p == '/' || *p == ':') name = p + 1;
    strcpy(title, name);
    char* dot = strrchr(title, '.');
    if (dot && dot != title) *dot = '\0';
}

}  // namespace

// Without a name of its own the application is called after its executable.
CWinApp::CWinApp(const char* pszAppName) : m_pszAppName(pszAppName), m_pMainWnd(nullptr) {
    TitleFromModuleName(m_szTitle);
    if (!m_pszAppName) m_pszAppName = m_szTitle;
    g_pApp = this;
}

CWinApp::~CWinApp() {
    if (g_pApp == this) g_pApp = nullptr;
}

BOOL CWinApp::InitInstance() {
    return FALSE;
}

int CWinApp::DoMessageBox(const char* pszText, UINT nType, UINT) {
    if ((nType & MB_ICONMASK) == 0) nType |= MB_ICONEXCLAMATION;
    return MessageBoxA(m_pMainWnd ? m_pMainWnd->m_hWnd : nullptr, pszText, m_pszAppName, nType);
}

CWinApp* AfxGetApp() {
    return g_pApp;
}

int AfxMessageBox(const char* pszText, UINT nType, UINT nIdHelp) {
    return g_pApp->DoMessageBox(pszText, nType, nIdHelp);
}

// The process entry constructs nothing: the one application object already exists.
int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
    CWinApp* app = AfxGetApp();
    if (!app) return 1;
    app->InitInstance();
    return 0;
}
