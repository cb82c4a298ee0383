#include "app/linux/images.h"

#include <sys/stat.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "engine/engine.h"
#include "engine/restart_ops.h"
#include "platform/image/disk/disk.h"
#include "platform/image/disk/image_format.h"
#include "platform/image/disk/partitions.h"
#include "platform/image/image_platform.h"
#include "platform/image/ntfs/volume.h"
#include "platform/image/volumes.h"
#include "platform/image/windows_list.h"

namespace {

// Images smaller than this are no disks (a floppy has 160 KiB and more).
const off_t kSmallestImage = 64 * 1024;

// What a volume's infected files are told when the volume cannot be written.
const char kNotWritableAdvice[] = "run chkdsk in Windows first";

// One volume of the disk, opened.
struct OpenVolume {
    Partition partition;
    std::unique_ptr<BlockDevice> device;
    std::unique_ptr<image::Volume> volume;
    std::string readOnlyReason;  // why Windows' own state keeps it from being written
};

// An NTFS volume that Windows left unclean or hibernated is opened read-only.
std::unique_ptr<image::Volume> OpenFileSystem(BlockDevice& device, FileSystemKind kind,
                                              std::string* readOnlyReason, std::string* error) {
    if (kind != FileSystemKind::kNtfs) return OpenFatVolume(device, error);
    std::unique_ptr<ntfs::Volume> volume = ntfs::OpenVolume(device, false, error);
    if (volume) *readOnlyReason = volume->ReadOnlyReason();
    return std::unique_ptr<image::Volume>(volume.release());
}

std::string PartitionName(const Partition& partition) {
    return partition.number == 0 ? std::string() : "p" + std::to_string(partition.number);
}

// The volume's name as the user sees it: "disk.vdi//p1", or "disk.img/" for a disk
// without a partition table (whose files are then "disk.img//WINDOWS/...").
std::string VolumeRoot(const std::string& image, const Partition& partition) {
    return partition.number == 0 ? image + "/" : image + "//" + PartitionName(partition);
}

VolumeIdentity IdentityOf(const Partition& partition) {
    VolumeIdentity identity;
    identity.gpt = partition.scheme == PartitionScheme::kGpt;
    identity.diskSignature = partition.diskSignature;
    identity.offset = partition.offset;
    std::copy(partition.partitionGuid.begin(), partition.partitionGuid.end(),
              identity.partitionGuid);
    return identity;
}

// The FAT and NTFS volumes of the disk; the others are told of and left out.
std::vector<OpenVolume> OpenVolumes(Disk& disk, const std::string& image, CCliReport* report,
                                    bool* complete) {
    std::string error;
    std::vector<Partition> partitions = ReadPartitions(disk.Device(), &error);
    if (!error.empty()) {
        fprintf(stderr, "torvoclean: %s: %s\n", image.c_str(), error.c_str());
        *complete = false;
    }
    std::vector<OpenVolume> volumes;
    for (const Partition& partition : partitions) {
        FileSystemKind kind = partition.fileSystem.kind;
        if (kind == FileSystemKind::kOther) {
            if (report)
                report->OnSkippedVolume(image, PartitionName(partition),
                                        partition.fileSystem.name + " file system");
            continue;
        }
        OpenVolume open;
        open.partition = partition;
        open.device = MakeRangeDevice(disk.Device(), partition.offset, partition.length);
        if (open.device)
            open.volume = OpenFileSystem(*open.device, kind, &open.readOnlyReason, &error);
        if (!open.volume) {
            fprintf(stderr, "torvoclean: %s: %s\n", VolumeRoot(image, partition).c_str(),
                    error.c_str());
            *complete = false;
            continue;
        }
        volumes.push_back(std::move(open));
    }
    return volumes;
}

// The Windows of the disk, if one of its volumes holds one.
WindowsOnImage FindWindowsOn(std::vector<OpenVolume>& volumes) {
    for (OpenVolume& open : volumes) {
        WindowsOnImage windows = FindWindows(*open.volume);
        if (windows.family != WindowsOnImage::NONE) return windows;
    }
    return WindowsOnImage();
}

std::unique_ptr<ImagePlatform> MakePlatform(OpenVolume& open, const WindowsOnImage& windows,
                                            const std::string& image) {
    char letter = DriveLetterOf(windows, IdentityOf(open.partition));
    return std::unique_ptr<ImagePlatform>(
        new ImagePlatform(VolumeRoot(image, open.partition), *open.volume,
                          MakeWindowsRestartList(windows, *open.volume, letter)));
}

bool ScanVolume(OpenVolume& open, const WindowsOnImage& windows, const std::string& image,
                const ImageScan& scan, CCliReport& report) {
    std::string root = VolumeRoot(image, open.partition);
    std::unique_ptr<ImagePlatform> volumePlatform = MakePlatform(open, windows, image);
    ImagePlatform& platform = *volumePlatform;
    Engine engine(platform);
    scan.prepareEngine(engine, {image, PartitionName(open.partition)});
    BatchRun run(engine);
    run.observer = &report;
    if (scan.prepareRun) scan.prepareRun(run);
    report.SetVolume(image, PartitionName(open.partition), root,
                     open.readOnlyReason.empty() ? "" : kNotWritableAdvice);
    if (!open.readOnlyReason.empty())
        fprintf(stderr, "torvoclean: %s: scanned read-only, nothing is changed: %s\n", root.c_str(),
                open.readOnlyReason.c_str());
    FinishInterruptedWork(engine);
    std::string start = root + "/";
    bool listed = BatchScanDirectory(run, &start[0]);
    std::vector<std::string> readErrors = platform.TakeReadErrors();
    for (const std::string& message : readErrors)
        fprintf(stderr, "torvoclean: %s\n", message.c_str());
    if (platform.LostChanges())
        fprintf(stderr,
                "torvoclean: %s: a change could not be written; the image keeps what it "
                "held before it\n",
                root.c_str());
    return listed && readErrors.empty() && !platform.LostChanges();
}

}  // namespace

