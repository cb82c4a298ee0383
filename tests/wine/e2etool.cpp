// A small Windows tool for the end-to-end tests:
//   e2etool hold PATH read|none READY RELEASE  holds PATH open (letting others read it,
//          or not even that; never letting it be deleted) until RELEASE exists; PATH
//          may hold letters that the ANSI code page lacks
//   e2etool hide PATH                           makes PATH hidden and system
//   e2etool attributes PATH                     prints PATH's attributes in hex
#include <windows.h>
// After windows.h, which it needs.
#include <shellapi.h>

#include <cstdio>
#include <cstring>

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

}  // namespace

int main(int argc, char** argv) {
    if (argc == 6 && strcmp(argv[1], "hold") == 0) return Hold(argv[3], argv[4], argv[5]);
    if (argc == 3 && strcmp(argv[1], "hide") == 0)
        return SetFileAttributesA(argv[2], FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM) ? 0 : 1;
    if (argc == 3 && strcmp(argv[1], "attributes") == 0) {
        printf("%lx\n", static_cast<unsigned long>(GetFileAttributesA(argv[2])));
        return 0;
    }
    fputs("usage: e2etool hold PATH read|none READY RELEASE | hide PATH | attributes PATH\n",
          stderr);
    return 2;
}
