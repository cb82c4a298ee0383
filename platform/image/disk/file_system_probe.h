// Which file system a volume holds, told by the content of its first sectors.
#pragma once

#include <cstdint>
#include <string>

#include "platform/image/block_device.h"

enum class FileSystemKind { kFat12, kFat16, kFat32, kNtfs, kOther };

struct FileSystemGuess {
    FileSystemKind kind = FileSystemKind::kOther;
    // "FAT12", "FAT16", "FAT32", "NTFS", or for the others what the volume looks like:
    // "exFAT", "ext", "ISO 9660", "unknown" (and "unreadable" when it cannot be read).
    std::string name = "unknown";
};

// The FAT or NTFS volume whose boot sector `sector` (512 bytes) is, if it is one.
FileSystemGuess ProbeBootSector(const uint8_t* sector);

// Looks at the volume of `length` bytes at `offset` of `device`.
FileSystemGuess ProbeFileSystem(BlockDevice& device, uint64_t offset, uint64_t length);
