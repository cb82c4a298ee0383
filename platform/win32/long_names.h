// Names outside the ANSI code page. The program works with ANSI paths; a file whose
// name has no exact ANSI form is reached by its short name, and its long name, kept
// here, is what a repaired file is renamed to, now or at the restart, so that it keeps
// the name it had.
#pragma once

#include <windows.h>

#include <string>

std::wstring Widened(const std::string& text, UINT codePage = CP_ACP);
std::string Narrowed(const std::wstring& text, UINT codePage = CP_ACP);

// `path`, as the walk names it, stands for the file whose full name is `longPath`.
void RememberLongName(const std::string& path, const std::wstring& longPath);
// The full long name `path` stands for, or null when it is its own name.
const std::wstring* LongNameOf(const char* path);

// A kernel32 or advapi32 function that the Windows 95 family lacks or has only as a
// stub, looked up at run time; null where it is missing.
template <typename Function>
Function SystemFunction(const char* module, const char* name) {
    HMODULE handle = GetModuleHandleA(module);
    return handle
               ? reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(handle, name)))
               : nullptr;
}
