#include "platform/image/fat/layout.h"

#include <vector>

#include "platform/image/block_device.h"

namespace fat {

namespace {

const uint32_t kMaxFat12Clusters = 4084;
const uint32_t kMaxFat16Clusters = 65524;
const uint32_t kMaxFat32Clusters = 0x0FFFFFF5;
const uint32_t kMaxClusterBytes = 64 * 1024;
const size_t kBootSectorBytes = 512;

uint32_t Le16(const uint8_t* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8;
}
uint32_t Le32(const uint8_t* p) {
    return Le16(p) | Le16(p + 2) << 16;
}

bool Fail(std::string* error, const std::string& why) {
    *error = why;
    return false;
}

bool IsPowerOfTwo(uint32_t value) {
    return value != 0 && (value & (value - 1)) == 0;
}

// The fields every FAT boot sector has, before the type is known.
bool ReadCommonFields(const uint8_t* boot, uint64_t deviceBytes, Layout* layout,
                      uint64_t* totalSectors, uint32_t* reservedSectors, uint32_t* fatSectors,
                      uint32_t* rootEntries, std::string* error) {
    if (boot[0] != 0xEB && boot[0] != 0xE9) return Fail(error, "no boot sector of a FAT volume");
    uint32_t sectorBytes = Le16(boot + 11);
    uint32_t sectorsPerCluster = boot[13];
    if (sectorBytes < 512 || sectorBytes > 4096 || !IsPowerOfTwo(sectorBytes))
        return Fail(error, "not a FAT volume: bad sector size");
    if (!IsPowerOfTwo(sectorsPerCluster) || sectorBytes * sectorsPerCluster > kMaxClusterBytes)
        return Fail(error, "not a FAT volume: bad cluster size");
    uint8_t media = boot[21];
    if (media != 0xF0 && media < 0xF8) return Fail(error, "not a FAT volume: bad media byte");
    *reservedSectors = Le16(boot + 14);
    layout->fatCount = boot[16];
    *rootEntries = Le16(boot + 17);
    *totalSectors = Le16(boot + 19) != 0 ? Le16(boot + 19) : Le32(boot + 32);
    *fatSectors = Le16(boot + 22) != 0 ? Le16(boot + 22) : Le32(boot + 36);
    if (*reservedSectors == 0) return Fail(error, "not a FAT volume: no reserved sectors");
    if (layout->fatCount == 0) return Fail(error, "not a FAT volume: no FAT");
    if (*fatSectors == 0) return Fail(error, "not a FAT volume: the FAT has no size");
    if (*totalSectors == 0) return Fail(error, "not a FAT volume: no sectors");
    layout->sectorBytes = sectorBytes;
    layout->clusterBytes = sectorBytes * sectorsPerCluster;
    if (*totalSectors * sectorBytes > deviceBytes)
        return Fail(error, "the volume is larger than its device (a truncated image?)");
    return true;
}

int TypeOf(uint32_t clusterCount) {
    return clusterCount <= kMaxFat12Clusters ? 12 : clusterCount <= kMaxFat16Clusters ? 16 : 32;
}

bool ReadFat32Fields(const uint8_t* boot, Layout* layout, uint32_t reservedSectors,
                     std::string* error) {
    uint32_t flags = Le16(boot + 40);
    layout->mirrored = (flags & 0x80) == 0;
    layout->activeFat = layout->mirrored ? 0 : flags & 0x0F;
    if (layout->activeFat >= layout->fatCount)
        return Fail(error, "bad FAT32 boot sector: the active FAT does not exist");
    if (Le16(boot + 42) != 0) return Fail(error, "unknown FAT32 version");
    layout->rootCluster = Le32(boot + 44);
    if (!layout->IsDataCluster(layout->rootCluster))
        return Fail(error, "bad FAT32 boot sector: the root folder lies outside the volume");
    uint32_t fsInfo = Le16(boot + 48);
    layout->fsInfoSector = fsInfo >= 1 && fsInfo < reservedSectors ? fsInfo : 0;
    return true;
}

}  // namespace

bool ReadLayout(BlockDevice& device, Layout* layout, std::string* error) {
    *layout = Layout();
    uint8_t boot[kBootSectorBytes];
    if (device.Size() < kBootSectorBytes || !device.Read(0, boot, sizeof boot))
        return Fail(error, "cannot read the boot sector");
    uint64_t totalSectors;
    uint32_t reservedSectors, fatSectors, rootEntries;
    if (!ReadCommonFields(boot, device.Size(), layout, &totalSectors, &reservedSectors, &fatSectors,
                          &rootEntries, error)) {
        return false;
    }
    uint64_t sector = layout->sectorBytes;
    bool fat32Fields = Le16(boot + 22) == 0;
    if (fat32Fields && rootEntries != 0)
        return Fail(error, "bad boot sector: FAT32 with a fixed root folder");
    if (!fat32Fields && rootEntries == 0) return Fail(error, "bad boot sector: no root folder");
    layout->rootBytes = rootEntries * 32;
    uint64_t rootSectors = (layout->rootBytes + sector - 1) / sector;
    layout->fatOffset = reservedSectors * sector;
    layout->fatBytes = uint64_t(fatSectors) * sector;
    layout->rootOffset = layout->fatOffset + layout->fatBytes * layout->fatCount;
    uint64_t dataSector = reservedSectors + uint64_t(fatSectors) * layout->fatCount + rootSectors;
    if (dataSector >= totalSectors)
        return Fail(error, "bad boot sector: the FAT and root folder fill the volume");
    layout->dataOffset = dataSector * sector;
    uint64_t clusters = (totalSectors - dataSector) * sector / layout->clusterBytes;
    if (clusters == 0) return Fail(error, "bad boot sector: no data clusters");
    if (clusters > kMaxFat32Clusters) return Fail(error, "bad boot sector: too many clusters");
    layout->clusterCount = uint32_t(clusters);
    // A boot sector with FAT32's fields is FAT32 whatever its count, as Windows and Linux
    // mount it (mkfs.fat makes small ones); FAT12 and FAT16 are told by the count.
    layout->type = fat32Fields ? 32 : TypeOf(layout->clusterCount);
    if (!fat32Fields && layout->type == 32)
        return Fail(error, "bad boot sector: " + std::to_string(clusters) +
                               " clusters do not make a FAT12/16");
    uint64_t entryBits = uint64_t(layout->clusterCount + 2) * uint64_t(layout->type);
    uint64_t fatNeeded = (entryBits + 7) / 8;
    if (fatNeeded > layout->fatBytes)
        return Fail(error, "bad boot sector: the FAT is too small for the clusters");
    layout->fatUsedBytes = (fatNeeded + sector - 1) / sector * sector;
    layout->mirrored = true;
    layout->activeFat = 0;
    if (layout->type == 32) return ReadFat32Fields(boot, layout, reservedSectors, error);
    return true;
}

}  // namespace fat
