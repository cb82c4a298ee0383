// Drives TorvoClean.exe's dialogs from outside, as a user would: finds the windows,
// presses buttons, chooses folders in the folder browser, reads the status line, the
// list rows and the message boxes, and saves screenshots. Prints "N passed, N failed".
//   uidriver main TORVOCLEAN.EXE ROOT SHOTS
//   uidriver worm TORVOCLEAN.EXE FAKEWORM.EXE SHOTS
//   uidriver link TORVOCLEAN.EXE RECORDER-LOG SHOTS
#include <windows.h>

#include <commctrl.h>
#include <shlobj.h>

#include <cctype>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

namespace {

int g_passed, g_failed;
std::string g_shots;

void Check(bool ok, const std::string& what) {
    if (ok) {
        ++g_passed;
    } else {
        ++g_failed;
        printf("FAIL: %s\n", what.c_str());
        fflush(stdout);
    }
}

bool WaitFor(const std::function<bool()>& condition, int milliseconds = 15000) {
    for (int waited = 0; waited < milliseconds; waited += 50) {
        if (condition()) return true;
        Sleep(50);
    }
    return condition();
}

std::string Text(HWND window) {
    char text[1024] = "";
    SendMessageTimeoutA(window, WM_GETTEXT, sizeof text, LPARAM(text), SMTO_ABORTIFHUNG, 5000,
                        nullptr);
    return text;
}

std::string Upper(std::string text) {
    for (char& c : text) c = char(toupper(static_cast<unsigned char>(c)));
    return text;
}

std::string ClassOf(HWND window) {
    char name[256] = "";
    GetClassNameA(window, name, sizeof name);
    return name;
}

// Saves the screen as a BMP file; the test script turns it into PNG.
void Screenshot(const std::string& name) {
    HDC screen = GetDC(nullptr);
    int width = GetSystemMetrics(SM_CXSCREEN), height = GetSystemMetrics(SM_CYSCREEN);
    HDC memory = CreateCompatibleDC(screen);
    HBITMAP bitmap = CreateCompatibleBitmap(screen, width, height);
    HGDIOBJ old = SelectObject(memory, bitmap);
    BitBlt(memory, 0, 0, width, height, screen, 0, 0, SRCCOPY);
    BITMAPINFOHEADER info = {};
    info.biSize = sizeof info;
    info.biWidth = width;
    info.biHeight = height;
    info.biPlanes = 1;
    info.biBitCount = 24;
    int stride = (width * 3 + 3) & ~3;
    std::vector<char> pixels(size_t(stride) * height);
    GetDIBits(memory, bitmap, 0, height, pixels.data(), reinterpret_cast<BITMAPINFO*>(&info),
              DIB_RGB_COLORS);
    BITMAPFILEHEADER file = {};
    file.bfType = 0x4D42;
    file.bfOffBits = sizeof file + sizeof info;
    file.bfSize = DWORD(file.bfOffBits + pixels.size());
    FILE* out = fopen((g_shots + "\\" + name + ".bmp").c_str(), "wb");
    if (out) {
        fwrite(&file, sizeof file, 1, out);
        fwrite(&info, sizeof info, 1, out);
        fwrite(pixels.data(), 1, pixels.size(), out);
        fclose(out);
    }
    SelectObject(memory, old);
    DeleteObject(bitmap);
    DeleteDC(memory);
    ReleaseDC(nullptr, screen);
}

// The program under test, its windows and its memory.
class Program {
  public:
    Program(const std::string& exe, const std::string& arguments = "") {
        std::string command = "\"" + exe + "\" " + arguments;
        STARTUPINFOA startup = {};
        startup.cb = sizeof startup;
        m_started = CreateProcessA(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr,
                                   nullptr, &startup, &m_process) != 0;
    }
    ~Program() {
        if (IsRunning()) TerminateProcess(m_process.hProcess, 0);
        CloseHandle(m_process.hThread);
        CloseHandle(m_process.hProcess);
    }
    bool IsRunning() const {
        return m_started && WaitForSingleObject(m_process.hProcess, 0) == WAIT_TIMEOUT;
    }
    bool Ended(int milliseconds) const {
        return WaitForSingleObject(m_process.hProcess, DWORD(milliseconds)) == WAIT_OBJECT_0;
    }

