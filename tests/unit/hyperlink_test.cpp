// The link control's logic under Wine: error texts, the web-page fallback of OpenLink
// with a recorder standing in for the browser, the fitting to its text and the colours.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

#include "tests/support/recording_app.h"
#include "tests/support/test_files.h"
#include "ui/framework/dialog.h"
#include "ui/framework/win_app.h"
#include "ui/hyperlink.h"

namespace {

RecordingApp theApp;

void SetDefault(const std::string& key, const std::string& value) {
    HKEY handle;
    RegCreateKeyA(HKEY_CLASSES_ROOT, key.c_str(), &handle);
    RegSetValueA(handle, nullptr, REG_SZ, value.c_str(), DWORD(value.size()));
    RegCloseKey(handle);
}

std::string ReadText(const std::string& path) {
    std::string text;
    FILE* file = fopen(path.c_str(), "rb");
    if (!file) return text;
    char buffer[4096];
    size_t got;
    while ((got = fread(buffer, 1, sizeof buffer, file)) > 0) text.append(buffer, got);
    fclose(file);
    return text;
}

TEST(ShowLinkError, EveryCodeHasItsText) {
    struct {
        int code;
        const char* text;
    } cases[] = {
        {0, "The operating system is out\nof memory or resources."},
        {2, "The specified file was not found."},
        {3, "The specified path was not found."},
        {5, "The operating system denied\naccess to the specified file."},
        {8, "There was not enough memory to complete the operation."},
        {11, "The .EXE file is invalid\n(non-Win32 .EXE or error in .EXE image)."},
        {26, "A sharing violation occurred. "},
        {27, "The filename association is\nincomplete or invalid."},
        {28, "The DDE transaction could not\nbe completed because the request timed out."},
        {29, "The DDE transaction failed."},
        {30,
         "The DDE transaction could not\nbe completed because other DDE transactions\nwere "
         "being processed."},
        {31, "There is no application associated\nwith the given filename extension."},
        {32, "The specified dynamic-link library was not found."},
        {4, "Unknown Error (4) occurred."},
        {-7, "Unknown Error (-7) occurred."},
    };
    for (const auto& c : cases) {
        theApp.Clear();
        CHyperLink::ShowLinkError(c.code);
        ASSERT_EQ(theApp.m_boxes.size(), 1u);
        EXPECT_EQ(theApp.m_boxes[0], std::string("Can't open link:\n\n") + c.text) << c.code;
        EXPECT_EQ(theApp.m_types[0], UINT(MB_ICONEXCLAMATION | MB_OK));
    }
}

// The shell cannot open the link text, so the program registered for web pages runs.
TEST(OpenLink, FallsBackOnTheWebPageProgram) {
    std::string dir = testfiles::MakeTempDir("link");
    std::string recorder = dir + "\\recorder.exe";
    CopyFileA(BesideTest("recorder.exe").c_str(), recorder.c_str(), FALSE);
    std::string log = recorder + ".log";
    const char link[] = "no-such-page-anywhere.torvo";
    std::string program = "\"" + recorder + "\"";
    struct {
        std::string commandTemplate, commandRun;
    } cases[] = {
        {program + " \"%1\"", program + "  " + link},
        {program + " %1", program + "  " + link},
        {program, program + " " + link},
        {program + " \"%1\" --new-window", program + "  " + link},
    };
    SetDefault(".htm", "TorvoTestPage");
    for (const auto& c : cases) {
        DeleteFileA(log.c_str());
        SetDefault("TorvoTestPage\\shell\\open\\command", c.commandTemplate);
        HINSTANCE result = CHyperLink::OpenLink(link, SW_SHOW);
        EXPECT_GT(UINT_PTR(result), 31u) << c.commandTemplate;
        for (int i = 0; i < 100 && ReadText(log).empty(); ++i) Sleep(50);
        EXPECT_EQ(ReadText(log), c.commandRun + "\n") << c.commandTemplate;
    }
    // A command that would not fit its buffer is not run; the shell's answer stands.
    DeleteFileA(log.c_str());
    SetDefault("TorvoTestPage\\shell\\open\\command", program + std::string(230, ' ') + "%1");
    std::string longLink(300, 'x');
    EXPECT_LE(UINT_PTR(CHyperLink::OpenLink(longLink.c_str(), SW_SHOW)), 32u);
    Sleep(300);
    EXPECT_EQ(ReadText(log), "");
}

TEST(QueryKeyDefault, MissingOrOverlongValuesFail) {
    char output[520] = "unchanged";
    EXPECT_NE(CHyperLink::QueryKeyDefault(HKEY_CLASSES_ROOT, "No\\Such\\Key\\Torvo", output), 0);
    SetDefault("TorvoTestLong", std::string(300, 'v'));
    EXPECT_NE(CHyperLink::QueryKeyDefault(HKEY_CLASSES_ROOT, "TorvoTestLong", output), 0);
    EXPECT_STREQ(output, "unchanged");
    SetDefault("TorvoTestShort", "value");
    EXPECT_EQ(CHyperLink::QueryKeyDefault(HKEY_CLASSES_ROOT, "TorvoTestShort", output), 0);
    EXPECT_STREQ(output, "value");
}

class LinkWindows : public ::testing::Test {
  protected:
    void SetUp() override {
        m_parent = CreateWindowExA(0, "STATIC", "parent", WS_POPUP, 0, 0, 400, 300, nullptr,
                                   nullptr, nullptr, nullptr);
    }
    void TearDown() override { DestroyWindow(m_parent); }

