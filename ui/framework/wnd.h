// Thin, non-owning wrappers around window handles: each method forwards to one call.
#pragma once

#include <windows.h>

class CWnd {
  public:
    CWnd() : m_hWnd(nullptr) {}
    virtual ~CWnd() {}

    HWND GetSafeHwnd() const { return m_hWnd; }
    LRESULT SendMessage(UINT message, WPARAM wParam = 0, LPARAM lParam = 0) const {
        return ::SendMessageA(m_hWnd, message, wParam, lParam);
    }
    void SetWindowText(const char* text) const { ::SetWindowTextA(m_hWnd, text); }
    void EnableWindow(BOOL enable) const { ::EnableWindow(m_hWnd, enable); }
    BOOL IsWindowEnabled() const { return ::IsWindowEnabled(m_hWnd); }
    void Invalidate() const { ::InvalidateRect(m_hWnd, nullptr, TRUE); }
    HWND GetDlgItem(int id) const { return ::GetDlgItem(m_hWnd, id); }

    // Binds the object to an existing control; a derived class may take it over here.
    virtual void Attach(HWND hWnd) { m_hWnd = hWnd; }
    // Every queued message for the window passes here before it is dispatched; true
    // consumes it.
    virtual bool PreTranslateMessage(MSG*) { return false; }
    // The class's name, for type queries.
    virtual const char* GetRuntimeClassName() const { return "CWnd"; }

    // The object that took over `hWnd` (see Attach of such classes), or null.
    static CWnd* FromHandle(HWND hWnd) {
        return static_cast<CWnd*>(::GetPropA(hWnd, kObjectProperty));
    }
    static constexpr const char* kObjectProperty = "TorvoCleanWnd";

    HWND m_hWnd;
};

class CStatic : public CWnd {};

class CButton : public CWnd {};

// A report-style list view.
class CListCtrl : public CWnd {
  public:
    void InsertColumn(int index, const char* heading, int width) const;
    // Inserts a row of text only at `index`.
    void InsertItem(int index, const char* text) const;
    void SetItemText(int item, int subItem, const char* text) const;
};
