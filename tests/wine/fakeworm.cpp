// Plays the running worm for the memory-check tests: creates the worm's mutexes
// (variant a, e, both "ae", or none "-"), creates READY, then waits until it is ended
// (at most two minutes). Copies of it run under the names the check looks for.
//   fakeworm a|e|ae|- READY
#include <windows.h>

#include <cstring>

int main(int argc, char** argv) {
    if (argc != 3) return 2;
    const char* variants = argv[1];
    if (strchr(variants, 'a')) CreateMutexA(nullptr, FALSE, "fsdhqherwqi2001");
    if (strchr(variants, 'e')) CreateMutexA(nullptr, FALSE, "efqpm2300dfhroop");
    HANDLE ready = CreateFileA(argv[2], GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    CloseHandle(ready);
    Sleep(120000);
    return 0;
}
