// The process enumerators and the memory check, under Wine in a prefix of each family.
// Copies of fakeworm.exe play the worm: they hold its mutexes and run under its names.
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "memory/memory_check.h"
#include "memory/process_enum.h"
#include "tests/support/recording_app.h"
#include "tests/support/test_files.h"
#include "ui/framework/win_app.h"

namespace {

// Answers every message box shown through the application object, and keeps its text.
RecordingApp theApp;

const char kFoundE[] =
    "Win32.Torvo.E@mm is found in memory!\nAfter scanning is recommended a reboot and another scan";
const char kFoundA[] =
    "Win32.Torvo.A@mm is found in memory!\nAfter scanning is recommended a reboot and another scan";

std::string Lower(std::string text) {
    for (char& c : text) c = char(tolower(static_cast<unsigned char>(c)));
    return text;
}

bool EndsWith(const std::string& text, const std::string& ending) {
    return text.size() >= ending.size() &&
           Lower(text).compare(text.size() - ending.size(), ending.size(), ending) == 0;
}

bool IsWin95Family() {
    return testfiles::PlatformFamily() == "95";
}

std::map<DWORD, std::string> RunningProcesses() {
    std::map<DWORD, std::string> processes;
    CProcessList list;
    list.Start();
    DWORD id;
    char path[260] = {};
    while (list.GetNext(&id, path, 260)) processes[id] = path;
    return processes;
}

// The process the check should act on: the first in the walk with a worm's ending.
DWORD FirstWormProcess() {
    CProcessList list;
    list.Start();
    DWORD id;
    char path[260] = {};
    while (list.GetNext(&id, path, 260)) {
        std::string p = path;
        bool match =
            IsWin95Family()
                ? p.size() > 8 && (EndsWith(p, "load.exe") || EndsWith(p, ".tmp.exe"))
                : p.size() > 12 && (EndsWith(p, "explorer.exe") || EndsWith(p, ".tmp.exe"));
        if (match) return id;
    }
    return 0;
}

class Worm {
  public:
    Worm(const std::string& dir, const std::string& name, const char* variants) {
        m_path = dir + "\\" + name;
        CopyFileA(BesideTest("fakeworm.exe").c_str(), m_path.c_str(), FALSE);
        std::string ready = m_path + ".ready";
        DeleteFileA(ready.c_str());
        std::string command = "\"" + m_path + "\" " + variants + " \"" + ready + "\"";
        STARTUPINFOA startup = {};
        startup.cb = sizeof startup;
        if (!CreateProcessA(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                            &startup, &m_process))
            ADD_FAILURE() << "cannot start " << m_path;
        for (int i = 0; i < 200 && !testfiles::Exists(ready); ++i) Sleep(50);
    }
    ~Worm() {
        if (IsRunning()) TerminateProcess(m_process.hProcess, 0);
        WaitForSingleObject(m_process.hProcess, 5000);
        CloseHandle(m_process.hThread);
        CloseHandle(m_process.hProcess);
    }
    DWORD Id() const { return m_process.dwProcessId; }
    bool IsRunning() const { return WaitForSingleObject(m_process.hProcess, 0) == WAIT_TIMEOUT; }
    DWORD ExitCode() const {
        WaitForSingleObject(m_process.hProcess, 5000);
        DWORD code = 0;
        GetExitCodeProcess(m_process.hProcess, &code);
        return code;
    }

