// What reading through qemu-nbd costs against reading a raw image, and what the
// journal costs a Flush. Not a test: it prints figures.
//   disk_bench [FILES]
// A FAT32 disk is filled with files by mtools, then scanned the way the engine reads a
// file (its first page and its tail: "regions") and read whole in pages ("whole"),
// through the raw image and through the same disk converted to qcow2, each time from a
// freshly opened disk (the host's page cache warm, the disk's own cache cold).
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "platform/image/disk/disk.h"
#include "tests/image/disk/disk_test_support.h"

using namespace disktest;

namespace {

constexpr uint64_t kPartition = 2048 * 512;
constexpr size_t kPage = 4096;

struct FileExtent {
    uint64_t offset;
    size_t length;
};

double Seconds(const std::function<void()>& work) {
    auto start = std::chrono::steady_clock::now();
    work();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

// Files of 1 to 64 KiB, each beginning with its number, found again in the image by it;
// in the order of the disk, which is the order of their directory (mcopy makes them one
// after the other), in which a walk reads them.
std::vector<FileExtent> MakeFiles(const TempDir& dir, const std::string& image, int count) {
    std::string files = dir.File("files");
    Shell("mkdir " + Quote(files));
    std::vector<size_t> lengths;
    for (int i = 0; i < count; ++i) {
        Bytes bytes = Pattern(1024 + size_t(i) * 7919 % (63 * 1024), uint32_t(i));
        char mark[24];
        snprintf(mark, sizeof mark, "TVCFILE%05d", i);
        memcpy(bytes.data(), mark, 12);
        WriteFile(files + "/f" + std::to_string(i), bytes);
        lengths.push_back(bytes.size());
    }
    Shell("MTOOLS_SKIP_CHECK=1 mcopy -i " + Quote(image) + "@@" + std::to_string(kPartition) + " " +
          Quote(files) + "/* ::/");
    Bytes disk = ReadFile(image);
    std::vector<FileExtent> extents(size_t(count), FileExtent{0, 0});
    for (uint64_t at = kPartition; at + 12 <= disk.size(); at += 512) {
        int number;
        if (memcmp(disk.data() + at, "TVCFILE", 7) == 0 &&
            sscanf(reinterpret_cast<const char*>(disk.data() + at + 7), "%5d", &number) == 1 &&
            number >= 0 && number < count) {
            extents[size_t(number)] = FileExtent{at, lengths[size_t(number)]};
        }
    }
    std::sort(extents.begin(), extents.end(),
              [](const FileExtent& a, const FileExtent& b) { return a.offset < b.offset; });
    return extents;
}

void ScanRegions(BlockDevice& device, const std::vector<FileExtent>& files) {
    uint8_t page[kPage];
    for (const FileExtent& file : files) {
        device.Read(kPartition, page, 512);  // boot sector and directory: metadata
        device.Read(file.offset, page, std::min(kPage, file.length));
        if (file.length > kPage) device.Read(file.offset + file.length - kPage, page, kPage);
    }
}

void ScanWhole(BlockDevice& device, const std::vector<FileExtent>& files) {
    uint8_t page[kPage];
    for (const FileExtent& file : files) {
        device.Read(kPartition, page, 512);
        for (size_t done = 0; done < file.length; done += kPage)
            device.Read(file.offset + done, page, std::min(kPage, file.length - done));
    }
}

double TimeScan(const std::string& image, const std::vector<FileExtent>& files,
                void (*scan)(BlockDevice&, const std::vector<FileExtent>&)) {
    std::vector<double> times;
    for (int run = 0; run < 7; ++run) {
        std::string error;
        std::unique_ptr<Disk> disk = OpenDisk(image, DiskMode::kReadOnly, &error);
        if (!disk) {
            fprintf(stderr, "%s\n", error.c_str());
            exit(1);
        }
        times.push_back(Seconds([&] { scan(disk->Device(), files); }));
    }
    return Median(times);
}

double TimeRandomReads(const std::string& image, int reads) {
    std::string error;
    std::unique_ptr<Disk> disk = OpenDisk(image, DiskMode::kReadOnly, &error);
    uint8_t page[kPage];
    uint64_t pages = disk->Device().Size() / kPage;
    return Seconds([&] {
               for (int i = 0; i < reads; ++i)
                   disk->Device().Read((uint64_t(i) * 2654435761u % pages) * kPage, page, kPage);
           }) /
           reads;
}

// One Flush of `blocks` scattered pages, through the journal or straight to the file.
double TimeFlush(const std::string& image, int blocks, bool journal) {
    std::string error;
    std::unique_ptr<Disk> disk;
    std::unique_ptr<BlockDevice> file;
    if (journal) {
        disk = OpenDisk(image, DiskMode::kReadWrite, &error);
    } else {
        file = OpenFileDevice(image, false, &error);
    }
    BlockDevice& device = journal ? disk->Device() : *file;
    Bytes page = Pattern(kPage, 1);
    std::vector<double> times;
    for (int run = 0; run < 15; ++run) {
        times.push_back(Seconds([&] {
            for (int i = 0; i < blocks; ++i)
                device.Write(kPartition + uint64_t(i) * 37 * kPage + 100, page.data(), page.size());
            device.Flush();
        }));
    }
    return Median(times);
}

}  // namespace

int main(int argc, char** argv) {
    int count = argc > 1 ? atoi(argv[1]) : 600;
    TempDir dir;
    std::string raw = dir.File("raw.img"), qcow2 = dir.File("disk.qcow2");
    MakePartitionedDisk(raw, 96 * 1024 * 1024, "label: dos\nstart=2048, type=c\n");
    FormatFat(raw, 32, 2048, 96 * 2048 - 2048);
    std::vector<FileExtent> files = MakeFiles(dir, raw, count);
    Shell("qemu-img convert -O qcow2 " + Quote(raw) + " " + Quote(qcow2));
    uint64_t bytes = 0;
    for (const FileExtent& file : files) bytes += file.length;
    printf("%d files, %.1f MiB\n", count, double(bytes) / (1 << 20));
    for (auto scan : {std::make_pair("regions", ScanRegions), std::make_pair("whole", ScanWhole)}) {
        double rawTime = TimeScan(raw, files, scan.second);
        double qcowTime = TimeScan(qcow2, files, scan.second);
        printf("scan %-8s raw %7.2f ms   qcow2 %7.2f ms   ratio %.2f\n", scan.first, rawTime * 1e3,
               qcowTime * 1e3, qcowTime / rawTime);
    }
    printf("random 4 KiB reads: raw %.1f us, qcow2 %.1f us (each a miss of the cache)\n",
           TimeRandomReads(raw, 2000) * 1e6, TimeRandomReads(qcow2, 2000) * 1e6);
    for (int blocks : {1, 16, 256}) {
        printf(
            "flush of %3d pages: raw pwrite+fsync %6.2f ms, journal %6.2f ms; qcow2 journal %6.2f "
            "ms\n",
            blocks, TimeFlush(raw, blocks, false) * 1e3, TimeFlush(raw, blocks, true) * 1e3,
            TimeFlush(qcow2, blocks, true) * 1e3);
    }
    return 0;
}
