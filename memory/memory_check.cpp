#include "memory/memory_check.h"

#include <windows.h>

#include <cstring>

#include "memory/process_enum.h"
#include "platform/win32/family.h"

namespace {

const char kMutexTorvoE[] = "efqpm2300dfhroop";
const char kMutexTorvoA[] = "fsdhqherwqi2001";
const char kFoundTorvoE[] =
    "Win32.Torvo.E@mm is found in memory!\nAfter scanning is recommended a reboot and another scan";
const char kFoundTorvoA[] =
    "Win32.Torvo.A@mm is found in memory!\nAfter scanning is recommended a reboot and another scan";

const int kPathSize = 260;

// Creating the mutex is the probe: one that did not exist is closed again at once. A
// system that leaves the last error alone for a new mutex must not show a stale one.
bool MutexExists(const char* name) {
    SetLastError(0);
    HANDLE mutex = CreateMutexA(nullptr, FALSE, name);
    bool existed = GetLastError() == ERROR_ALREADY_EXISTS;
    if (mutex) CloseHandle(mutex);
    return existed;
}

// The worm sets the Windows 95 family's shell to itself in system.ini.
void RestoreShell() {
    char path[kPathSize];
    const char fileName[] = "\\system.ini";
    UINT length = GetWindowsDirectoryA(path, 250);
    if (length == 0 || length >= 250 || length + sizeof fileName > sizeof path) return;
    memcpy(path + length, fileName, sizeof fileName);
    WritePrivateProfileStringA("boot", "Shell", "explorer.exe", path);
}

// The last `count` characters of `path`, lowercased (ASCII only), into `ending`.
void LowercaseEnding(const char* path, size_t count, char* ending) {
    const char* start = path + strlen(path) - count;
    for (size_t i = 0; i < count; ++i) {
        char c = start[i];
        ending[i] = (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c;
    }
    ending[count] = '\0';
}

// What a process path tells: nothing, the worm's own process, or the NT family's shell,
// which the worm infects and which has to run again once ended.
enum ProcessKind { OTHER_PROCESS, WORM_PROCESS, SHELL_PROCESS };

ProcessKind KindOnWin95Family(const char* path) {
    if (strlen(path) <= 8) return OTHER_PROCESS;
    char ending[9];
    LowercaseEnding(path, 8, ending);
    bool worm = !strcmp(ending, "load.exe") || !strcmp(ending, ".tmp.exe");
    return worm ? WORM_PROCESS : OTHER_PROCESS;
}

ProcessKind KindOnNtFamily(const char* path) {
    if (strlen(path) <= 12) return OTHER_PROCESS;
    char ending[13];
    LowercaseEnding(path, 12, ending);
    if (!strcmp(ending, "explorer.exe")) return SHELL_PROCESS;
    return !strcmp(ending + 4, ".tmp.exe") ? WORM_PROCESS : OTHER_PROCESS;
}

// The path is quoted: unquoted, "C:\Program Files\x.exe" would start C:\Program.exe.
void StartAgain(const char* path) {
    char command[kPathSize + 2];
    command[0] = '"';
    size_t length = strlen(path);
    memcpy(command + 1, path, length);
    command[length + 1] = '"';
    command[length + 2] = '\0';
    WinExec(command, SW_SHOW);
}

// Ends the first process the walk finds that the worm runs in, and starts the shell
// again when that was the shell. Only that one process is looked at further, and
// nothing is ended once the user has asked the program to end.
void EndFirstWormProcess(CProcessList& list, ProcessKind (*kindOf)(const char*),
                         CMemoryCheckHost& host) {
    char path[kPathSize];
    memset(path, 0, sizeof path);
    list.Start();
    DWORD processId;
    while (list.GetNext(&processId, path, kPathSize)) {
        path[kPathSize - 1] = '\0';
        ProcessKind kind = kindOf(path);
        if (kind == OTHER_PROCESS) continue;
        if (host.IsExitRequested()) return;
        HANDLE process = OpenProcess(PROCESS_TERMINATE, FALSE, processId);
        if (!process) return;
        TerminateProcess(process, 1);
        CloseHandle(process);
        if (kind == SHELL_PROCESS) StartAgain(path);
        return;
    }
}

}  // namespace

int CheckMemory(CMemoryCheckHost& host) {
    CProcessList list;
    if (MutexExists(kMutexTorvoE))
        host.ShowMessage(kFoundTorvoE, MB_OK | MB_ICONEXCLAMATION);
    else if (MutexExists(kMutexTorvoA))
        host.ShowMessage(kFoundTorvoA, MB_OK | MB_ICONEXCLAMATION);
    else
        return 0;
    // The box waits for the user, who may have closed the program meanwhile.
    if (host.IsExitRequested()) return 1;
    if (IsWin95Family()) {
        RestoreShell();
        EndFirstWormProcess(list, KindOnWin95Family, host);
    } else if (HMODULE psapi = LoadLibraryA("PSAPI.DLL")) {
        EndFirstWormProcess(list, KindOnNtFamily, host);
        FreeLibrary(psapi);
    }
    return 1;
}

int StartupPathCheck(const char*) {
    return 0;
}
