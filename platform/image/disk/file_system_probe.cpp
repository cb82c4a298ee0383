#include "platform/image/disk/file_system_probe.h"

#include <cstring>

#include "platform/image/disk/byte_order.h"

namespace {

constexpr uint64_t kExtSuperblock = 1024;
constexpr uint64_t kIso9660Descriptor = 16 * 2048;

bool IsPowerOfTwo(uint32_t value) {
    return value != 0 && (value & (value - 1)) == 0;
}

bool ValidBytesPerSector(uint32_t bytes) {
    return bytes >= 512 && bytes <= 4096 && IsPowerOfTwo(bytes);
}

FileSystemGuess Guess(FileSystemKind kind, const char* name) {
    FileSystemGuess guess;
    guess.kind = kind;
    guess.name = name;
    return guess;
}

// The BIOS parameter block of a FAT volume, checked field by field. Its type follows
// Linux: FAT32 when the 16-bit count of FAT sectors is 0 (the FAT32 layout of the
// block), else FAT12 or FAT16 by the count of clusters, as FAT's own rule has it.
bool ProbeFat(const uint8_t* sector, FileSystemGuess* guess) {
    bool jump = sector[0] == 0xE9 || (sector[0] == 0xEB && sector[2] == 0x90);
    uint32_t bytesPerSector = Le16(sector + 11);
    uint32_t sectorsPerCluster = sector[13];
    uint32_t reserved = Le16(sector + 14);
    uint32_t fats = sector[16];
    uint32_t rootEntries = Le16(sector + 17);
    uint32_t media = sector[21];
    bool fat32 = Le16(sector + 22) == 0;
    uint64_t totalSectors = Le16(sector + 19) ? Le16(sector + 19) : Le32(sector + 32);
    uint64_t fatSectors = fat32 ? Le32(sector + 36) : Le16(sector + 22);
    if (!jump || !ValidBytesPerSector(bytesPerSector) || !IsPowerOfTwo(sectorsPerCluster) ||
        reserved == 0 || fats == 0 || fats > 4 || (media != 0xF0 && media < 0xF8) ||
        totalSectors == 0 || fatSectors == 0 || (fat32 && rootEntries != 0)) {
        return false;
    }
    uint64_t rootSectors = (uint64_t(rootEntries) * 32 + bytesPerSector - 1) / bytesPerSector;
    uint64_t metadata = reserved + fats * fatSectors + rootSectors;
    if (metadata >= totalSectors) return false;
    uint64_t clusters = (totalSectors - metadata) / sectorsPerCluster;
    if (fat32) {
        *guess = Guess(FileSystemKind::kFat32, "FAT32");
    } else if (clusters < 4085) {
        *guess = Guess(FileSystemKind::kFat12, "FAT12");
    } else {
        *guess = Guess(FileSystemKind::kFat16, "FAT16");
    }
    return true;
}

bool ReadAt(BlockDevice& device, uint64_t offset, uint64_t length, uint64_t at, void* buffer,
            size_t count) {
    return at <= length && count <= length - at && device.Read(offset + at, buffer, count);
}

}  // namespace

FileSystemGuess ProbeBootSector(const uint8_t* sector) {
    FileSystemGuess guess;
    if (memcmp(sector + 3, "NTFS    ", 8) == 0 && ValidBytesPerSector(Le16(sector + 11)))
        return Guess(FileSystemKind::kNtfs, "NTFS");
    if (memcmp(sector + 3, "EXFAT   ", 8) == 0) return Guess(FileSystemKind::kOther, "exFAT");
    ProbeFat(sector, &guess);
    return guess;
}

FileSystemGuess ProbeFileSystem(BlockDevice& device, uint64_t offset, uint64_t length) {
    uint8_t sector[512];
    if (!ReadAt(device, offset, length, 0, sector, sizeof sector)) {
        return Guess(FileSystemKind::kOther, length < sizeof sector ? "unknown" : "unreadable");
    }
    FileSystemGuess guess = ProbeBootSector(sector);
    if (guess.kind != FileSystemKind::kOther || guess.name != "unknown") return guess;
    uint8_t magic[8];
    if (ReadAt(device, offset, length, kExtSuperblock + 56, magic, 2) && magic[0] == 0x53 &&
        magic[1] == 0xEF) {
        return Guess(FileSystemKind::kOther, "ext");
    }
    if (ReadAt(device, offset, length, kIso9660Descriptor + 1, magic, 5) &&
        memcmp(magic, "CD001", 5) == 0) {
        return Guess(FileSystemKind::kOther, "ISO 9660");
    }
    return guess;
}
