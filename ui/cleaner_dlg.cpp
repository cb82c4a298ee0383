#include "ui/cleaner_dlg.h"

#include <windows.h>

#include <shlobj.h>

#include <cstring>

#include "memory/memory_check.h"
#include "res/resource.h"
#include "ui/about_dlg.h"
#include "ui/framework/win_app.h"

CCleanerDlg::CCleanerDlg(Engine& engine, HWND parent)
    : CDialog(IDD_CLEANER_DIALOG, parent),
      m_engine(engine),
      m_nInfected(0),
      m_bExitRequested(0),
      m_hIcon(LoadIconA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(IDR_MAINFRAME))),
      m_hWorker(nullptr),
      m_bScanRunning(false) {
    m_szTarget[0] = '\0';
    m_szScanPath[0] = '\0';
}

CCleanerDlg::~CCleanerDlg() {
    if (m_hWorker) CloseHandle(m_hWorker);
}

const MessageEntry* CCleanerDlg::GetMessageTable() const {
    static const MessageEntry table[] = {
        {WM_SYSCOMMAND, 0, 0, Handler(&CCleanerDlg::OnSystemCommand)},
        {WM_PAINT, 0, 0, Handler(&CCleanerDlg::OnPaint)},
        {WM_QUERYDRAGICON, 0, 0, Handler(&CCleanerDlg::OnQueryDragIcon)},
        {WM_COMMAND, IDC_SELECT_TARGET, BN_CLICKED, Handler(&CCleanerDlg::OnSelectTarget)},
        {WM_SCAN_REQUEST, 0, 0, Handler(&CCleanerDlg::OnScanRequest)},
        {0, 0, 0, nullptr}};
    return table;
}

void CCleanerDlg::DoDataExchange() {
    DDX_Control(IDC_LINK, m_link);
    DDX_Control(IDC_STATUS, m_status);
    DDX_Control(IDCANCEL, m_btnExit);
    DDX_Control(IDOK, m_btnScan);
    DDX_Control(IDC_RESULT_LIST, m_list);
}

BOOL CCleanerDlg::OnInitDialog() {
    CDialog::OnInitDialog();
    AddAboutItem();
    SendMessage(WM_SETICON, ICON_SMALL, LPARAM(m_hIcon));
    SendMessage(WM_SETICON, ICON_BIG, LPARAM(m_hIcon));
    m_list.InsertColumn(0, "Files", 300);
    m_list.InsertColumn(1, "Status", 140);
    m_status.SetWindowText("Press Scan button to start scan");
    // A worm found in memory is reported before the dialog shows.
    int startup = StartupPathCheck(".");
    CheckMemory(*this);
    return startup == 0;
}

void CCleanerDlg::AddAboutItem() {
    HMENU menu = GetSystemMenu(m_hWnd, FALSE);
    char text[256];
    if (!menu || LoadStringA(GetModuleHandleA(nullptr), IDS_ABOUTBOX, text, sizeof text) <= 0)
        return;
    AppendMenuA(menu, MF_SEPARATOR, 0, nullptr);
    AppendMenuA(menu, MF_STRING, IDM_ABOUTBOX, text);
}

bool CCleanerDlg::OnSystemCommand(WPARAM id, LPARAM, LRESULT*) {
    if ((id & 0xFFF0) != IDM_ABOUTBOX) return false;
    CAboutDlg about;
    about.DoModal();
    return true;
}

// Only the minimised window is painted here: its icon, centred.
bool CCleanerDlg::OnPaint(WPARAM, LPARAM, LRESULT*) {
    if (!IsIconic(m_hWnd)) return false;
    PAINTSTRUCT paint;
    HDC dc = BeginPaint(m_hWnd, &paint);
    SendMessage(WM_ICONERASEBKGND, WPARAM(dc), 0);
    RECT client;
    GetClientRect(m_hWnd, &client);
    int x = (client.right - client.left - GetSystemMetrics(SM_CXICON) + 1) / 2;
    int y = (client.bottom - client.top - GetSystemMetrics(SM_CYICON) + 1) / 2;
    DrawIcon(dc, x, y, m_hIcon);
    EndPaint(m_hWnd, &paint);
    return true;
}

bool CCleanerDlg::OnQueryDragIcon(WPARAM, LPARAM, LRESULT* result) {
    *result = LRESULT(m_hIcon);
    return true;
}

bool CCleanerDlg::OnSelectTarget(WPARAM, LPARAM, LRESULT*) {
    OnSelectTarget();
    return true;
}

void CCleanerDlg::OnSelectTarget() {
    char title[260] = "Select Directory";
    BROWSEINFOA browse = {};
    browse.hwndOwner = m_hWnd;
    browse.pszDisplayName = title;
    browse.lpszTitle = title;
    browse.ulFlags = BIF_EDITBOX;
    LPITEMIDLIST item = SHBrowseForFolderA(&browse);
    if (!item) return;
    char path[260] = "";
    SHGetPathFromIDListA(item, path);
    CoTaskMemFree(item);
    // A drive root ("c:\") is the shortest folder accepted.
    if (strlen(path) < 3) return;
    lstrcpynA(m_szTarget, path, sizeof m_szTarget);
    m_btnScan.EnableWindow(TRUE);
}

void CCleanerDlg::OnOK() {
    OnScan();
}

// One scan at a time: a second Scan while the first one's memory check still waits for
// the user starts nothing.
void CCleanerDlg::OnScan() {
    if (m_bScanRunning || !m_szTarget[0]) return;
    lstrcpynA(m_szScanPath, m_szTarget, sizeof m_szScanPath);
    DWORD threadId;
    HANDLE worker = CreateThread(nullptr, 0, ScanThreadProc, this, 0, &threadId);
    if (!worker) return;
    if (m_hWorker) CloseHandle(m_hWorker);
    m_hWorker = worker;
    m_bScanRunning = true;
}

void CCleanerDlg::OnCancel() {
    OnExit();
}

void CCleanerDlg::OnExit() {
    if (MessageBoxA(m_hWnd, "Are you sure you want to exit ?", "Information",
                    MB_YESNO | MB_ICONEXCLAMATION) != IDYES)
        return;
    m_bExitRequested = 1;
    EndDialog(IDCANCEL);
}

// Carries out, on the main thread, what the worker asks of the controls.
bool CCleanerDlg::OnScanRequest(WPARAM, LPARAM parameter, LRESULT*) {
    const ScanRequest& request = *reinterpret_cast<const ScanRequest*>(parameter);
    switch (request.kind) {
        case SET_STATUS:
            m_status.SetWindowText(request.text);
            break;
        case ADD_ROW:
            m_list.InsertItem(0, request.text);
            m_list.SetItemText(0, 1, request.status);
            break;
        case ENABLE_BUTTONS:
            m_btnScan.EnableWindow(request.enable);
            ::EnableWindow(GetDlgItem(IDC_SELECT_TARGET), request.enable);
            break;
        case SHOW_RESULT:
            MessageBoxA(m_hWnd, request.text, "Information", MB_ICONINFORMATION);
            break;
        case SCAN_FINISHED:
            m_bScanRunning = false;
            break;
    }
    return true;
}

void CCleanerDlg::ShowMessage(const char* pszText, unsigned int nType) {
    AfxMessageBox(pszText, nType);
}

void CCleanerDlg::WaitForScan() {
    if (m_hWorker) WaitForThread(m_hWorker);
}
