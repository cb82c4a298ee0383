// The 32-byte entries of a folder: what names they hold, and the entries of a new name.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/image/fat/names.h"

namespace fat {

const size_t kEntryBytes = 32;
const uint8_t kDeletedMark = 0xE5;
const uint8_t kAttributeLongName = 0x0F;
const uint8_t kAttributeVolume = 0x08;
const uint8_t kAttributeDirectory = 0x10;
const uint8_t kAttributeArchive = 0x20;

// One name of a folder: its short entry and the long-name entries before it.
struct Record {
    std::string name;  // the long name, else the short one
    std::string shortName;
    bool hasLongName;
    ShortName stored;
    uint8_t attributes;
    uint32_t firstCluster;
    uint32_t size;
    uint32_t firstSlot;  // the first long-name entry, else the short entry
    uint32_t shortSlot;
    uint16_t createTime, createDate, writeTime, writeDate;

    bool IsDirectory() const { return (attributes & kAttributeDirectory) != 0; }
};

// The names in `slotCount` entries up to the end mark, which is at `*endSlot`
// (`slotCount` when there is none). "." and "..", volume labels, deleted entries and
// long-name entries that belong to no short entry are left out.
void ParseFolder(const uint8_t* bytes, size_t slotCount, bool fat32, const CodePage& codePage,
                 std::vector<Record>* records, size_t* endSlot);

// The entries of a name: the long-name entries for `longName` (none when empty) and a
// short entry holding `shortName`, its other fields zero.
std::vector<uint8_t> MakeNameEntries(const std::u16string& longName, const ShortName& shortName);

uint32_t FirstClusterOf(const uint8_t* entry, bool fat32);
void SetFirstCluster(uint8_t* entry, uint32_t cluster);
void SetLe16(uint8_t* p, uint32_t value);
void SetLe32(uint8_t* p, uint32_t value);
uint32_t GetLe16(const uint8_t* p);
uint32_t GetLe32(const uint8_t* p);

}  // namespace fat
