#include "ui/framework/dialog.h"

#include "ui/framework/win_app.h"

#include <windows.h>

#include <commctrl.h>

CDialog::CDialog(UINT templateId, HWND parent)
    : m_templateId(templateId), m_hParent(parent), m_bEnded(false), m_result(-1) {}

CDialog::~CDialog() {
    if (m_hWnd && IsWindow(m_hWnd)) DestroyWindow(m_hWnd);
}

// The dialog runs its own loop, so that each message can be pre-translated.
INT_PTR CDialog::DoModal() {
    static bool commonControlsReady = false;
    if (!commonControlsReady) InitCommonControls();
    commonControlsReady = true;
    m_bEnded = false;
    HWND owner = Owner();
    if (owner) ::EnableWindow(owner, FALSE);
    HWND dialog = CreateDialogParamA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(m_templateId),
                                     owner, DialogProc, LPARAM(this));
    if (!dialog) {
        if (owner) ::EnableWindow(owner, TRUE);
        return -1;
    }
    ShowWindow(dialog, SW_SHOW);
    MSG message;
    while (!m_bEnded && GetMessageA(&message, nullptr, 0, 0) > 0) {
        CWnd* target = CWnd::FromHandle(message.hwnd);
        if ((target && target->PreTranslateMessage(&message)) || PreTranslateMessage(&message) ||
            IsDialogMessageA(dialog, &message))
            continue;
        TranslateMessage(&message);
        DispatchMessageA(&message);
    }
    if (owner) ::EnableWindow(owner, TRUE);
    DestroyWindow(dialog);
    m_hWnd = nullptr;
    return m_result;
}

// Without a parent of its own a dialog belongs to the application's main window, which
// stays disabled while it runs.
HWND CDialog::Owner() const {
    if (m_hParent) return m_hParent;
    CWinApp* app = AfxGetApp();
    CWnd* main = app ? app->m_pMainWnd : nullptr;
    return main && main != this ? main->m_hWnd : nullptr;
}

void CDialog::EndDialog(INT_PTR result) {
    m_result = result;
    m_bEnded = true;
    ShowWindow(m_hWnd, SW_HIDE);
    PostMessageA(m_hWnd, WM_NULL, 0, 0);  // wakes the loop
}

BOOL CDialog::OnInitDialog() {
    DoDataExchange();
    return TRUE;
}

bool CDialog::PreTranslateMessage(MSG*) {
    return false;
}

void CDialog::DDX_Control(int id, CWnd& control) {
    if (!control.m_hWnd) control.Attach(GetDlgItem(id));
}

INT_PTR CALLBACK CDialog::DialogProc(HWND hWnd, UINT message, WPARAM wParam, LPARAM lParam) {
    CDialog* dialog;
    if (message == WM_INITDIALOG) {
        dialog = reinterpret_cast<CDialog*>(lParam);
        SetWindowLongPtrA(hWnd, DWLP_USER, LONG_PTR(dialog));
        dialog->m_hWnd = hWnd;
        return dialog->OnInitDialog();
    }
    dialog = reinterpret_cast<CDialog*>(GetWindowLongPtrA(hWnd, DWLP_USER));
    if (!dialog) return FALSE;
    LRESULT result = 0;
    if (!dialog->Dispatch(message, wParam, lParam, &result)) return FALSE;
    // These messages return their value directly; every other one through DWLP_MSGRESULT.
    if (message == WM_CTLCOLORSTATIC || message == WM_QUERYDRAGICON) return INT_PTR(result);
    SetWindowLongPtrA(hWnd, DWLP_MSGRESULT, result);
    return TRUE;
}

bool CDialog::Dispatch(UINT message, WPARAM wParam, LPARAM lParam, LRESULT* result) {
    if (DispatchTable(message, wParam, lParam, result)) return true;
    if (message == WM_CTLCOLORSTATIC) return ReflectColour(wParam, lParam, result);
    if (message != WM_COMMAND || HIWORD(wParam) != BN_CLICKED) return false;
    if (LOWORD(wParam) == IDOK)
        OnOK();
    else if (LOWORD(wParam) == IDCANCEL)
        OnCancel();
    else
        return false;
    return true;
}

bool CDialog::DispatchTable(UINT message, WPARAM wParam, LPARAM lParam, LRESULT* result) {
    const MessageEntry* entry = GetMessageTable();
    for (; entry && entry->message; ++entry) {
        if (entry->message != message) continue;
        if (message == WM_COMMAND &&
            ((entry->controlId != ANY_CONTROL && entry->controlId != LOWORD(wParam)) ||
             entry->code != HIWORD(wParam)))
            continue;
        if ((this->*entry->handler)(wParam, lParam, result)) return true;
    }
    return false;
}

// A static control may colour itself: the request goes on to the control first.
bool CDialog::ReflectColour(WPARAM wParam, LPARAM lParam, LRESULT* result) {
    LRESULT brush = ::SendMessageA(HWND(lParam), WM_REFLECTED_CTLCOLORSTATIC, wParam, 0);
    if (!brush) return false;
    *result = brush;
    return true;
}