    struct Search {
        const Program* program;
        const std::string* title;
        std::vector<HWND>* found;
    };

    static BOOL CALLBACK CollectWindow(HWND window, LPARAM parameter) {
        Search& s = *reinterpret_cast<Search*>(parameter);
        DWORD process = 0;
        GetWindowThreadProcessId(window, &process);
        if (process == s.program->m_process.dwProcessId && IsWindowVisible(window) &&
            (s.title->empty() || Text(window) == *s.title))
            s.found->push_back(window);
        return TRUE;
    }

    // Visible top-level windows of the program, with `title` (any when empty).
    std::vector<HWND> Windows(const std::string& title = "") const {
        std::vector<HWND> found;
        Search search = {this, &title, &found};
        EnumWindows(CollectWindow, LPARAM(&search));
        return found;
    }

    HWND MainDialog() const {
        for (HWND window : Windows("Torvo Detection & Clean"))
            if (!GetWindow(window, GW_OWNER)) return window;
        return nullptr;
    }

    // A message box of the program: a dialog with the static text 65535.
    HWND MessageBoxWindow() const {
        for (HWND window : Windows())
            if (ClassOf(window) == "#32770" && GetDlgItem(window, 0xFFFF)) return window;
        return nullptr;
    }

    void* Remote(size_t size) const {
        return VirtualAllocEx(m_process.hProcess, nullptr, size, MEM_COMMIT, PAGE_READWRITE);
    }
    void Write(void* at, const void* data, size_t size) const {
        WriteProcessMemory(m_process.hProcess, at, data, size, nullptr);
    }
    void Read(const void* at, void* data, size_t size) const {
        ReadProcessMemory(m_process.hProcess, at, data, size, nullptr);
    }
    void Free(void* at) const { VirtualFreeEx(m_process.hProcess, at, 0, MEM_RELEASE); }

