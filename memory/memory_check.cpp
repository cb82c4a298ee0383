#include "memory/memory_check.h"

#include <windows.h>

#include <cstring>

#include "memory/process_enum.h"
#include "ui/framework/win_app.h"

namespace {

const char kMutexTorvoE[] = "efqpm2300dfhroop";
const char kMutexTorvoA[] = "fsdhqherwqi2001";
const char kFoundTorvoE[] =
    "Win32.Torvo.E@mm is found in memory!\nAfter scanning is recommended a reboot and another scan";
const char kFoundTorvoA[] =
    "Win32.Torvo.A@mm is found in memory!\nAfter scanning is recommended a reboot and another scan";

const int kPathSize = 260;

// Creating the mutex is the probe: one that did not exist is closed again at once.
bool MutexExists(const char* name) {
    HANDLE mutex = CreateMutexA(nullptr, FALSE, name);
    bool existed = GetLastError() == ERROR_ALREADY_EXISTS;
    if (mutex) CloseHandle(mutex);
    return existed;
}

bool IsWin95Family() {
    return (GetVersion() & 0x80000000u) != 0;
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

bool IsWin95WormPath(const char* path) {
    if (strlen(path) <= 8) return false;
    char ending[9];
    LowercaseEnding(path, 8, ending);
    return !strcmp(ending, "load.exe") || !strcmp(ending, ".tmp.exe");
}

bool IsNtWormPath(const char* path) {
    if (strlen(path) <= 12) return false;
    char ending[13];
    LowercaseEnding(path, 12, ending);
    return !strcmp(ending, "explorer.exe") || !strcmp(ending + 4, ".tmp.exe");
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

// Ends the first process the walk finds whose path matches, and on the NT family starts
// it again from the same path. Only that one process is looked at further.
void EndFirstWormProcess(CProcessList& list, bool (*isWormPath)(const char*), bool startAgain) {
    char path[kPathSize];
    memset(path, 0, sizeof path);
    list.Start();
    DWORD processId;
    while (list.GetNext(&processId, path, kPathSize)) {
        path[kPathSize - 1] = '\0';
        if (!isWormPath(path)) continue;
        HANDLE process = OpenProcess(PROCESS_TERMINATE, FALSE, processId);
        if (!process) return;
        TerminateProcess(process, 1);
        CloseHandle(process);
        if (startAgain) StartAgain(path);
        return;
    }
}

}  // namespace

int CheckMemory() {
    CProcessList list;
    if (MutexExists(kMutexTorvoE))
        AfxMessageBox(kFoundTorvoE, MB_OK | MB_ICONEXCLAMATION);
    else if (MutexExists(kMutexTorvoA))
        AfxMessageBox(kFoundTorvoA, MB_OK | MB_ICONEXCLAMATION);
    else
        return 0;
    if (IsWin95Family()) {
        RestoreShell();
        EndFirstWormProcess(list, IsWin95WormPath, false);
    } else if (HMODULE psapi = LoadLibraryA("PSAPI.DLL")) {
        EndFirstWormProcess(list, IsNtWormPath, true);
        FreeLibrary(psapi);
    }
    return 1;
}

int StartupPathCheck(const char*) {
    return 0;
}
