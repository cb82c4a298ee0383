// Disk images scanned as the disks they hold (--images): every FAT and NTFS volume on
// them is walked and cleaned in-process, with the same engine and rules as a live disk,
// and the restart list of the Windows they hold.
#pragma once

#include <functional>
#include <string>

#include "app/common/batch.h"
#include "app/linux/cli_report.h"

// Whether the file at `path` is a disk image, by its content.
bool IsDiskImage(const char* path);

// A volume of an image as the user names it: "disk.vdi" and "p1" (empty for a disk
// without a partition table).
struct ImageVolumeName {
    std::string image, partition;
};

struct ImageScan {
    bool dryRun;  // the image stays as it was
    // Makes the engine of one volume what the run needs (its hooks).
    std::function<void(Engine& engine, const ImageVolumeName& volume)> prepareEngine;
    // Makes the batch run of one volume what the run needs (looking into containers).
    std::function<void(BatchRun& run)> prepareRun;
};

// Scans every volume of the image at `path`; false, with a message, when the image or
// one of its volumes could not be opened.
bool ScanImage(const char* path, const ImageScan& scan, CCliReport& report);

// The path of a file inside a volume of an image, as its platform names it.
std::string ImageFilePath(const ImageVolumeName& volume, const std::string& inside);

// Opens a volume of an image for changes and hands its engine to `change`, whose
// changes are the image's once it returns true; false, with a message, when the volume
// cannot be opened or its changes could not be written.
bool ChangeImageVolume(const ImageVolumeName& volume,
                       const std::function<bool(Engine& engine)>& change);
