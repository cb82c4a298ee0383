// Files per second of the batch walk over a folder tree, beside a floor that only walks
// the same tree and opens, reads the first 64 bytes of and closes every file.
//   walk_bench TREE [ROUNDS]      (make TREE with: samplegen tree TREE --files 100000)
// Infected files are put back after every round, so each round sees the same tree.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "app/common/batch.h"
#include "engine/detect.h"
#ifdef _WIN32
#include "platform/win32/win32_platform.h"
typedef Win32Platform HostPlatform;
#else
#include "platform/posix/posix_platform.h"
struct HostPlatform : PosixPlatform {
    HostPlatform() : PosixPlatform(DefaultRestartListPath()) {}
};
#endif

namespace {

struct SavedFile {
    std::string path;
    std::vector<char> bytes;
};

HostPlatform g_host;

template <typename VisitFile>
void Walk(const std::string& directory, VisitFile visit) {
    PlatDirEntry entry;
    PlatListing* listing = g_host.ListFirst(directory.c_str(), &entry);
    if (!listing) return;
    do {
        std::string name = entry.name;
        std::string path = directory + PLAT_PATH_SEPARATOR + name;
        if (!entry.isDirectory)
            visit(path);
        else if (name != "." && name != "..")
            Walk(path, visit);
    } while (g_host.ListNext(listing, &entry));
    g_host.ListClose(listing);
}

void ReadHead(const std::string& path) {
    PlatFile file = g_host.OpenRead(path.c_str());
    if (file == PLAT_NO_FILE) return;
    unsigned char head[64];
    g_host.ReadAt(file, 0, head, sizeof head);
    g_host.Close(file);
}

std::vector<char> ReadAll(const std::string& path) {
    std::vector<char> bytes;
    FILE* file = fopen(path.c_str(), "rb");
    if (!file) return bytes;
    char buffer[65536];
    size_t got;
    while ((got = fread(buffer, 1, sizeof buffer, file)) > 0)
        bytes.insert(bytes.end(), buffer, buffer + got);
    fclose(file);
    return bytes;
}

void Restore(const std::vector<SavedFile>& files) {
    for (const SavedFile& saved : files) {
        FILE* file = fopen(saved.path.c_str(), "wb");
        if (!file) continue;
        fwrite(saved.bytes.data(), 1, saved.bytes.size(), file);
        fclose(file);
    }
}

template <typename Run>
double Seconds(Run run) {
    auto start = std::chrono::steady_clock::now();
    run();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        fputs("usage: walk_bench TREE [ROUNDS]\n", stderr);
        return 2;
    }
    std::string tree = argv[1];
    int rounds = argc > 2 ? atoi(argv[2]) : 5;
    size_t files = 0;
    std::vector<SavedFile> infected;
    Walk(tree, [&](const std::string& path) {
        ++files;
        const char* label;
        if (DetectFile(g_host, path.c_str(), &label) == DETECT_INFECTED)
            infected.push_back({path, ReadAll(path)});
    });
    std::vector<double> floorTimes, batchTimes;
    for (int round = 0; round < rounds; ++round) {
        floorTimes.push_back(Seconds([&] { Walk(tree, ReadHead); }));
        std::vector<char> path(tree.begin(), tree.end());
        path.push_back('\0');
        Engine engine(g_host);
        BatchRun run(engine);
        batchTimes.push_back(Seconds([&] { BatchScanDirectory(run, path.data()); }));
        Restore(infected);
    }
    double floorRate = files / Median(floorTimes), batchRate = files / Median(batchTimes);
    printf("%zu files (%zu infected), median of %d rounds, warm cache\n", files, infected.size(),
           rounds);
    printf("floor (open, read 64 bytes, close): %10.0f files/s\n", floorRate);
    printf("batch walk (scan and clean):        %10.0f files/s\n", batchRate);
    printf("batch walk takes %.2fx the floor's time\n", floorRate / batchRate);
    return 0;
}
