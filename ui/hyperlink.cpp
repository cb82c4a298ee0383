#include "ui/hyperlink.h"

#include <commctrl.h>
#include <shellapi.h>
#include <windows.h>

#include <cstdio>
#include <cstring>

#include "ui/framework/dialog.h"
#include "ui/framework/win_app.h"

const COLORREF g_crLink = RGB(0, 0, 255);
const COLORREF g_crFocus = RGB(0, 128, 128);
const COLORREF g_crOpened = RGB(128, 0, 128);
const COLORREF g_crHover = RGB(255, 0, 0);
HCURSOR g_hLinkCursor;

namespace {

const size_t kCommandSize = 520;
const size_t kRegistryValueSize = 260;

std::string WindowText(HWND window) {
    int length = GetWindowTextLengthA(window);
    std::string text(size_t(length) + 1, '\0');
    GetWindowTextA(window, &text[0], length + 1);
    text.resize(size_t(length));
    return text;
}

// Finds `needle` in `text`, stepping over the double-byte characters of the ANSI code
// page as units; null when it is not there.
char* FindText(char* text, const char* needle) {
    size_t length = strlen(needle);
    for (char* p = text; *p; p = CharNextA(p))
        if (strncmp(p, needle, length) == 0) return p;
    return nullptr;
}

const char* ErrorText(int result) {
    switch (result) {
        case 0:
            return "The operating system is out\nof memory or resources.";
        case 2:
            return "The specified file was not found.";
        case 3:
            return "The specified path was not found.";
        case 5:
            return "The operating system denied\naccess to the specified file.";
        case 8:
            return "There was not enough memory to complete the operation.";
        case 11:
            return "The .EXE file is invalid\n(non-Win32 .EXE or error in .EXE image).";
        case 26:
            return "A sharing violation occurred. ";
        case 27:
            return "The filename association is\nincomplete or invalid.";
        case 28:
            return "The DDE transaction could not\nbe completed because the request timed out.";
        case 29:
            return "The DDE transaction failed.";
        case 30:
            return "The DDE transaction could not\nbe completed because other DDE transactions\n"
                   "were being processed.";
        case 31:
            return "There is no application associated\nwith the given filename extension.";
        case 32:
            return "The specified dynamic-link library was not found.";
        default:
            return nullptr;
    }
}

}  // namespace

CHyperLink::CHyperLink()
    : m_bFocused(0),
      m_bMouseOver(0),
      m_bOpened(0),
      m_dwOptions(LINK_UNDERLINE | LINK_AUTO_SIZE | LINK_FOCUS_ON_CLICK),
      m_fontLink(nullptr),
      m_tipCtrl(nullptr),
      m_pfnStaticProc(nullptr) {}

CHyperLink::~CHyperLink() {
    if (m_tipCtrl) DestroyWindow(m_tipCtrl);
    if (m_hWnd && IsWindow(m_hWnd)) {
        SetWindowLongPtrA(m_hWnd, GWLP_WNDPROC, LONG_PTR(m_pfnStaticProc));
        RemovePropA(m_hWnd, kObjectProperty);
    }
    if (m_fontLink) DeleteObject(m_fontLink);
}

void CHyperLink::Attach(HWND hWnd) {
    CStatic::Attach(hWnd);
    if (m_strTarget.empty()) m_strTarget = WindowText(hWnd);
    if (WindowText(hWnd).empty()) SetWindowText(m_strTarget.c_str());
    if (SendMessage(WM_GETFONT)) {
        CreateLinkFont();
        FitToText();
    } else {
        m_dwOptions &= ~LINK_AUTO_SIZE;
    }
    if (!(m_dwOptions & LINK_KEEP_CURSOR)) LoadLinkCursor();
    CreateToolTip();
    SetPropA(hWnd, kObjectProperty, this);
    m_pfnStaticProc =
        reinterpret_cast<WNDPROC>(SetWindowLongPtrA(hWnd, GWLP_WNDPROC, LONG_PTR(WindowProc)));
}

// A copy of the dialog's font, underlined as the options say.
void CHyperLink::CreateLinkFont() {
    LOGFONTA description;
    if (!GetObjectA(HFONT(SendMessage(WM_GETFONT)), sizeof description, &description)) return;
    description.lfUnderline = (m_dwOptions & LINK_UNDERLINE) ? 1 : 0;
    m_fontLink = CreateFontIndirectA(&description);
    if (m_fontLink) SendMessage(WM_SETFONT, WPARAM(m_fontLink), TRUE);
}

