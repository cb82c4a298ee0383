// A modal dialog on a dialog template, with a message table, data exchange that binds
// controls to members, and the default (IDOK) and cancel (IDCANCEL) commands.
#pragma once

#include "ui/framework/wnd.h"

class CDialog;

// One row of a message table: a message (for WM_COMMAND: a control and a notification
// code) and the handler that takes it. A handler returns whether it handled the message
// and may set the result.
typedef bool (CDialog::*MessageHandler)(WPARAM wParam, LPARAM lParam, LRESULT* result);
struct MessageEntry {
    UINT message;
    UINT controlId;  // WM_COMMAND only; 0xFFFF for any
    UINT code;       // WM_COMMAND only
    MessageHandler handler;
};
const UINT ANY_CONTROL = 0xFFFF;

template <typename Dialog>
MessageHandler Handler(bool (Dialog::*handler)(WPARAM, LPARAM, LRESULT*)) {
    return static_cast<MessageHandler>(handler);
}

class CDialog : public CWnd {
  public:
    CDialog(UINT templateId, HWND parent);
    ~CDialog() override;

    // Runs the dialog until EndDialog; returns the value given to it.
    INT_PTR DoModal();
    void EndDialog(INT_PTR result);

  protected:
    virtual BOOL OnInitDialog();
    virtual void DoDataExchange() {}
    virtual void OnOK() { EndDialog(IDOK); }
    virtual void OnCancel() { EndDialog(IDCANCEL); }
    // Rows of this class's own table, ended by a row whose message is 0.
    virtual const MessageEntry* GetMessageTable() const { return nullptr; }
    bool PreTranslateMessage(MSG* message) override;

    // Binds control `id` to `control` (for a control that takes the window over, once).
    void DDX_Control(int id, CWnd& control);

  private:
    static INT_PTR CALLBACK DialogProc(HWND hWnd, UINT message, WPARAM wParam, LPARAM lParam);
    bool Dispatch(UINT message, WPARAM wParam, LPARAM lParam, LRESULT* result);
    bool DispatchTable(UINT message, WPARAM wParam, LPARAM lParam, LRESULT* result);
    bool ReflectColour(WPARAM wParam, LPARAM lParam, LRESULT* result);
    HWND Owner() const;

    UINT m_templateId;
    HWND m_hParent;
    bool m_bEnded;
    INT_PTR m_result;
};

// A control's answer to the colour request its parent reflects to it: a brush, or 0.
const UINT WM_REFLECTED_CTLCOLORSTATIC = WM_APP + 0x100;
