// The process enumerators and the memory check, under Wine in a prefix of each family.
// Copies of fakeworm.exe play the worm: they hold its mutexes and run under its names.
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "memory/memory_check.h"
#include "memory/process_enum.h"
#include "tests/support/import_patch.h"
#include "tests/support/recording_app.h"
#include "tests/support/test_files.h"

namespace {

// Answers the check's message boxes and keeps what they said. A user who confirms Exit
// shows as the exit request, from the given question on (the first comes after the box).
class RecordingHost : public CMemoryCheckHost {
  public:
    void ShowMessage(const char* text, unsigned int type) override {
        m_boxes.push_back(text);
        m_types.push_back(type);
    }
    bool IsExitRequested() override { return m_exitFrom >= 0 && m_questions++ >= m_exitFrom; }
    std::vector<std::string> m_boxes;
    std::vector<unsigned int> m_types;
    int m_exitFrom = -1, m_questions = 0;
};

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
    const std::string& Path() const { return m_path; }
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
    RecordingHost m_host;
};

// Runs the check and waits until the process it should end (the first match now) is
// gone: termination completes after TerminateProcess returns.
void CheckAndWaitForTheEnd(CMemoryCheckHost& host) {
    HANDLE first = OpenProcess(SYNCHRONIZE, FALSE, FirstWormProcess());
    EXPECT_EQ(CheckMemory(host), 1);
    if (!first) return;
    EXPECT_EQ(WaitForSingleObject(first, 5000), WAIT_OBJECT_0);
    CloseHandle(first);
}

bool AppearsWithin(const std::string& path, int milliseconds) {
    for (int waited = 0; waited < milliseconds && !testfiles::Exists(path); waited += 50) Sleep(50);
    return testfiles::Exists(path);
}

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
    EXPECT_EQ(CheckMemory(m_host), 0);
    EXPECT_TRUE(m_host.m_boxes.empty());
    EXPECT_TRUE(worm.IsRunning());
    EXPECT_EQ(Shell(), "worm.exe");
    EXPECT_EQ(StartupPathCheck("."), 0);
}

TEST_F(MemoryCheck, BothMutexesReportOnlyVariantE) {
    Worm holder(m_dir, "holder.exe", "ae");
    EXPECT_EQ(CheckMemory(m_host), 1);
    ASSERT_EQ(m_host.m_boxes.size(), 1u);
    EXPECT_EQ(m_host.m_boxes[0], kFoundE);
    EXPECT_EQ(m_host.m_types[0], UINT(MB_OK | MB_ICONEXCLAMATION));
    EXPECT_TRUE(holder.IsRunning());
}

TEST_F(MemoryCheck, VariantAAloneLeavesNoVariantEMutexBehind) {
    Worm holder(m_dir, "holder.exe", "a");
    EXPECT_EQ(CheckMemory(m_host), 1);
    ASSERT_EQ(m_host.m_boxes.size(), 1u);
    EXPECT_EQ(m_host.m_boxes[0], kFoundA);
    HANDLE leftover = OpenMutexA(SYNCHRONIZE, FALSE, "efqpm2300dfhroop");
    EXPECT_EQ(leftover, nullptr);
    if (leftover) CloseHandle(leftover);
}

TEST_F(MemoryCheck, Win95FamilyRestoresTheShellAndEndsTheFirstWormOnly) {
    if (!IsWin95Family()) GTEST_SKIP() << "Windows 95 family only";
    Worm holder(m_dir, "holder.exe", "e");
    EXPECT_EQ(CheckMemory(m_host), 1);
    EXPECT_EQ(Shell(), "explorer.exe") << "restored even with no worm process";

    Worm tooShort(m_dir, "load.exe", "-");  // a name of 8 characters is never examined
    Worm first(m_dir, "DownLoad.EXE", "-");
    Worm second(m_dir, "x.TMP.exe", "-");
    DWORD expected = FirstWormProcess();
    ASSERT_TRUE(expected == first.Id() || expected == second.Id());
    EXPECT_EQ(CheckMemory(m_host), 1);
    Worm& ended = expected == first.Id() ? first : second;
    Worm& spared = expected == first.Id() ? second : first;
    EXPECT_EQ(ended.ExitCode(), 1u);
    EXPECT_TRUE(spared.IsRunning());
    EXPECT_TRUE(tooShort.IsRunning());
}