void CHyperLink::CreateToolTip() {
    RECT client;
    GetClientRect(m_hWnd, &client);
    m_tipCtrl =
        CreateWindowExA(0, TOOLTIPS_CLASSA, nullptr, 0, CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT,
                        CW_USEDEFAULT, m_hWnd, nullptr, GetModuleHandleA(nullptr), nullptr);
    if (!m_tipCtrl) return;
    TOOLINFOA tool = {};
    tool.cbSize = sizeof tool;
    tool.hwnd = m_hWnd;
    tool.uId = 1;
    tool.rect = client;
    tool.lpszText = const_cast<char*>(m_strTarget.c_str());
    ::SendMessageA(m_tipCtrl, TTM_ADDTOOLA, 0, LPARAM(&tool));
}

bool CHyperLink::PreTranslateMessage(MSG* message) {
    if (m_tipCtrl) ::SendMessageA(m_tipCtrl, TTM_RELAYEVENT, 0, LPARAM(message));
    return false;
}

LRESULT CALLBACK CHyperLink::WindowProc(HWND hWnd, UINT message, WPARAM wParam, LPARAM lParam) {
    CHyperLink* link = static_cast<CHyperLink*>(FromHandle(hWnd));
    LRESULT result = 0;
    if (link->HandleMessage(message, wParam, lParam, &result)) return result;
    return CallWindowProcA(link->m_pfnStaticProc, hWnd, message, wParam, lParam);
}

bool CHyperLink::HandleMessage(UINT message, WPARAM wParam, LPARAM lParam, LRESULT* result) {
    switch (message) {
        case WM_REFLECTED_CTLCOLORSTATIC:
            SetTextColor(HDC(wParam), TextColour());
            SetBkMode(HDC(wParam), TRANSPARENT);
            *result = LRESULT(GetStockObject(NULL_BRUSH));
            return true;
        case WM_SETCURSOR:
            if (!g_hLinkCursor) return true;  // handled as "not set": result stays FALSE
            SetCursor(g_hLinkCursor);
            *result = TRUE;
            return true;
        case WM_MOUSEMOVE:
            OnMouseMove(lParam);
            return true;
        case WM_LBUTTONDOWN:
            if (m_dwOptions & LINK_FOCUS_ON_CLICK) SetFocus(m_hWnd);
            if (m_dwOptions & LINK_OPEN_ON_PRESS) FollowLink();
            m_bFocused = 1;
            return true;
        case WM_LBUTTONUP:
            if (m_bFocused && !(m_dwOptions & LINK_OPEN_ON_PRESS)) FollowLink();
            return true;
        case WM_SETFOCUS:
            m_bFocused = 1;
            Redraw();
            return true;
        case WM_KILLFOCUS:
            m_bMouseOver = 0;
            m_bFocused = 0;
            Redraw();
            return true;
        case WM_KEYDOWN:
            if (wParam != VK_SPACE) return false;
            FollowLink();
            return true;
        case WM_NCHITTEST:
            *result = HTCLIENT;
            return true;
        default:
            return false;
    }
}

COLORREF CHyperLink::TextColour() const {
    if (m_bMouseOver && (m_dwOptions & LINK_HOVER_COLOUR)) return g_crHover;
    if (m_bFocused && !(m_dwOptions & LINK_NO_FOCUS_COLOUR)) return g_crFocus;
    if (m_bOpened) return g_crOpened;
    return g_crLink;
}

// The capture tells the control when the pointer leaves it.
void CHyperLink::OnMouseMove(LPARAM position) {
    if (!m_bMouseOver) {
        m_bMouseOver = 1;
        Redraw();
        SetCapture(m_hWnd);
        return;
    }
    RECT client;
    GetClientRect(m_hWnd, &client);
    POINT point = {short(LOWORD(position)), short(HIWORD(position))};
    if (PtInRect(&client, point)) return;
    m_bMouseOver = 0;
    ReleaseCapture();
    Redraw();
}

void CHyperLink::FollowLink() {
    int result = int(INT_PTR(OpenLink(m_strTarget.c_str(), SW_SHOW)));
    if (result > 32) {
        m_bOpened = 1;
        Redraw();
        return;
    }
    MessageBeep(MB_ICONEXCLAMATION);
    ShowLinkError(result);
}

