#include "app/cleaner_app.h"

#include "app/batch.h"
#include "app/command_line.h"
#include "app/options.h"
#include "app/shutdown.h"
#include "ui/cleaner_dlg.h"

CCleanerApp theApp;

namespace {

void RunMainDialog() {
    CCleanerDlg* dialog = new CCleanerDlg(nullptr);
    theApp.m_pMainWnd = dialog;
    dialog->DoModal();
    theApp.m_pMainWnd = nullptr;
    dialog->WaitForScan();
    delete dialog;
}

}  // namespace

CCleanerApp::CCleanerApp() : CWinApp(nullptr) {}

CCleanerApp::~CCleanerApp() {}

BOOL CCleanerApp::InitInstance() {
    // The process's own copy of the command line is lowercased, so the path and the
    // log name reach the file system in lowercase.
    LowercaseInPlace(GetCommandLineA());
    int count;
    char** vector;
    SplitCommandLine(&count, &vector);
    BatchArguments arguments = ParseArguments(count, vector, true);
    if (!g_bSilent) {
        RunMainDialog();
        return FALSE;
    }
    if (!arguments.pszScanPath) return FALSE;
    RunBatch(arguments.pszScanPath, arguments.pszLogName);
    if (g_bRestart) RestartComputer();
    return FALSE;
}
