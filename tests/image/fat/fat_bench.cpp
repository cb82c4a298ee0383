// Time to list a tree of small files and read the first 4 KiB of each, in a FAT32 image
// through the volume code and on the host's own file system. Not a test: it prints figures.
// Usage: fat_bench [FILES]
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "platform/image/block_device.h"
#include "platform/image/fat/volume.h"
#include "tests/image/fat/oracles.h"

namespace {

const size_t kFilesPerFolder = 100;
const size_t kHead = 4096;

double Seconds(std::chrono::steady_clock::time_point since) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

size_t WalkHost(const std::string& folder, uint64_t* sum) {
    size_t files = 0;
    DIR* dir = opendir(folder.c_str());
    if (!dir) return 0;
    std::vector<char> buffer(kHead);
    while (dirent* entry = readdir(dir)) {
        std::string name = entry->d_name;
        if (name == "." || name == "..") continue;
        std::string path = folder + "/" + name;
        if (entry->d_type == DT_DIR) {
            files += WalkHost(path, sum);
            continue;
        }
        int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
        ssize_t got = fd >= 0 ? read(fd, buffer.data(), kHead) : 0;
        if (fd >= 0) close(fd);
        *sum += got > 0 ? uint8_t(buffer[0]) : 0;
        ++files;
    }
    closedir(dir);
    return files;
}

size_t WalkVolume(fat::Volume& volume, const std::string& folder, uint64_t* sum) {
    std::vector<fat::Entry> entries;
    std::string error;
    if (!volume.List(folder, &entries, &error)) return 0;
    size_t files = 0;
    std::vector<char> buffer(kHead);
    for (const fat::Entry& entry : entries) {
        std::string path = folder + "/" + entry.name;
        if (entry.isDirectory) {
            files += WalkVolume(volume, path, sum);
            continue;
        }
        size_t got = 0;
        volume.Read(path, 0, buffer.data(), kHead, &got);
        *sum += got > 0 ? uint8_t(buffer[0]) : 0;
        ++files;
    }
    return files;
}

}  // namespace

int main(int argc, char** argv) {
    size_t count = argc > 1 ? std::stoul(argv[1]) : 20000;
    fattest::TempDir dir;
    std::string tree = dir.File("tree"), image = dir.File("v.img");
    fattest::Shell("mkdir " + fattest::Quote(tree));
    std::string content(6000, 'x');
    for (size_t i = 0; i < count; ++i) {
        std::string folder = tree + "/Folder " + std::to_string(i / kFilesPerFolder);
        if (i % kFilesPerFolder == 0) mkdir(folder.c_str(), 0755);
        std::string path = folder + "/Some program file " + std::to_string(i) + ".exe";
        FILE* file = fopen(path.c_str(), "wb");
        content[0] = char(i);
        fwrite(content.data(), 1, content.size(), file);
        fclose(file);
    }
    uint64_t bytes = uint64_t(count) * 8192 + (300 << 20);  // 65525 clusters at least
    fattest::Shell("truncate -s " + std::to_string(bytes) + " " + fattest::Quote(image) +
                   " && mkfs.fat -F 32 -s 8 " + fattest::Quote(image) + " > /dev/null");
    auto copying = std::chrono::steady_clock::now();
    fattest::Mtools("mcopy", image, "-s -Q " + fattest::Quote(tree) + " ::/");
    printf("mcopy of %zu files into the image: %.1f s\n", count, Seconds(copying));

    for (int round = 0; round < 3; ++round) {  // the first round warms the page cache
        uint64_t hostSum = 0, imageSum = 0;
        auto start = std::chrono::steady_clock::now();
        size_t hostFiles = WalkHost(tree, &hostSum);
        double host = Seconds(start);
        start = std::chrono::steady_clock::now();
        std::string error;
        auto device = OpenFileDevice(image, true, &error);
        auto volume = device ? fat::Volume::Open(*device, &error) : nullptr;
        if (!volume) {
            fprintf(stderr, "%s\n", error.c_str());
            return 1;
        }
        size_t imageFiles = WalkVolume(*volume, "/tree", &imageSum);
        double inImage = Seconds(start);
        printf("round %d: host %zu files %.3f s; image %zu files %.3f s; ratio %.2f%s\n", round,
               hostFiles, host, imageFiles, inImage, inImage / host,
               hostSum == imageSum ? "" : " (the bytes differ!)");
    }
    return 0;
}