// The shell's "open", or else the program registered for web pages.
HINSTANCE CHyperLink::OpenLink(const char* link, int showCommand) {
    HINSTANCE shell = ShellExecuteA(nullptr, "open", link, nullptr, nullptr, showCommand);
    if (UINT_PTR(shell) > 32) return shell;
    char command[kCommandSize];
    if (QueryKeyDefault(HKEY_CLASSES_ROOT, ".htm", command) != ERROR_SUCCESS) return shell;
    const char suffix[] = "\\shell\\open\\command";
    if (strlen(command) + sizeof suffix > sizeof command) return shell;
    strcat(command, suffix);
    if (QueryKeyDefault(HKEY_CLASSES_ROOT, command, command) != ERROR_SUCCESS) return shell;
    char* placeholder = FindText(command, "\"%1\"");
    if (!placeholder) placeholder = FindText(command, "%1");
    if (placeholder) *placeholder = '\0';
    // A command that would not fit is not run: the shell's answer stands.
    if (strlen(command) + 1 + strlen(link) + 1 > sizeof command) return shell;
    strcat(command, " ");
    strcat(command, link);
    return HINSTANCE(UINT_PTR(WinExec(command, UINT(showCommand))));
}

// A value that is missing or too long for its 260 bytes counts as a failed lookup.
LONG CHyperLink::QueryKeyDefault(HKEY root, const char* keyName, char* output) {
    HKEY key;
    LONG status = RegOpenKeyExA(root, keyName, 0, KEY_QUERY_VALUE, &key);
    if (status != ERROR_SUCCESS) return status;
    char value[kRegistryValueSize];
    LONG size = sizeof value;
    status = RegQueryValueA(key, nullptr, value, &size);
    RegCloseKey(key);
    if (status != ERROR_SUCCESS) return status;
    if (size <= 0 || value[size - 1] != '\0') return ERROR_MORE_DATA;
    lstrcpyA(output, value);
    return ERROR_SUCCESS;
}

void CHyperLink::ShowLinkError(int result) {
    char unknown[64];
    const char* text = ErrorText(result);
    if (!text) {
        snprintf(unknown, sizeof unknown, "Unknown Error (%d) occurred.", result);
        text = unknown;
    }
    std::string message = std::string("Can't open link:\n\n") + text;
    AfxMessageBox(message.c_str(), MB_ICONEXCLAMATION | MB_OK);
}

void CHyperLink::FitToText() {
    if (!(m_dwOptions & LINK_AUTO_SIZE)) return;
    RECT window, client;
    GetWindowRect(m_hWnd, &window);
    HWND parent = GetParent(m_hWnd);
    if (parent) MapWindowPoints(nullptr, parent, reinterpret_cast<POINT*>(&window), 2);
    GetClientRect(m_hWnd, &client);
    int frameWidth = (window.right - window.left) - (client.right - client.left);
    int frameHeight = (window.bottom - window.top) - (client.bottom - client.top);

    std::string text = WindowText(m_hWnd);
    HDC dc = GetDC(m_hWnd);
    HGDIOBJ previous = m_fontLink ? SelectObject(dc, m_fontLink) : nullptr;
    SIZE extent = {0, 0};
    GetTextExtentPoint32A(dc, text.c_str(), int(text.size()), &extent);
    if (previous) SelectObject(dc, previous);
    ReleaseDC(m_hWnd, dc);

    LONG style = GetWindowLongA(m_hWnd, GWL_STYLE);
    if (style & SS_CENTERIMAGE) {
        int half = ((window.bottom - window.top) - extent.cy) / 2;
        window.top += half;
        window.bottom -= half;
    } else {
        window.bottom = window.top + extent.cy;
    }
    if (style & SS_CENTER) {
        int half = ((window.right - window.left) - extent.cx) / 2;
        window.left += half;
        window.right -= half;
    } else if (style & SS_RIGHT) {
        window.left = window.right - extent.cx;
    } else {
        window.right = window.left + extent.cx;
    }
    MoveWindow(m_hWnd, window.left, window.top, (window.right - window.left) + frameWidth,
               (window.bottom - window.top) + frameHeight, TRUE);
}

void CHyperLink::LoadLinkCursor() {
    if (g_hLinkCursor) return;
    char path[MAX_PATH + 16];
    UINT length = GetWindowsDirectoryA(path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return;
    strcat(path, "\\winhlp32.exe");
    HMODULE helpViewer = LoadLibraryA(path);
    if (!helpViewer) return;
    HCURSOR hand = LoadCursorA(helpViewer, MAKEINTRESOURCEA(106));
    if (hand) g_hLinkCursor = HCURSOR(CopyIcon(HICON(hand)));
    FreeLibrary(helpViewer);
}
