// A static text control that looks and acts like a web link: underlined, coloured by
// state, a hand cursor, a tooltip with its target; a click or the space key opens it.
#pragma once

#include <string>

#include "ui/framework/wnd.h"

const DWORD LINK_UNDERLINE = 0x01;
const DWORD LINK_HOVER_COLOUR = 0x02;
const DWORD LINK_AUTO_SIZE = 0x04;
const DWORD LINK_OPEN_ON_PRESS = 0x08;
const DWORD LINK_FOCUS_ON_CLICK = 0x10;
const DWORD LINK_KEEP_CURSOR = 0x20;
const DWORD LINK_NO_FOCUS_COLOUR = 0x40;

extern const COLORREF g_crLink;
extern const COLORREF g_crFocus;
extern const COLORREF g_crOpened;
extern const COLORREF g_crHover;
extern HCURSOR g_hLinkCursor;

class CHyperLink : public CStatic {
  public:
    CHyperLink();
    ~CHyperLink() override;
    const char* GetRuntimeClassName() const override { return "CHyperLink"; }

    void Attach(HWND hWnd) override;
    bool PreTranslateMessage(MSG* message) override;

    void FollowLink();
    void FitToText();

    static HINSTANCE OpenLink(const char* link, int showCommand);
    static void ShowLinkError(int result);
    static LONG QueryKeyDefault(HKEY root, const char* keyName, char* output);
    static void LoadLinkCursor();

    int m_bFocused;
    int m_bMouseOver;
    int m_bOpened;
    DWORD m_dwOptions;
    std::string m_strTarget;
    HFONT m_fontLink;
    HWND m_tipCtrl;

  private:
    static LRESULT CALLBACK WindowProc(HWND hWnd, UINT message, WPARAM wParam, LPARAM lParam);
    bool HandleMessage(UINT message, WPARAM wParam, LPARAM lParam, LRESULT* result);
    COLORREF TextColour() const;
    void OnMouseMove(LPARAM position);
    void Redraw() const { InvalidateRect(m_hWnd, nullptr, TRUE); }
    void CreateLinkFont();
    void CreateToolTip();

    WNDPROC m_pfnStaticProc;
};