    HWND Static(const char* text, DWORD style, bool withFont = true) {
        HWND control = CreateWindowExA(0, "STATIC", text, WS_CHILD | WS_VISIBLE | style, 10, 10,
                                       200, 30, m_parent, nullptr, nullptr, nullptr);
        if (withFont)
            SendMessageA(control, WM_SETFONT, WPARAM(GetStockObject(DEFAULT_GUI_FONT)), FALSE);
        return control;
    }
    RECT Placement(HWND control) {
        RECT rect;
        GetWindowRect(control, &rect);
        MapWindowPoints(nullptr, m_parent, reinterpret_cast<POINT*>(&rect), 2);
        return rect;
    }
    COLORREF Colour(CHyperLink& link) {
        HDC dc = CreateCompatibleDC(nullptr);
        SendMessageA(link.m_hWnd, WM_REFLECTED_CTLCOLORSTATIC, WPARAM(dc), 0);
        COLORREF colour = GetTextColor(dc);
        DeleteDC(dc);
        return colour;
    }
    HWND m_parent;
};

TEST_F(LinkWindows, FitsItsTextKeepingItsAlignment) {
    struct {
        DWORD style;
        const char* kept;
    } cases[] = {{SS_LEFT, "left"},
                 {SS_CENTER, "centre"},
                 {SS_RIGHT, "right"},
                 {SS_LEFT | SS_CENTERIMAGE, "vertical centre"}};
    for (const auto& c : cases) {
        CHyperLink link;
        link.Attach(Static("http://www.torvoclean.example/", c.style));
        RECT after = Placement(link.m_hWnd);
        EXPECT_LT(after.right - after.left, 200) << c.kept;
        EXPECT_GT(after.right - after.left, 20) << c.kept;
        if (c.style & SS_CENTERIMAGE) {
            EXPECT_NEAR((after.top + after.bottom) / 2.0, 25, 1) << c.kept;
        } else {
            EXPECT_EQ(after.top, 10) << c.kept;
        }
        double centre = (after.left + after.right) / 2.0;
        switch (c.style & 3) {
            case SS_LEFT:
                EXPECT_EQ(after.left, 10) << c.kept;
                break;
            case SS_CENTER:
                EXPECT_NEAR(centre, 110, 1) << c.kept;
                break;
            case SS_RIGHT:
                EXPECT_EQ(after.right, 210) << c.kept;
                break;
        }
    }
}

TEST_F(LinkWindows, TakesItsTargetFromItsTextAndShowsATargetWithoutText) {
    CHyperLink fromText;
    fromText.Attach(Static("http://a.example/", SS_LEFT));
    EXPECT_EQ(fromText.m_strTarget, "http://a.example/");
    CHyperLink fromTarget;
    fromTarget.m_strTarget = "http://b.example/";
    HWND empty = Static("", SS_LEFT);
    fromTarget.Attach(empty);
    char text[64];
    GetWindowTextA(empty, text, sizeof text);
    EXPECT_STREQ(text, "http://b.example/");
    CHyperLink noFont;
    noFont.Attach(Static("http://c.example/", SS_LEFT, false));
    EXPECT_EQ(noFont.m_dwOptions & LINK_AUTO_SIZE, 0u);
    RECT kept = Placement(noFont.m_hWnd);
    EXPECT_EQ(kept.right - kept.left, 200);
}

TEST_F(LinkWindows, ColourFollowsTheState) {
    CHyperLink link;
    link.Attach(Static("http://www.torvoclean.example/", SS_LEFT));
    EXPECT_EQ(Colour(link), RGB(0, 0, 255));
    link.m_bMouseOver = 1;
    EXPECT_EQ(Colour(link), RGB(0, 0, 255)) << "hovering alone changes nothing";
    link.m_dwOptions |= LINK_HOVER_COLOUR;
    EXPECT_EQ(Colour(link), RGB(255, 0, 0));
    link.m_bMouseOver = 0;
    link.m_bFocused = 1;
    link.m_bOpened = 1;
    EXPECT_EQ(Colour(link), RGB(0, 128, 128));
    link.m_dwOptions |= LINK_NO_FOCUS_COLOUR;
    EXPECT_EQ(Colour(link), RGB(128, 0, 128));
    link.m_bFocused = 0;
    EXPECT_EQ(Colour(link), RGB(128, 0, 128));
    EXPECT_STREQ(link.GetRuntimeClassName(), "CHyperLink");
}

TEST_F(LinkWindows, AFailedOpenIsReportedAndLeavesTheLinkUnvisited) {
    SetDefault(".htm", "TorvoNoSuchType");
    CHyperLink link;
    link.Attach(Static("no-such-page-anywhere.torvo", SS_LEFT));
    theApp.m_boxes.clear();
    link.FollowLink();
    ASSERT_EQ(theApp.m_boxes.size(), 1u);
    EXPECT_EQ(theApp.m_boxes[0].rfind("Can't open link:\n\n", 0), 0u);
    EXPECT_EQ(link.m_bOpened, 0);
}

}  // namespace
