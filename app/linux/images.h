// Disk images scanned as the disks they hold (--images): every FAT and NTFS volume on
// them is walked and cleaned in-process, with the same engine and rules as a live disk,
// and the restart list of the Windows they hold.
#pragma once

#include <functional>

#include "app/common/batch.h"
#include "app/linux/cli_report.h"

// Whether the file at `path` is a disk image, by its content.
bool IsDiskImage(const char* path);

struct ImageScan {
    bool dryRun;  // the image stays as it was
    // Makes the engine of one volume what the run needs (its hooks).
    std::function<void(Engine& engine)> prepareEngine;
};

// Scans every volume of the image at `path`; false, with a message, when the image or
// one of its volumes could not be opened.
bool ScanImage(const char* path, const ImageScan& scan, CCliReport& report);