  private:
    std::string m_path;
    PROCESS_INFORMATION m_process = {};
};

class MemoryCheck : public ::testing::Test {
  protected:
    void SetUp() override {
        m_dir = testfiles::MakeTempDir("memory");
        theApp.Clear();
        char windows[MAX_PATH];
        GetWindowsDirectoryA(windows, MAX_PATH);
        m_systemIni = std::string(windows) + "\\system.ini";
        WritePrivateProfileStringA("boot", "Shell", "worm.exe", m_systemIni.c_str());
    }
    std::string Shell() {
        char value[260];
        GetPrivateProfileStringA("boot", "Shell", "", value, sizeof value, m_systemIni.c_str());
        return value;
    }
    std::string m_dir, m_systemIni;
};

TEST(ProcessEnum, HandsOutEveryProcessOnceWithItsPath) {
    CProcessList list;
    list.Start();
    std::set<DWORD> seen;
    DWORD id;
    char path[260] = {};
    std::string own;
    while (list.GetNext(&id, path, 260)) {
        EXPECT_TRUE(seen.insert(id).second) << "twice: " << id;
        if (id == GetCurrentProcessId()) own = path;
    }
    EXPECT_TRUE(EndsWith(own, "memory_test.exe")) << own;
    memset(path, 'X', sizeof path);
    EXPECT_EQ(list.GetNext(&id, path, 260), 0);
    EXPECT_EQ(list.GetNext(&id, path, 260), 0);
    EXPECT_EQ(path[0], 'X');
}

TEST(ProcessEnum, ToolhelpCopiesAreBounded) {
    std::string dir = testfiles::MakeTempDir("bounded");
    std::string name = std::string(200, 'n') + ".exe";
    Worm worm(dir, name, "-");
    for (int size : {10, 260}) {
        CToolhelpProcessEnum walk;
        walk.TakeSnapshot();
        walk.Rewind();
        DWORD id;
        char path[300];
        memset(path, 'X', sizeof path);
        bool found = false;
        while (!found && walk.GetNext(&id, path, size)) {
            found = id == worm.Id();
            if (!found) memset(path, 'X', sizeof path);
        }
        ASSERT_TRUE(found);
        // Wine hands out the file name where Windows 95 gives the whole path.
        if (size == 10) {
            EXPECT_EQ(std::string(path, 10), name.substr(0, 10));
            EXPECT_EQ(path[10], 'X');
        } else {
            EXPECT_TRUE(EndsWith(path, name)) << path;
            EXPECT_EQ(path[259], '\0');
            EXPECT_EQ(path[260], 'X');
        }
    }
}

TEST(ProcessEnum, PsapiKeepsTheFirst512AndSkipsPathsItCannotRead) {
    CPsapiProcessEnum walk(BesideTest("fakepsapi.dll").c_str());
    walk.TakeSnapshot();
    EXPECT_EQ(walk.Rewind(), 1);
    DWORD id;
    char path[260];
    memset(path, 'X', sizeof path);
    ASSERT_EQ(walk.GetNext(&id, path, 260), 1);
    EXPECT_EQ(id, GetCurrentProcessId());
    EXPECT_EQ(strlen(path), 259u);
    memset(path, 'X', sizeof path);
    ASSERT_EQ(walk.GetNext(&id, path, 260), 1);
    EXPECT_EQ(path[0], 'X') << "a process that cannot be opened leaves the buffer alone";
    int count = 2;
    while (walk.GetNext(&id, path, 260)) ++count;
    EXPECT_EQ(count, 512);
    EXPECT_EQ(walk.GetNext(&id, path, 260), 0);
    walk.Rewind();
    EXPECT_EQ(walk.GetNext(&id, path, 260), 1);
}

TEST(ProcessEnum, WithoutTheirProceduresEnumeratorsHandOutNothing) {
    DWORD id = 77;
    char path[260];
    memset(path, 'X', sizeof path);
    CToolhelpProcessEnum toolhelp("ntdll.dll");
    toolhelp.TakeSnapshot();
    EXPECT_EQ(toolhelp.Rewind(), 1);
    EXPECT_EQ(toolhelp.GetNext(&id, path, 260), 0);
    CPsapiProcessEnum psapi("no-such-library.dll");
    psapi.TakeSnapshot();
    psapi.Rewind();
    EXPECT_EQ(psapi.GetNext(&id, path, 260), 0);
    CProcessList none(0);
    EXPECT_EQ(none.Start(), 1);
    EXPECT_EQ(none.GetNext(&id, path, 260), 0);
    EXPECT_EQ(id, 77u);
    EXPECT_EQ(path[0], 'X');
}

TEST_F(MemoryCheck, WithoutTheMutexesNothingHappens) {
    Worm worm(m_dir, "x.tmp.exe", "-");
    EXPECT_EQ(CheckMemory(), 0);
    EXPECT_TRUE(theApp.m_boxes.empty());
    EXPECT_TRUE(worm.IsRunning());
    EXPECT_EQ(Shell(), "worm.exe");
    EXPECT_EQ(StartupPathCheck("."), 0);
}

TEST_F(MemoryCheck, BothMutexesReportOnlyVariantE) {
    Worm holder(m_dir, "holder.exe", "ae");
    EXPECT_EQ(CheckMemory(), 1);
    ASSERT_EQ(theApp.m_boxes.size(), 1u);
    EXPECT_EQ(theApp.m_boxes[0], kFoundE);
    EXPECT_EQ(theApp.m_types[0], UINT(MB_OK | MB_ICONEXCLAMATION));
    EXPECT_TRUE(holder.IsRunning());
}

TEST_F(MemoryCheck, VariantAAloneLeavesNoVariantEMutexBehind) {
    Worm holder(m_dir, "holder.exe", "a");
    EXPECT_EQ(CheckMemory(), 1);
    ASSERT_EQ(theApp.m_boxes.size(), 1u);
    EXPECT_EQ(theApp.m_boxes[0], kFoundA);
    HANDLE leftover = OpenMutexA(SYNCHRONIZE, FALSE, "efqpm2300dfhroop");
    EXPECT_EQ(leftover, nullptr);
    if (leftover) CloseHandle(leftover);
}

TEST_F(MemoryCheck, Win95FamilyRestoresTheShellAndEndsTheFirstWormOnly) {
    if (!IsWin95Family()) GTEST_SKIP() << "Windows 95 family only";
    Worm holder(m_dir, "holder.exe", "e");
    EXPECT_EQ(CheckMemory(), 1);
    EXPECT_EQ(Shell(), "explorer.exe") << "restored even with no worm process";

    Worm tooShort(m_dir, "load.exe", "-");  // a name of 8 characters is never examined
    Worm first(m_dir, "DownLoad.EXE", "-");
    Worm second(m_dir, "x.TMP.exe", "-");
    DWORD expected = FirstWormProcess();
    ASSERT_TRUE(expected == first.Id() || expected == second.Id());
    EXPECT_EQ(CheckMemory(), 1);
    Worm& ended = expected == first.Id() ? first : second;
    Worm& spared = expected == first.Id() ? second : first;
    EXPECT_EQ(ended.ExitCode(), 1u);
    EXPECT_TRUE(spared.IsRunning());
    EXPECT_TRUE(tooShort.IsRunning());
}

TEST_F(MemoryCheck, NtFamilyEndsTheFirstMatchAndStartsItAgain) {
    if (IsWin95Family()) GTEST_SKIP() << "NT family only";
    Worm holder(m_dir, "holder.exe", "a");
    Worm worm(m_dir, "Setup.Tmp.Exe", "-");
    std::map<DWORD, std::string> before = RunningProcesses();
    DWORD expected = FirstWormProcess();
    ASSERT_NE(expected, 0u);
    std::string path = before[expected];
    HANDLE process = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_INFORMATION, FALSE, expected);
    ASSERT_NE(process, nullptr);

    EXPECT_EQ(CheckMemory(), 1);
    EXPECT_EQ(WaitForSingleObject(process, 5000), WAIT_OBJECT_0);
    DWORD code = 0;
    GetExitCodeProcess(process, &code);
    CloseHandle(process);
    EXPECT_EQ(code, 1u);
    EXPECT_EQ(Shell(), "worm.exe") << "the NT family has no shell setting to restore";
    bool startedAgain = false;
    for (int i = 0; i < 50 && !startedAgain; ++i, Sleep(100)) {
        for (const auto& entry : RunningProcesses())
            startedAgain |= entry.second == path && before.count(entry.first) == 0;
    }
    EXPECT_TRUE(startedAgain) << path;
    if (expected != worm.Id()) {
        EXPECT_TRUE(worm.IsRunning()) << "only the first match is ended";
    }
    EXPECT_TRUE(holder.IsRunning());
}

}  // namespace
