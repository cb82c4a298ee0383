// Where the regions of a FAT volume lie, from its boot sector, checked against the device.
#pragma once

#include <cstdint>
#include <string>

class BlockDevice;

namespace fat {

struct Layout {
    int type;  // 12, 16 or 32
    uint32_t sectorBytes;
    uint32_t clusterBytes;
    uint32_t clusterCount;  // data clusters, numbered 2..clusterCount + 1
    uint32_t fatCount;
    uint64_t fatOffset;     // of the first copy
    uint64_t fatBytes;      // of each copy, as reserved in the boot sector
    uint64_t fatUsedBytes;  // what the entries of the clusters take, in whole sectors
    // The copy read, and whether every copy is written (FAT32 may turn mirroring off).
    uint32_t activeFat;
    bool mirrored;
    // FAT12 and FAT16: the root folder's fixed region; FAT32: its first cluster.
    uint64_t rootOffset;
    uint32_t rootBytes;
    uint32_t rootCluster;
    uint64_t dataOffset;
    uint32_t fsInfoSector;  // FAT32, 0 when there is none

    uint64_t ClusterOffset(uint32_t cluster) const {
        return dataOffset + uint64_t(cluster - 2) * clusterBytes;
    }
    bool IsDataCluster(uint32_t cluster) const {
        return cluster >= 2 && cluster - 2 < clusterCount;
    }
};

// Reads and checks the boot sector of the volume at the start of `device`. False, with
// `error` saying why, for anything that is not a FAT volume or lies outside the device.
bool ReadLayout(BlockDevice& device, Layout* layout, std::string* error);

}  // namespace fat
