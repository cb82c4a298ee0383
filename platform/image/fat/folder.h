// A folder of a volume as held in memory: all its entries, read in whole clusters.
#pragma once

#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/image/fat/directory.h"

namespace fat {

// Windows' limit, which also bounds what one folder may make us read.
const size_t kMaxFolderBytes = 65536 * kEntryBytes;

struct Folder {
    uint32_t key;                    // its first cluster; 0 for the fixed root of FAT12 and FAT16
    std::vector<uint32_t> clusters;  // none for a fixed root
    std::vector<uint8_t> bytes;
    std::vector<Record> records;
    size_t endSlot = 0;
    // Records by the NameKey of their long and short names.
    std::unordered_map<std::string, size_t> index;
    bool indexed = false;
    // Per cluster (one flag for a fixed root): changed since it was last written.
    std::vector<bool> dirtyParts;
    bool dirty = false;
    uint64_t lastUse = 0;

    size_t SlotCount() const { return bytes.size() / kEntryBytes; }
    uint8_t* Slot(size_t slot) { return &bytes[slot * kEntryBytes]; }
};

}  // namespace fat
