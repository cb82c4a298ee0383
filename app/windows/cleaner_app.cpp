#include "app/windows/cleaner_app.h"

#include "app/common/batch.h"
#include "app/common/command_line.h"
#include "app/common/options.h"
#include "app/windows/shutdown.h"
#include "ui/cleaner_dlg.h"

CCleanerApp theApp;

namespace {

void RunMainDialog(Engine& engine) {
    CCleanerDlg* dialog = new CCleanerDlg(engine);
    theApp.m_pMainWnd = dialog;
    dialog->DoModal();
    theApp.m_pMainWnd = nullptr;
    dialog->WaitForScan();
    delete dialog;
}

}  // namespace

CCleanerApp::CCleanerApp() : CWinApp(nullptr), m_engine(m_platform) {}

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
        RunMainDialog(m_engine);
        return FALSE;
    }
    if (!arguments.pszScanPath) return FALSE;
    BatchRun run(m_engine);
    RunBatch(run, arguments.pszScanPath, arguments.pszLogName);
    if (g_bRestart) RestartComputer();
    return FALSE;
}
