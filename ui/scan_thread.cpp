// The worker of one scan. It reaches the controls only through WM_SCAN_REQUEST, which
// the main thread carries out while the worker waits; once Exit is confirmed it asks
// for nothing more.
#include "engine/clean.h"
#include "engine/restart_ops.h"
#include "engine/tree_walk.h"
#include "memory/memory_check.h"
#include "platform/platform.h"
#include "ui/cleaner_dlg.h"

CCleanerDlg* g_pScanDlg;

namespace {

void Request(CCleanerDlg* dialog, ScanRequestKind kind, const char* text = nullptr,
             const char* status = nullptr, bool enable = false) {
    if (dialog->m_bExitRequested) return;
    ScanRequest request = {kind, text, status, enable};
    SendMessageA(dialog->m_hWnd, WM_SCAN_REQUEST, 0, LPARAM(&request));
}

const char* StatusOf(ScanOutcome outcome) {
    switch (outcome) {
        case SCAN_DISINFECTED:
            return "cleaned";
        case SCAN_CLEAN_FAILED:
            return "unable to clean";
        case SCAN_PENDING_RESTART:
            return "will be cleaned at startup";
        case SCAN_DELETED:
            return "deleted";
        default:
            return nullptr;
    }
}

class UiWalk : public TreeWalk {
  public:
    explicit UiWalk(CCleanerDlg* dialog) : m_dialog(dialog) {}
    bool ShouldStop() override { return m_dialog->m_bExitRequested != 0; }
    void ReportFile(const char* path, const PlatDirEntry&) override {
        UiReportFile(m_dialog, path);
    }

  private:
    CCleanerDlg* m_dialog;
};

}  // namespace

void UiScanDirectory(CCleanerDlg* dialog, char* path) {
    UiWalk walk(dialog);
    WalkTree(dialog->m_engine.platform, path, walk);
}

// An infected file takes two rows: the label above what was done (newest on top).
void UiReportFile(CCleanerDlg* dialog, const char* path) {
    Request(g_pScanDlg, SET_STATUS, path);
    const char* label;
    ScanOutcome outcome = ScanFile(dialog->m_engine, path, &label);
    if (outcome == SCAN_OPEN_FAILED) {
        // An entry gone by its turn (a work file its own file's cleaning consumed).
        if (dialog->m_engine.platform.IsGone(path)) return;
        Request(g_pScanDlg, ADD_ROW, path, "unable to read file");
        return;
    }
    const char* done = StatusOf(outcome);
    if (!done) return;
    ++dialog->m_nInfected;
    Request(g_pScanDlg, ADD_ROW, path, done);
    Request(g_pScanDlg, ADD_ROW, path, label);
}

DWORD WINAPI ScanThreadProc(void* parameter) {
    CCleanerDlg* dialog = static_cast<CCleanerDlg*>(parameter);
    CheckMemory(*dialog);
    dialog->m_nInfected = 0;
    g_pScanDlg = dialog;
    Request(dialog, SET_STATUS, "Scan files");
    Request(dialog, ENABLE_BUTTONS, nullptr, nullptr, false);
    FinishInterruptedWork(dialog->m_engine);
    UiScanDirectory(dialog, dialog->m_szScanPath);
    Request(dialog, ENABLE_BUTTONS, nullptr, nullptr, true);
    Request(g_pScanDlg, SET_STATUS, "System scan complete");
    Request(g_pScanDlg, SHOW_RESULT,
            dialog->m_nInfected
                ? "You need to restart your computer in order to complete the disinfection process."
                : "Torvo was not found on selected path.");
    Request(dialog, SCAN_FINISHED);
    return 1;
}

void WaitForThread(HANDLE thread) {
    for (;;) {
        DWORD woken = MsgWaitForMultipleObjects(1, &thread, FALSE, INFINITE, QS_SENDMESSAGE);
        if (woken == WAIT_OBJECT_0 || woken == WAIT_FAILED) return;
        // Peeking carries out the messages sent to this thread's windows.
        MSG message;
        PeekMessageA(&message, nullptr, 0, 0, PM_NOREMOVE);
    }
}
