// Runs the whole scan-and-clean path on each input, written to a file of its
// own in a private directory. Cleaning may delete, repair or rename the file
// and leave "<name>.cln" files and a restart list behind; everything in the
// directory is removed before the next input.
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "engine/clean.h"

namespace {

std::string g_directory;

bool Exists(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

void EmptyDirectory() {
    std::vector<std::string> names;
    if (DIR* d = opendir(g_directory.c_str())) {
        while (dirent* e = readdir(d)) {
            const std::string name = e->d_name;
            if (name != "." && name != "..") names.push_back(name);
        }
        closedir(d);
    }
    for (const std::string& name : names) remove((g_directory + "/" + name).c_str());
}

void RemoveDirectory() {
    EmptyDirectory();
    rmdir(g_directory.c_str());
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    const char* tmp = getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/fuzz_scan_file.XXXXXX";
    if (mkdtemp(&pattern[0]) == nullptr) {
        perror("mkdtemp");
        abort();
    }
    g_directory = pattern;
    setenv("TORVOCLEAN_RESTART_LIST", (g_directory + "/wininit.ini").c_str(), 1);
    atexit(RemoveDirectory);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string path = g_directory + "/input";
    FILE* file = fopen(path.c_str(), "wb");
    if (file == nullptr || fwrite(data, 1, size, file) != size || fclose(file) != 0) abort();

    const char* label = nullptr;
    const ScanOutcome outcome = ScanFile(path.c_str(), &label);
    // Nothing holds files open here, so a deletion or repair is done at once.
    if (outcome == SCAN_DELETED && Exists(path)) __builtin_trap();
    if (outcome == SCAN_DISINFECTED && (!Exists(path) || Exists(path + ".cln"))) __builtin_trap();

    EmptyDirectory();
    return 0;
}
