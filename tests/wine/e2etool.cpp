// A small Windows tool for the end-to-end tests:
//   e2etool hold PATH read|none READY RELEASE  holds PATH open (letting others read it,
//          or not even that; never letting it be deleted) until RELEASE exists; PATH
//          may hold letters that the ANSI code page lacks
//   e2etool hide PATH                           makes PATH hidden and system
//   e2etool attributes PATH                     prints PATH's attributes in hex
//   e2etool schedule SOURCE [DESTINATION]       as an installer would: puts the deletion
//          of SOURCE, or its rename to DESTINATION (replacing it), on the restart list
//   e2etool pending                             prints the restart list, an entry a line
#include <windows.h>
// After windows.h, which it needs.
#include <shellapi.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "platform/rename_section.h"

namespace {

int Hold(const char* share, const char* ready, const char* release) {
    int count = 0;
    WCHAR** arguments = CommandLineToArgvW(GetCommandLineW(), &count);
    if (!arguments || count < 3) return 1;
    DWORD shareMode = strcmp(share, "read") == 0 ? FILE_SHARE_READ : 0;
    HANDLE file =
        CreateFileW(arguments[2], GENERIC_READ, shareMode, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return 1;
    HANDLE marker = CreateFileA(ready, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    CloseHandle(marker);
    for (int i = 0; i < 1200 && GetFileAttributesA(release) == INVALID_FILE_ATTRIBUTES; ++i)
        Sleep(100);
    CloseHandle(file);
    return 0;
}

bool IsWin95Family() {
    return (GetVersion() & 0x80000000u) != 0;
}

std::string WininitPath() {
    char folder[MAX_PATH];
    GetWindowsDirectoryA(folder, MAX_PATH);
    return std::string(folder) + "\\wininit.ini";
}

std::string ReadText(const std::string& path) {
    std::string text;
    if (FILE* file = fopen(path.c_str(), "rb")) {
        char buffer[4096];
        for (size_t got; (got = fread(buffer, 1, sizeof buffer, file)) > 0;)
            text.append(buffer, got);
        fclose(file);
    }
    return text;
}

// Installers of the Windows 95 family write the [rename] section of wininit.ini; on the
// NT family they ask MoveFileEx.
int Schedule(const char* source, const char* destination) {
    if (!IsWin95Family()) {
        DWORD flags = MOVEFILE_DELAY_UNTIL_REBOOT | (destination ? MOVEFILE_REPLACE_EXISTING : 0);
        return MoveFileExA(source, destination, flags) ? 0 : 1;
    }
    std::string path = WininitPath(), text = ReadText(path);
    std::vector<RenameEntry> entries = ReadRenameEntries(text);
    entries.push_back({destination ? destination : "NUL", source});
    text = ReplaceRenameEntries(text, entries);
    FILE* file = fopen(path.c_str(), "wb");
    if (!file) return 1;
    bool written = fwrite(text.data(), 1, text.size(), file) == text.size();
    return fclose(file) == 0 && written ? 0 : 1;
}

// NT family: "SOURCE => DESTINATION" (a "!" before a rename that replaces); Windows 95
// family: the section's lines.
int PrintPending() {
    if (IsWin95Family()) {
        for (const RenameEntry& entry : ReadRenameEntries(ReadText(WininitPath())))
            printf("%s=%s\n", entry.key.c_str(), entry.value.c_str());
        return 0;
    }
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "System\\CurrentControlSet\\Control\\Session Manager", 0,
                      KEY_QUERY_VALUE, &key) != 0)
        return 1;
    DWORD type = 0, size = 0;
    LONG status =
        RegQueryValueExW(key, L"PendingFileRenameOperations", nullptr, &type, nullptr, &size);
    std::wstring data(size / sizeof(WCHAR) + 1, L'\0');
    if (status == 0)
        status = RegQueryValueExW(key, L"PendingFileRenameOperations", nullptr, &type,
                                  reinterpret_cast<BYTE*>(&data[0]), &size);
    RegCloseKey(key);
    if (status != 0) return status == ERROR_FILE_NOT_FOUND ? 0 : 1;
    std::vector<std::string> strings;
    for (size_t at = 0; at < size / sizeof(WCHAR);) {
        size_t end = data.find(L'\0', at);
        char utf8[4 * MAX_PATH] = "";
        WideCharToMultiByte(CP_UTF8, 0, data.substr(at, end - at).c_str(), -1, utf8, sizeof utf8,
                            nullptr, nullptr);
        strings.push_back(utf8);
        at = end + 1;
    }
    for (size_t i = 0; i + 1 < strings.size(); i += 2)
        printf("%s => %s\n", strings[i].c_str(), strings[i + 1].c_str());
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 6 && strcmp(argv[1], "hold") == 0) return Hold(argv[3], argv[4], argv[5]);
    if (argc == 3 && strcmp(argv[1], "hide") == 0)
        return SetFileAttributesA(argv[2], FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM) ? 0 : 1;
    if (argc == 3 && strcmp(argv[1], "attributes") == 0) {
        printf("%lx\n", static_cast<unsigned long>(GetFileAttributesA(argv[2])));
        return 0;
    }
    if ((argc == 3 || argc == 4) && strcmp(argv[1], "schedule") == 0)
        return Schedule(argv[2], argc == 4 ? argv[3] : nullptr);
    if (argc == 2 && strcmp(argv[1], "pending") == 0) return PrintPending();
    fputs(
        "usage: e2etool hold PATH read|none READY RELEASE | hide PATH | attributes PATH |\n"
        "       schedule SOURCE [DESTINATION] | pending\n",
        stderr);
    return 2;
}