bool IsDiskImage(const char* path) {
    struct stat st;
    std::string error;
    if (stat(path, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size < kSmallestImage) return false;
    std::unique_ptr<BlockDevice> file = OpenFileDevice(path, true, &error);
    return file && DetectImageFormat(*file) != ImageFormat::kUnknown;
}

bool ScanImage(const char* path, const ImageScan& scan, CCliReport& report) {
    std::string error;
    std::unique_ptr<Disk> disk =
        OpenDisk(path, scan.dryRun ? DiskMode::kDryRun : DiskMode::kReadWrite, &error);
    if (!disk) {
        fprintf(stderr, "torvoclean: %s\n", error.c_str());
        return false;
    }
    if (!disk->Notice().empty()) fprintf(stderr, "torvoclean: %s\n", disk->Notice().c_str());
    bool complete = true;
    std::vector<OpenVolume> volumes = OpenVolumes(*disk, path, &report, &complete);
    WindowsOnImage windows = FindWindowsOn(volumes);
    for (OpenVolume& open : volumes)
        complete = ScanVolume(open, windows, path, scan, report) && complete;
    return complete;
}

std::string ImageFilePath(const ImageVolumeName& volume, const std::string& inside) {
    return volume.partition.empty() ? volume.image + "/" + inside
                                    : volume.image + "//" + volume.partition + inside;
}

bool ChangeImageVolume(const ImageVolumeName& name,
                       const std::function<bool(Engine& engine)>& change) {
    std::string error;
    std::unique_ptr<Disk> disk = OpenDisk(name.image, DiskMode::kReadWrite, &error);
    if (!disk) {
        fprintf(stderr, "torvoclean: %s\n", error.c_str());
        return false;
    }
    bool complete = true;
    std::vector<OpenVolume> volumes = OpenVolumes(*disk, name.image, nullptr, &complete);
    WindowsOnImage windows = FindWindowsOn(volumes);
    for (OpenVolume& open : volumes) {
        if (PartitionName(open.partition) != name.partition) continue;
        std::unique_ptr<ImagePlatform> platform = MakePlatform(open, windows, name.image);
        Engine engine(*platform);
        FinishInterruptedWork(engine);
        return change(engine) && !platform->LostChanges();
    }
    fprintf(stderr, "torvoclean: %s: no such volume on the disk\n",
            ImageFilePath(name, "").c_str());
    return false;
}
