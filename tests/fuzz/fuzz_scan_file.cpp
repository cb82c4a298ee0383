// Runs the whole scan-and-clean path on each input, written to a file of its
// own in a private directory. Cleaning may delete, repair or rename the file
// and leave "<name>.cln" files and a restart list behind; everything in the
// directory is removed before the next input.
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "engine/clean.h"
#include "platform/posix/posix_platform.h"

namespace {

std::string g_directory;

bool Exists(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

std::vector<std::string> ListDirectory() {
    std::vector<std::string> names;
    if (DIR* d = opendir(g_directory.c_str())) {
        while (dirent* e = readdir(d)) {
            const std::string name = e->d_name;
            if (name != "." && name != ".." && name != "wininit.ini") names.push_back(name);
        }
        closedir(d);
    }
    return names;
}

void EmptyDirectory() {
    for (const std::string& name : ListDirectory()) remove((g_directory + "/" + name).c_str());
    remove((g_directory + "/wininit.ini").c_str());
}

bool HoldsExactly(const std::string& path, const uint8_t* data, size_t size) {
    FILE* file = fopen(path.c_str(), "rb");
    if (file == nullptr) return false;
    std::vector<uint8_t> bytes(size + 1);
    size_t got = fread(bytes.data(), 1, bytes.size(), file);
    fclose(file);
    return got == size && std::equal(data, data + size, bytes.begin());
}

void RemoveDirectory() {
    EmptyDirectory();
    rmdir(g_directory.c_str());
}

}  // namespace

PosixPlatform* g_host;

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    const char* tmp = getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/fuzz_scan_file.XXXXXX";
    if (mkdtemp(&pattern[0]) == nullptr) {
        perror("mkdtemp");
        abort();
    }
    g_directory = pattern;
    g_host = new PosixPlatform(g_directory + "/wininit.ini");
    atexit(RemoveDirectory);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string path = g_directory + "/input";
    FILE* file = fopen(path.c_str(), "wb");
    if (file == nullptr || fwrite(data, 1, size, file) != size || fclose(file) != 0) abort();

    const char* label = nullptr;
    Engine engine(*g_host);
    const ScanOutcome outcome = ScanFile(engine, path.c_str(), &label);
    // Nothing holds files open here, so a deletion or repair is done at once, and
    // nothing waits for a restart. Whatever the outcome, no work file is left, and a
    // file that could not be cleaned is exactly as it was.
    const size_t files = ListDirectory().size();
    if (outcome == SCAN_PENDING_RESTART) __builtin_trap();
    if (outcome == SCAN_DELETED && files != 0) __builtin_trap();
    if (outcome != SCAN_DELETED && (files != 1 || !Exists(path))) __builtin_trap();
    if ((outcome == SCAN_CLEAN || outcome == SCAN_CLEAN_FAILED) && !HoldsExactly(path, data, size))
        __builtin_trap();

    EmptyDirectory();
    return 0;
}
