// Stands in for a web browser: appends its command line, one line per run, to the file
// named like itself with ".log" added.
#include <windows.h>

#include <cstdio>
#include <string>

// A window program, so that starting it opens no console.
int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
    char path[MAX_PATH];
    GetModuleFileNameA(nullptr, path, MAX_PATH);
    FILE* log = fopen((std::string(path) + ".log").c_str(), "ab");
    if (!log) return 1;
    fprintf(log, "%s\n", GetCommandLineA());
    fclose(log);
    return 0;
}
