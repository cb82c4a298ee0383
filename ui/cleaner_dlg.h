// The main dialog: the user picks a folder and a worker thread scans it.
#pragma once

#include <atomic>
#include <cstdint>

#include "engine/engine.h"
#include "memory/memory_check.h"
#include "ui/framework/dialog.h"
#include "ui/hyperlink.h"

// The memory check reports through the dialog and stops once Exit is confirmed.
class CCleanerDlg : public CDialog, public CMemoryCheckHost {
  public:
    // `engine`: what the scans clean the files with.
    explicit CCleanerDlg(Engine& engine, HWND parent = nullptr);
    ~CCleanerDlg() override;

    // After the dialog has closed: waits for a scan that was stopped to finish the file
    // under way, so that no file is left half cleaned.
    void WaitForScan();

    void ShowMessage(const char* pszText, unsigned int nType) override;
    bool IsExitRequested() override { return m_bExitRequested != 0; }

    Engine& m_engine;
    char m_szTarget[1040];
    int32_t m_nInfected;
    CHyperLink m_link;
    CStatic m_status;
    CButton m_btnExit;
    CButton m_btnScan;
    CListCtrl m_list;
    std::atomic<int32_t> m_bExitRequested;
    HICON m_hIcon;

    // The folder of the scan under way: taken from m_szTarget when Scan is pressed, so
    // that a new selection meanwhile waits for the next scan.
    char m_szScanPath[1040];

  protected:
    BOOL OnInitDialog() override;
    void DoDataExchange() override;
    void OnOK() override;      // Scan
    void OnCancel() override;  // Exit
    const MessageEntry* GetMessageTable() const override;

  private:
    bool OnSystemCommand(WPARAM id, LPARAM parameter, LRESULT* result);
    bool OnPaint(WPARAM, LPARAM, LRESULT* result);
    bool OnQueryDragIcon(WPARAM, LPARAM, LRESULT* result);
    bool OnSelectTarget(WPARAM, LPARAM, LRESULT* result);
    bool OnScanRequest(WPARAM, LPARAM request, LRESULT* result);
    void OnSelectTarget();
    void OnScan();
    void OnExit();
    void AddAboutItem();

    HANDLE m_hWorker;
    bool m_bScanRunning;
};

// The dialog the running scan reports into.
extern CCleanerDlg* g_pScanDlg;

// What the worker asks the main thread to do to the controls (WM_SCAN_REQUEST).
const UINT WM_SCAN_REQUEST = WM_APP + 1;
enum ScanRequestKind { SET_STATUS, ADD_ROW, ENABLE_BUTTONS, SHOW_RESULT, SCAN_FINISHED };
struct ScanRequest {
    ScanRequestKind kind;
    const char* text;
    const char* status;
    bool enable;
};

DWORD WINAPI ScanThreadProc(void* parameter);
// Waits until `thread` has ended, carrying out the messages it sends meanwhile; returns
// at once when the handle cannot be waited on.
void WaitForThread(HANDLE thread);
void UiScanDirectory(CCleanerDlg* dialog, char* path);
void UiReportFile(CCleanerDlg* dialog, const char* path);
