#include "app/windows/shutdown.h"

#include <windows.h>

#include "platform/win32/family.h"

void FatalShutdownError() {
    MessageBoxA(nullptr, "Error while shutting down", "ERROR", 0);
    ExitProcess(0);
}

namespace {

// The NT family lets a process restart Windows only with the shutdown privilege
// enabled in its token.
void EnableShutdownPrivilege() {
    HANDLE token;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token))
        FatalShutdownError();
    TOKEN_PRIVILEGES privileges = {};
    privileges.PrivilegeCount = 1;
    privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
    BOOL found =
        LookupPrivilegeValueA(nullptr, "SeShutdownPrivilege", &privileges.Privileges[0].Luid);
    if (found) {
        AdjustTokenPrivileges(token, FALSE, &privileges, 0, nullptr, nullptr);
        // A privilege the account does not hold leaves ERROR_NOT_ALL_ASSIGNED behind.
        found = GetLastError() == ERROR_SUCCESS;
    }
    CloseHandle(token);
    if (!found) FatalShutdownError();
}

}  // namespace

// The Windows 95 family has no tokens (OpenProcessToken fails there) and needs none.
void RestartComputer() {
    if (!IsWin95Family()) EnableShutdownPrivilege();
    if (!ExitWindowsEx(EWX_REBOOT, 0)) FatalShutdownError();
}
