// Plays the running worm for the memory-check tests: creates the worm's mutexes
// (variant a, e, both "ae", or none "-"), creates READY, then waits until it is ended
// (at most two minutes). Copies of it run under the names the check looks for. Started
// again without arguments, as the check starts an ended shell, it leaves its own path
// with ".again" appended and ends.
//   fakeworm a|e|ae|- READY
#include <windows.h>

#include <cstring>

void LeaveMark(const char* path) {
    HANDLE mark = CreateFileA(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    CloseHandle(mark);
}

int main(int argc, char** argv) {
    if (argc == 1) {
        char again[MAX_PATH + 8];
        DWORD length = GetModuleFileNameA(nullptr, again, MAX_PATH);
        if (length == 0 || length >= MAX_PATH) return 2;
        strcpy(again + length, ".again");
        LeaveMark(again);
        return 0;
    }
    if (argc != 3) return 2;
    const char* variants = argv[1];
    if (strchr(variants, 'a')) CreateMutexA(nullptr, FALSE, "fsdhqherwqi2001");
    if (strchr(variants, 'e')) CreateMutexA(nullptr, FALSE, "efqpm2300dfhroop");
    LeaveMark(argv[2]);
    Sleep(120000);
    return 0;
}