// The shell is started again from its path; the worm's own process never is.
TEST_F(MemoryCheck, NtFamilyEndsTheFirstMatchAndStartsOnlyTheShellAgain) {
    if (IsWin95Family()) GTEST_SKIP() << "NT family only";
    Worm holder(m_dir, "holder.exe", "a");
    Worm worm(m_dir, "Setup.Tmp.Exe", "-");
    Worm shell(m_dir, "Explorer.Exe", "-");
    DWORD first = FirstWormProcess();
    ASSERT_NE(first, 0u);

    CheckAndWaitForTheEnd(m_host);
    EXPECT_EQ(worm.IsRunning(), worm.Id() != first) << "only the first match is ended";
    EXPECT_EQ(shell.IsRunning(), shell.Id() != first) << "only the first match is ended";
    for (int i = 0; i < 3 && (worm.IsRunning() || shell.IsRunning()); ++i)
        CheckAndWaitForTheEnd(m_host);
    EXPECT_EQ(worm.ExitCode(), 1u);
    EXPECT_EQ(shell.ExitCode(), 1u);
    EXPECT_TRUE(AppearsWithin(shell.Path() + ".again", 5000)) << "the shell runs again";
    EXPECT_FALSE(testfiles::Exists(worm.Path() + ".again")) << "the worm does not";
    EXPECT_EQ(Shell(), "worm.exe") << "the NT family has no shell setting to restore";
    EXPECT_TRUE(holder.IsRunning());
}

// The user confirms Exit while the box is open, or while the walk runs: the worm's
// process is left alone.
TEST_F(MemoryCheck, AfterExitIsConfirmedNothingIsEnded) {
    Worm holder(m_dir, "holder.exe", "e");
    Worm worm(m_dir, "Setup.Tmp.Exe", "-");
    HANDLE first = OpenProcess(SYNCHRONIZE, FALSE, FirstWormProcess());
    ASSERT_NE(first, nullptr);
    for (int exitFrom : {0, 1}) {
        m_host.m_exitFrom = exitFrom;
        m_host.m_questions = 0;
        EXPECT_EQ(CheckMemory(m_host), 1);
        EXPECT_EQ(m_host.m_questions, exitFrom + 1) << exitFrom;
        EXPECT_EQ(WaitForSingleObject(first, 500), WAIT_TIMEOUT) << exitFrom;
    }
    CloseHandle(first);
    if (IsWin95Family()) {
        EXPECT_EQ(Shell(), "explorer.exe") << "the shell is restored before the walk";
    }
}

// Windows 95 leaves the last error alone when it creates a new mutex: an error left
// over from before must not read as a running worm.
ImportPatch* g_pCreateMutex;

HANDLE WINAPI CreateMutexKeepingTheLastError(SECURITY_ATTRIBUTES* security, BOOL owned,
                                             const char* name) {
    DWORD before = GetLastError();
    HANDLE mutex = g_pCreateMutex->Original<decltype(&CreateMutexA)>()(security, owned, name);
    if (GetLastError() == 0) SetLastError(before);
    return mutex;
}

TEST_F(MemoryCheck, AStaleLastErrorIsNoWorm) {
    ImportPatch patch("kernel32.dll", "CreateMutexA",
                      reinterpret_cast<void*>(CreateMutexKeepingTheLastError));
    ASSERT_TRUE(patch.IsActive());
    g_pCreateMutex = &patch;
    SetLastError(ERROR_ALREADY_EXISTS);
    EXPECT_EQ(CheckMemory(m_host), 0);
    EXPECT_TRUE(m_host.m_boxes.empty());
    Worm holder(m_dir, "holder.exe", "a");
    EXPECT_EQ(CheckMemory(m_host), 1) << "a mutex that exists is still found";
    g_pCreateMutex = nullptr;
}

}  // namespace
