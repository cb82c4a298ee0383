// A stand-in for PSAPI.DLL that reports more processes than the enumerator keeps:
// the caller's own id first, then ids of processes that do not exist, 600 in all.
// The module path it reports for the caller is 300 characters long.
#include <windows.h>

#include <cstring>

extern "C" {

__declspec(dllexport) BOOL WINAPI EnumProcesses(DWORD* ids, DWORD bytes, DWORD* written) {
    DWORD count = 0;
    for (DWORD i = 0; i < 600 && (count + 1) * sizeof(DWORD) <= bytes; ++i)
        ids[count++] = i == 0 ? GetCurrentProcessId() : 0x7FFF0000 + i * 4;
    *written = count * sizeof(DWORD);
    return TRUE;
}

__declspec(dllexport) BOOL WINAPI
    EnumProcessModules(HANDLE, HMODULE* modules, DWORD bytes, DWORD* needed) {
    if (bytes >= sizeof(HMODULE)) modules[0] = GetModuleHandleA(nullptr);
    *needed = sizeof(HMODULE);
    return TRUE;
}

__declspec(dllexport) DWORD WINAPI GetModuleFileNameExA(HANDLE, HMODULE, char* path, DWORD size) {
    char longPath[301];
    memset(longPath, 'p', 300);
    longPath[0] = 'C', longPath[1] = ':', longPath[2] = '\\';
    longPath[300] = '\0';
    if (size == 0) return 0;
    DWORD copied = size - 1 < 300 ? size - 1 : 300;
    memcpy(path, longPath, copied);
    path[copied] = '\0';
    return copied;
}
}