    PROCESS_INFORMATION m_process = {};
    bool m_started;
};

// A press as the user makes it: only on an enabled button of an enabled window.
bool Press(HWND dialog, int id) {
    HWND button = GetDlgItem(dialog, id);
    if (!button || !IsWindowEnabled(button) || !IsWindowEnabled(dialog)) return false;
    PostMessageA(button, BM_CLICK, 0, 0);
    return true;
}

// Waits for the button to be enabled (the program enables it once it is done with what
// came before), then presses it.
bool PressWhenEnabled(HWND dialog, int id) {
    WaitFor([&] { return IsWindowEnabled(GetDlgItem(dialog, id)) && IsWindowEnabled(dialog); });
    return Press(dialog, id);
}

// Returns once the window's thread has come back to its message loop.
void Settle(HWND window) {
    SendMessageTimeoutA(window, WM_NULL, 0, 0, SMTO_NORMAL, 15000, nullptr);
}

HWND WaitForMessageBox(const Program& program, int milliseconds = 15000) {
    HWND box = nullptr;
    WaitFor([&] { return (box = program.MessageBoxWindow()) != nullptr; }, milliseconds);
    return box;
}

std::string MessageText(HWND box) {
    return Text(GetDlgItem(box, 0xFFFF));
}

// With two boxes open at once (one per thread), the one that says `text`.
HWND WaitForMessageBoxSaying(const Program& program, const std::string& text) {
    HWND found = nullptr;
    WaitFor([&] {
        for (HWND window : program.Windows())
            if (ClassOf(window) == "#32770" && MessageText(window) == text) found = window;
        return found != nullptr;
    });
    return found;
}

// Answers the message box that appears and returns its text and caption.
std::string Answer(const Program& program, int button, std::string* caption = nullptr) {
    HWND box = WaitForMessageBox(program);
    if (!box) return "(no message box)";
    std::string text = MessageText(box);
    if (caption) *caption = Text(box);
    Press(box, button);
    WaitFor([&] { return !IsWindow(box) || !IsWindowVisible(box); });
    return text;
}

struct Row {
    std::string file, status;
    bool operator==(const Row& o) const { return file == o.file && status == o.status; }
};

std::vector<Row> Rows(const Program& program, HWND dialog) {
    HWND list = GetDlgItem(dialog, 1000);
    int count = int(SendMessageA(list, LVM_GETITEMCOUNT, 0, 0));
    std::vector<Row> rows;
    char* remote = static_cast<char*>(program.Remote(4096));
    for (int i = 0; i < count; ++i) {
        Row row;
        for (int sub = 0; sub < 2; ++sub) {
            LVITEMA item = {};
            item.iSubItem = sub;
            item.pszText = remote + 1024;
            item.cchTextMax = 1024;
            program.Write(remote, &item, sizeof item);
            SendMessageA(list, LVM_GETITEMTEXTA, WPARAM(i), LPARAM(remote));
            char text[1024] = "";
            program.Read(remote + 1024, text, sizeof text);
            (sub == 0 ? row.file : row.status) = text;
        }
        rows.push_back(row);
    }
    program.Free(remote);
    return rows;
}

std::string Status(HWND dialog) {
    return Text(GetDlgItem(dialog, 1001));
}

std::string TreeSelection(const Program& program, HWND browser) {
    HWND tree = FindWindowExA(browser, nullptr, "SysTreeView32", nullptr);
    HTREEITEM item = HTREEITEM(SendMessageA(tree, TVM_GETNEXTITEM, TVGN_CARET, 0));
    if (!item) return "";
    char* remote = static_cast<char*>(program.Remote(1024));
    TVITEMA query = {};
    query.mask = TVIF_TEXT;
    query.hItem = item;
    query.pszText = remote + 256;
    query.cchTextMax = 512;
    program.Write(remote, &query, sizeof query);
    SendMessageA(tree, TVM_GETITEMA, 0, LPARAM(remote));
    char text[512] = "";
    program.Read(remote + 256, text, sizeof text);
    program.Free(remote);
    return text;
}

HWND WaitForBrowser(const Program& program) {
    HWND browser = nullptr;
    WaitFor([&] {
        for (HWND window : program.Windows())
            if (ClassOf(window) == "#32770" &&
                FindWindowExA(window, nullptr, "SysTreeView32", nullptr))
                browser = window;
        return browser != nullptr;
    });
    return browser;
}

// Chooses `folder` in the folder browser (or cancels it when `folder` is empty).
bool ChooseFolder(const Program& program, HWND dialog, const std::string& folder) {
    if (!Press(dialog, 3)) return false;
    HWND browser = WaitForBrowser(program);
    if (!browser) return false;
    if (folder.empty()) {
        bool cancelled = Press(browser, IDCANCEL);
        WaitFor([&] { return !IsWindow(browser); });
        Settle(dialog);
        return cancelled;
    }
    char* remote = static_cast<char*>(program.Remote(MAX_PATH));
    program.Write(remote, folder.c_str(), folder.size() + 1);
    std::string last = folder.substr(folder.find_last_of('\\', folder.size() - 2) + 1);
    if (!last.empty() && last.back() == '\\') last.pop_back();
    bool selected = false;
    for (int attempt = 0; attempt < 5 && !selected; ++attempt) {
        SendMessageA(browser, BFFM_SETSELECTIONA, TRUE, LPARAM(remote));
        selected = WaitFor(
            [&] {
                std::string shown = Upper(TreeSelection(program, browser));
                return !shown.empty() && shown.find(Upper(last)) != std::string::npos;
            },
            2000);
    }
    program.Free(remote);
    Press(browser, IDOK);
    WaitFor([&] { return !IsWindow(browser); });
    Settle(dialog);
    return selected;
}

std::vector<std::string> Listing(const std::string& folder) {
    std::vector<std::string> names;
    WIN32_FIND_DATAA entry;
    HANDLE find = FindFirstFileA((folder + "\\*.*").c_str(), &entry);
    if (find == INVALID_HANDLE_VALUE) return names;
    do {
        if (!(entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) names.push_back(entry.cFileName);
    } while (FindNextFileA(find, &entry));
    FindClose(find);
    return names;
}

// The control's pixels on the screen, one COLORREF each, row by row.
std::vector<COLORREF> Pixels(HWND control, int* width, int* height) {
    RECT rect;
    GetWindowRect(control, &rect);
    *width = rect.right - rect.left;
    *height = rect.bottom - rect.top;
    HDC screen = GetDC(nullptr);
    std::vector<COLORREF> pixels;
    for (int y = 0; y < *height; ++y)
        for (int x = 0; x < *width; ++x)
            pixels.push_back(GetPixel(screen, rect.left + x, rect.top + y));
    ReleaseDC(nullptr, screen);
    return pixels;
}

// The text is drawn in `colour` and underlined: some row is mostly that colour.
bool DrawnUnderlinedIn(HWND control, COLORREF colour) {
    int width, height;
    std::vector<COLORREF> pixels = Pixels(control, &width, &height);
    int best = 0;
    for (int y = 0; y < height; ++y) {
        int run = 0;
        for (int x = 0; x < width; ++x) run += pixels[size_t(y * width + x)] == colour;
        best = run > best ? run : best;
    }
    return width > 0 && best * 10 >= width * 8;
}

bool DrawnIn(HWND control, COLORREF colour) {
    int width, height;
    for (COLORREF pixel : Pixels(control, &width, &height))
        if (pixel == colour) return true;
    return false;
}

const COLORREF kBlue = RGB(0, 0, 255), kTeal = RGB(0, 128, 128), kPurple = RGB(128, 0, 128);

// Waits for the main dialog to show and be painted (its link is blue from the start);
// null (and a failed check) when it does not.
HWND OpenMainDialog(const Program& program) {
    HWND dialog = nullptr;
    Check(WaitFor([&] { return (dialog = program.MainDialog()) != nullptr; }), "the dialog opens");
    if (!dialog) return nullptr;
    Check(WaitFor([&] { return DrawnUnderlinedIn(GetDlgItem(dialog, 1002), kBlue); }),
          "the dialog is drawn, its link underlined and blue");
    return dialog;
}

bool FocusIs(HWND dialog, int id) {
    GUITHREADINFO info = {};
    info.cbSize = sizeof info;
    GetGUIThreadInfo(GetWindowThreadProcessId(dialog, nullptr), &info);
    return info.hwndFocus == GetDlgItem(dialog, id);
}

// Keys go to the focus of the foreground window: wait until that is control `id`.
bool WaitForKeyFocus(HWND window, int id) {
    return WaitFor([&] { return GetForegroundWindow() == window && FocusIs(window, id); });
}

const char kNotFound[] = "Torvo was not found on selected path.";
const char kRestart[] =
    "You need to restart your computer in order to complete the disinfection process.";

// Scans `folder` and returns the closing message.
std::string Scan(const Program& program, HWND dialog, const std::string& folder,
                 bool shots = false) {
    if (!ChooseFolder(program, dialog, folder)) return "(folder not chosen)";
    if (!PressWhenEnabled(dialog, 1)) return "(Scan disabled)";
    HWND box = WaitForMessageBox(program, 120000);
    if (!box) return "(no closing message)";
    Check(Status(dialog) == "System scan complete", "status after the scan: " + Status(dialog));
    Check(IsWindowEnabled(GetDlgItem(dialog, 1)) && IsWindowEnabled(GetDlgItem(dialog, 3)),
          "buttons enabled again after the scan");
    if (shots) Screenshot("dialog-after-scan");
    std::string caption;
    std::string text = Answer(program, IDOK, &caption);
    Check(caption == "Information", "closing message caption: " + caption);
    return text;
}

void ScenarioMain(const std::string& exe, const std::string& root) {
    Program program(exe);
    HWND dialog = OpenMainDialog(program);
    if (!dialog) return;
    Screenshot("dialog-before-scan");
    Check(!IsWindowEnabled(GetDlgItem(dialog, 1)), "Scan disabled before a folder is chosen");
    Check(WaitFor([&] { return FocusIs(dialog, 2); }), "the focus is on Exit at first");
    Check(Status(dialog) == "Press Scan button to start scan", "first status: " + Status(dialog));
    SendMessageTimeoutA(dialog, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0, SMTO_NORMAL, 15000,
                        nullptr);
    Sleep(500);  // a scan started by mistake would show itself by now
    Check(program.MessageBoxWindow() == nullptr &&
              Status(dialog) == "Press Scan button to start scan",
          "the Scan command without a folder does nothing");

    Check(ChooseFolder(program, dialog, ""), "the browser opens and is cancelled");
    Check(!IsWindowEnabled(GetDlgItem(dialog, 1)), "a cancelled browser changes nothing");

    Check(Scan(program, dialog, root + "\\empty") == kNotFound, "empty folder: not found");
    Check(Rows(program, dialog).empty(), "empty folder: no rows");

    std::string unreadable = root + "\\unreadable";
    Check(Scan(program, dialog, unreadable) == kNotFound, "unreadable file: still not found");
    std::vector<Row> rows = Rows(program, dialog);
    Check(rows.size() == 1 && rows[0] == Row{unreadable + "\\locked.htm", "unable to read file"},
          "unreadable file: one row");

    std::string mixed = root + "\\mixed";
    std::vector<std::string> order = Listing(mixed);
    Check(Scan(program, dialog, mixed, true) == kRestart, "infected files: restart message");
    std::vector<Row> expected;
    const char* labelOf[][3] = {{"page.htm", "infected JS.Torvo.A", "cleaned"},
                                {"broken.exe", "infected Win32.Torvo.A@mm", "unable to clean"},
                                {"busy.htm", "infected JS.Torvo.A", "will be cleaned at startup"},
                                {"worm.eml", "infected Win32.Torvo.E@mm", "deleted"}};
    for (const std::string& name : order)
        for (auto& known : labelOf)
            if (name == known[0]) {
                expected.insert(expected.begin(), Row{mixed + "\\" + name, known[2]});
                expected.insert(expected.begin(), Row{mixed + "\\" + name, known[1]});
            }
    expected.push_back(rows[0]);
    rows = Rows(program, dialog);
    Check(rows == expected, "rows: label above action, newest first, earlier scans below");
    for (const Row& row : rows) printf("  row: %s | %s\n", row.file.c_str(), row.status.c_str());

    // A drive root: the walk builds child paths with one backslash.
    Check(Scan(program, dialog, "D:\\") == kRestart, "drive root scanned");
    rows = Rows(program, dialog);
    Check(!rows.empty() && rows[0] == Row{"D:\\root.htm", "infected JS.Torvo.A"},
          "drive root: " + (rows.empty() ? std::string() : rows[0].file));

    // Exit asks every way: close box, system menu Close, Escape; No keeps the dialog.
    PostMessageA(dialog, WM_CLOSE, 0, 0);
    std::string caption;
    Check(Answer(program, IDNO, &caption) == "Are you sure you want to exit ?" &&
              caption == "Information",
          "the close box asks");
    PostMessageA(dialog, WM_SYSCOMMAND, SC_CLOSE, 0);
    Check(Answer(program, IDNO) == "Are you sure you want to exit ?",
          "the system menu's Close asks");
    PostMessageA(GetDlgItem(dialog, 2), WM_KEYDOWN, VK_ESCAPE, 0);
    Check(Answer(program, IDNO) == "Are you sure you want to exit ?", "Escape asks");
    Check(program.IsRunning() && IsWindowVisible(dialog), "No keeps the dialog");

    // During a scan: No lets it go on, Yes stops the walk and ends at once.
    std::string big = root + "\\big";
    Check(ChooseFolder(program, dialog, big), "big folder chosen");
    PressWhenEnabled(dialog, 1);
    WaitFor([&] { return Status(dialog).find("\\aaa\\") != std::string::npos; });
    Sleep(300);
    Screenshot("dialog-during-scan");
    Press(dialog, 2);
    Check(Answer(program, IDNO) == "Are you sure you want to exit ?", "Exit during a scan asks");
    std::string before = Status(dialog);
    Check(WaitFor([&] { return Status(dialog) != before; }, 5000), "No: the scan goes on");
    Press(dialog, 2);
    HWND confirm = WaitForMessageBox(program);
    Check(confirm != nullptr, "second Exit asks");
    if (confirm) Press(confirm, IDYES);
    Check(program.Ended(15000), "Yes: the program ends");
}

// A worm running at start: its box comes before the dialog, and on the Windows 95
// family the worm's process (a copy of fakeworm under a worm's name) is ended.
void ScenarioWorm(const std::string& exe, const std::string& fakeworm) {
    char temp[MAX_PATH];
    GetTempPathA(MAX_PATH, temp);
    std::string worm = std::string(temp) + "x.tmp.exe", ready = worm + ".ready";
    CopyFileA(fakeworm.c_str(), worm.c_str(), FALSE);
    DeleteFileA(ready.c_str());
    Program wormProcess(worm, "e \"" + ready + "\"");
    WaitFor([&] { return GetFileAttributesA(ready.c_str()) != INVALID_FILE_ATTRIBUTES; });
    Program program(exe);
    HWND box = WaitForMessageBox(program);
    Check(box != nullptr, "the memory check's box appears");
    Check(program.MainDialog() == nullptr, "... before the dialog shows");
    if (box) {
        Check(MessageText(box) ==
                  "Win32.Torvo.E@mm is found in memory!\nAfter scanning is recommended a reboot "
                  "and another scan",
              "memory check text: " + MessageText(box));
        Screenshot("memory-check-at-start");
        Press(box, IDOK);
    }
    HWND dialog = nullptr;
    Check(WaitFor([&] { return (dialog = program.MainDialog()) != nullptr; }),
          "then the dialog opens");
    if (!dialog) return;

    // A second Scan while the first one's memory check waits for the user starts nothing.
    std::string holderPath = std::string(temp) + "holder.exe", held = holderPath + ".ready";
    CopyFileA(fakeworm.c_str(), holderPath.c_str(), FALSE);
    DeleteFileA(held.c_str());
    Program holder(holderPath, "e \"" + held + "\"");
    WaitFor([&] { return GetFileAttributesA(held.c_str()) != INVALID_FILE_ATTRIBUTES; });
    std::string empty = std::string(temp) + "torvo-empty";
    CreateDirectoryA(empty.c_str(), nullptr);
    Check(ChooseFolder(program, dialog, empty), "folder chosen for the scan");
    PressWhenEnabled(dialog, 1);
    HWND memoryBox = WaitForMessageBox(program);
    Check(memoryBox && MessageText(memoryBox).rfind("Win32.Torvo.E@mm is found in memory!", 0) == 0,
          "the scan's memory check reports the worm");
    SendMessageTimeoutA(dialog, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0, SMTO_NORMAL, 15000,
                        nullptr);
    if (memoryBox) Press(memoryBox, IDOK);
    WaitFor([&] { return !IsWindow(memoryBox); });
    std::string closing = Answer(program, IDOK);
    Check(closing == kNotFound, "the scan ends once: " + closing);
    Check(WaitForMessageBox(program, 2000) == nullptr, "and no second scan follows");

    // Exit confirmed while the next scan's memory check waits for the user: the worm's
    // process that the check would end is left alone.
    std::string spared = std::string(temp) + "y.tmp.exe", sparedReady = spared + ".ready";
    CopyFileA(fakeworm.c_str(), spared.c_str(), FALSE);
    DeleteFileA(sparedReady.c_str());
    Program sparedProcess(spared, "- \"" + sparedReady + "\"");
    WaitFor([&] { return GetFileAttributesA(sparedReady.c_str()) != INVALID_FILE_ATTRIBUTES; });
    PressWhenEnabled(dialog, 1);
    memoryBox = WaitForMessageBox(program);
    PostMessageA(dialog, WM_CLOSE, 0, 0);
    HWND confirm = WaitForMessageBoxSaying(program, "Are you sure you want to exit ?");
    Check(confirm != nullptr, "Exit asks while the memory check's box is open");
    if (confirm) Press(confirm, IDYES);
    WaitFor([&] { return !IsWindow(confirm); });
    if (memoryBox) Press(memoryBox, IDOK);
    Check(program.Ended(15000), "the program ends after Yes");
    Check(sparedProcess.IsRunning(), "a worm process is not ended once Exit is confirmed");
    DWORD code = 0;
    Check(wormProcess.Ended(5000) && GetExitCodeProcess(wormProcess.m_process.hProcess, &code) &&
              code == 1,
          "the worm's process was ended with exit code 1");
}

// --- the link control and the About box ----------------------------------------------

POINT CentreOf(HWND window) {
    RECT rect;
    GetWindowRect(window, &rect);
    return POINT{(rect.left + rect.right) / 2, (rect.top + rect.bottom) / 2};
}

// Two presses within the double-click time make a double click, which the link does not
// take for a press: a press waits until that time has passed since the one before.
void Mouse(DWORD flags) {
    static DWORD lastPress;
    bool press = (flags & MOUSEEVENTF_LEFTDOWN) != 0;
    while (press && GetTickCount() - lastPress <= GetDoubleClickTime()) Sleep(50);
    INPUT input = {};
    input.type = INPUT_MOUSE;
    input.mi.dwFlags = flags;
    SendInput(1, &input, sizeof input);
    if (press) lastPress = GetTickCount();
    Sleep(150);
}

// An absolute move in the same input queue as the button events, so that it comes
// before the next of them (SetCursorPos moves the pointer by way of the X server, and
// that move may come late).
void MoveTo(POINT point) {
    int width = GetSystemMetrics(SM_CXSCREEN), height = GetSystemMetrics(SM_CYSCREEN);
    INPUT input = {};
    input.type = INPUT_MOUSE;
    input.mi.dx = (point.x * 65536 + width - 1) / width;
    input.mi.dy = (point.y * 65536 + height - 1) / height;
    input.mi.dwFlags = MOUSEEVENTF_MOVE | MOUSEEVENTF_ABSOLUTE;
    SendInput(1, &input, sizeof input);
    Sleep(150);
}

void Key(WORD key) {
    INPUT input[2] = {};
    input[0].type = input[1].type = INPUT_KEYBOARD;
    input[0].ki.wVk = input[1].ki.wVk = key;
    input[1].ki.dwFlags = KEYEVENTF_KEYUP;
    SendInput(2, input, sizeof input[0]);
    Sleep(200);
}

HWND CaptureIn(HWND window) {
    GUITHREADINFO info = {};
    info.cbSize = sizeof info;
    GetGUIThreadInfo(GetWindowThreadProcessId(window, nullptr), &info);
    return info.hwndCapture;
}

// Puts the pointer on the link, then presses and releases the left button. The press
// waits until the link holds the mouse capture, which shows that the pointer's
// moves reach it: a link that lost the focus may still hold the capture until its next
// move off it, Wine merges moves that queue up, and a tooltip may lie over the spot.
void PointAt(HWND link) {
    POINT centre = CentreOf(link);
    WaitFor([&] {
        MoveTo(centre);
        return CaptureIn(link) == link;
    });
}

void Click(HWND link) {
    PointAt(link);
    Mouse(MOUSEEVENTF_LEFTDOWN);
    Mouse(MOUSEEVENTF_LEFTUP);
}

int Lines(const std::string& path) {
    FILE* file = fopen(path.c_str(), "rb");
    if (!file) return 0;
    int lines = 0;
    for (int c; (c = fgetc(file)) != EOF;) lines += c == '\n';
    fclose(file);
    return lines;
}

// Press the link, move off it and release: the link takes the focus but does not open.
// The release waits until the link has seen the pointer leave (and let the capture go).
void PressAndSlipOff(HWND link, HWND elsewhere) {
    PointAt(link);
    Mouse(MOUSEEVENTF_LEFTDOWN);
    MoveTo(CentreOf(elsewhere));
    WaitFor([&] { return CaptureIn(link) != link; });
    Mouse(MOUSEEVENTF_LEFTUP);
}

std::vector<std::string> ChildTexts(HWND dialog) {
    std::vector<std::string> texts;
    for (HWND child = GetWindow(dialog, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT))
        texts.push_back(Text(child));
    return texts;
}

bool Contains(const std::vector<std::string>& texts, const std::string& text) {
    for (const std::string& t : texts)
        if (t == text) return true;
    return false;
}

HWND WaitForAbout(const Program& program, int milliseconds = 5000) {
    HWND about = nullptr;
    WaitFor(
        [&] {
            return !(program.Windows("About Torvo removal tool").empty()) &&
                   (about = program.Windows("About Torvo removal tool")[0]) != nullptr;
        },
        milliseconds);
    return about;
}

void CheckAboutBox(const Program& program, HWND dialog, WPARAM command, const std::string& log) {
    PostMessageA(dialog, WM_SYSCOMMAND, command, 0);
    HWND about = WaitForAbout(program);
    Check(about != nullptr, "system command " + std::to_string(command) + " opens the About box");
    if (!about) return;
    std::vector<std::string> texts = ChildTexts(about);
    for (const char* text :
         {"Win32.Torvo.A@mm\nWin32.Torvo.E@mm", "OK", "http://www.torvoclean.example/",
          "This tools cleans the infected executables and deletes the files (executables or "
          "emails) "
          "which contains only the virus body. Also the web pages which contains the code added by "
          "the virus will be cleaned.",
          "It is recommended to run this tool twice on all local drives, restarting the computer "
          "after the first execution.",
          "On Windows NT/2000/XP explorer.exe will be terminated and restarted (to eliminate the "
          "virus from memory).",
          "On Windows 95/98/ME the shell will be restored to its default value and the normal "
          "virus process will be terminated from memory."})
        Check(Contains(texts, text), std::string("About box shows: ") + text);
    HWND link = GetDlgItem(about, 1002);
    Check(WaitFor([&] { return DrawnUnderlinedIn(link, kBlue); }),
          "the About box's link starts unvisited");
    Screenshot("about-box");
    int opened = Lines(log);
    Click(link);
    Check(WaitFor([&] { return Lines(log) == opened + 1; }), "the About box's link opens");
    Check(WaitForKeyFocus(about, 1002), "the About box's link has the focus once clicked");
    Key(VK_TAB);
    Check(WaitFor([&] { return !FocusIs(about, 1002) && DrawnIn(link, kPurple); }),
          "the About box's link is purple once left");
    Press(about, IDOK);
    WaitFor([&] { return !IsWindow(about); });
}

void ScenarioLink(const std::string& exe, const std::string& log) {
    Program program(exe);
    HWND dialog = OpenMainDialog(program);
    if (!dialog) return;
    HWND link = GetDlgItem(dialog, 1002), list = GetDlgItem(dialog, 1000);
    RECT rect;
    GetWindowRect(link, &rect);
    Check(rect.right - rect.left < 300, "the link is fitted to its text");

    PressAndSlipOff(link, list);
    Check(WaitForKeyFocus(dialog, 1002) && WaitFor([&] { return DrawnIn(link, kTeal); }),
          "the pressed link has the focus and is teal");
    Sleep(300);  // an opening by mistake would show itself by now
    Check(Lines(log) == 0 && !program.MessageBoxWindow(),
          "press, move off, release: nothing opens");
    Screenshot("link-focused");

    Key(VK_SPACE);
    Check(WaitFor([&] { return Lines(log) == 1; }), "space opens the link");
    Key(VK_TAB);
    Check(WaitFor([&] { return !FocusIs(dialog, 1002) && DrawnIn(link, kPurple); }),
          "opened and left: purple");
    Click(link);
    Check(WaitFor([&] { return Lines(log) == 2; }), "a click opens the link");
    Screenshot("link-visited");

    for (WPARAM command : {WPARAM(15), WPARAM(32)}) {
        PostMessageA(dialog, WM_SYSCOMMAND, command, 0);
        Check(WaitForAbout(program, 1000) == nullptr,
              "system command " + std::to_string(command) + " opens nothing");
    }
    CheckAboutBox(program, dialog, 16, log);
    CheckAboutBox(program, dialog, 31, log);

    PostMessageA(dialog, WM_CLOSE, 0, 0);
    Answer(program, IDYES);
    Check(program.Ended(15000), "the program ends");
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 5) {
        fputs(
            "usage: uidriver main TORVOCLEAN.EXE ROOT SHOTS | worm TORVOCLEAN.EXE FAKEWORM.EXE "
            "SHOTS\n",
            stderr);
        return 2;
    }
    std::string scenario = argv[1];
    g_shots = argv[4];
    if (scenario == "main") ScenarioMain(argv[2], argv[3]);
    if (scenario == "worm") ScenarioWorm(argv[2], argv[3]);
    if (scenario == "link") ScenarioLink(argv[2], argv[3]);
    printf("%d passed, %d failed\n", g_passed, g_failed);
    return g_failed == 0 ? 0 : 1;
}
