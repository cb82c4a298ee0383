#include "platform/image/disk/partitions.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <set>

#include "platform/image/disk/byte_order.h"
#include "platform/image/disk/checksum.h"

namespace {

constexpr uint64_t kSector = 512;
constexpr size_t kEntryTable = 446;
constexpr uint8_t kProtectiveType = 0xEE;
// Linux stops at 256 partitions a disk; a longer chain is a crafted one.
constexpr int kMaxExtendedRecords = 256;
// 32768 entries of 128 bytes; real tables hold 128.
constexpr uint64_t kMaxGptArray = 4 << 20;
constexpr uint32_t kMaxGptEntry = 4096;

struct MbrEntry {
    uint8_t boot, type;
    uint32_t start, sectors;
};

MbrEntry MbrEntryAt(const uint8_t* sector, int slot) {
    const uint8_t* p = sector + kEntryTable + 16 * slot;
    return MbrEntry{p[0], p[4], Le32(p + 8), Le32(p + 12)};
}

bool IsExtended(uint8_t type) {
    return type == 0x05 || type == 0x0F || type == 0x85;
}

bool HasBootSignature(const uint8_t* sector) {
    return sector[510] == 0x55 && sector[511] == 0xAA;
}

bool IsZero(const Guid& guid) {
    return std::all_of(guid.begin(), guid.end(), [](uint8_t b) { return b == 0; });
}

std::string Number(uint64_t value) {
    return std::to_string(value);
}

// A run of sectors that a partition, or an extended partition holding logical ones,
// takes up.
struct Extent {
    uint64_t first, end;  // sectors, end excluded
    int number;
    bool container;
};

bool Overlap(const Extent& a, const Extent& b) {
    return a.first < b.end && b.first < a.end;
}

struct GptHeader {
    uint64_t alternateLba, firstUsable, lastUsable, entriesLba;
    uint32_t entryCount, entrySize;
};

class TableReader {
  public:
    explicit TableReader(BlockDevice& disk) : m_disk(disk), m_sectors(disk.Size() / kSector) {}

    std::vector<Partition> Read(std::string* error) {
        uint8_t first[kSector];
        if (m_sectors == 0 || !ReadSectors(0, 1, first)) {
            Problem("the disk is too small to hold a partition table or a volume");
        } else if (ProbeBootSector(first).kind != FileSystemKind::kOther) {
            AddWholeDiskVolume(first);
        } else if (!HasBootSignature(first)) {
            Problem("no partition table (no 55 AA signature in the first sector)");
        } else if (HasProtectiveEntry(first)) {
            ReadGpt();
        } else {
            ReadMbr(first);
        }
        std::sort(m_found.begin(), m_found.end(),
                  [](const Partition& a, const Partition& b) { return a.number < b.number; });
        error->clear();
        for (const std::string& problem : m_problems)
            *error += (error->empty() ? "" : "; ") + problem;
        return m_found;
    }

  private:
    bool ReadSectors(uint64_t lba, uint64_t count, uint8_t* buffer) {
        return lba <= m_sectors && count <= m_sectors - lba &&
               m_disk.Read(lba * kSector, buffer, size_t(count * kSector));
    }

    void Problem(const std::string& text) { m_problems.push_back(text); }

    void AddWholeDiskVolume(const uint8_t* bootSector) {
        Partition volume;
        volume.length = m_disk.Size();
        volume.fileSystem = ProbeBootSector(bootSector);
        m_found.push_back(volume);
    }

    static bool HasProtectiveEntry(const uint8_t* mbr) {
        for (int slot = 0; slot < 4; ++slot) {
            if (MbrEntryAt(mbr, slot).type == kProtectiveType) return true;
        }
        return false;
    }

    // Takes `candidate` unless its sectors reach past the end of the disk or overlap
    // those of another; a logical partition must also lie inside its extended one.
    bool Accept(const Extent& candidate, const Extent* container) {
        std::string name = "partition " + Number(uint64_t(candidate.number));
        if (candidate.first >= candidate.end) {
            Problem(name + " is empty or ends before it starts");
            return false;
        }
        if (candidate.end > m_sectors) {
            Problem(name + " reaches past the end of the disk");
            return false;
        }
        if (container && (candidate.first < container->first || candidate.end > container->end)) {
            Problem(name + " lies outside its extended partition");
            return false;
        }
        for (const Extent& taken : m_extents) {
            if (Overlap(candidate, taken) && !(container && taken.container)) {
                Problem(name + " overlaps " +
                        (taken.container ? "extended partition " : "partition ") +
                        Number(uint64_t(taken.number)));
                return false;
            }
        }
        m_extents.push_back(candidate);
        return true;
    }

    void AddPartition(const Extent& extent, Partition partition) {
        partition.number = extent.number;
        partition.offset = extent.first * kSector;
        partition.length = (extent.end - extent.first) * kSector;
        partition.fileSystem = ProbeFileSystem(m_disk, partition.offset, partition.length);
        m_found.push_back(partition);
    }

    void ReadMbr(const uint8_t* mbr) {
        for (int slot = 0; slot < 4; ++slot) {
            uint8_t boot = MbrEntryAt(mbr, slot).boot;
            if (boot != 0 && boot != 0x80) {
                Problem("not a partition table: entry " + Number(uint64_t(slot + 1)) +
                        " has a boot flag of " + Number(boot));
                return;
            }
        }
        uint32_t signature = Le32(mbr + 440);
        std::vector<Extent> containers;
        for (int slot = 0; slot < 4; ++slot) {
            MbrEntry entry = MbrEntryAt(mbr, slot);
            if (entry.type == 0 || entry.sectors == 0) continue;
            Extent extent{entry.start, uint64_t(entry.start) + entry.sectors, slot + 1,
                          IsExtended(entry.type)};
            if (entry.start == 0) {
                Problem("partition " + Number(uint64_t(slot + 1)) +
                        " starts at the partition table");
                continue;
            }
            if (!Accept(extent, nullptr)) continue;
            if (extent.container) {
                containers.push_back(extent);
            } else {
                AddPartition(extent, MbrPartition(entry.type, signature));
            }
        }
        int nextNumber = 5;
        for (const Extent& container : containers) ReadExtended(container, signature, &nextNumber);
    }

    static Partition MbrPartition(uint8_t type, uint32_t signature) {
        Partition partition;
        partition.scheme = PartitionScheme::kMbr;
        partition.mbrType = type;
        partition.diskSignature = signature;
        return partition;
    }

    // The chain of extended boot records: each holds its logical partition (placed
    // from the record on) and a link to the next record (placed from the start of the
    // extended partition on). A logical partition gets its number even when it is
    // refused, so that those after it keep the numbers Linux gives them.
    void ReadExtended(const Extent& container, uint32_t signature, int* nextNumber) {
        std::set<uint64_t> visited;
        uint64_t record = container.first;
        for (int records = 0; record != 0; ++records) {
            std::string where = "extended boot record at sector " + Number(record);
            if (records == kMaxExtendedRecords) {
                Problem("the chain of extended boot records is longer than " +
                        Number(kMaxExtendedRecords) + ": stopped at the " + where);
                return;
            }
            if (!visited.insert(record).second) {
                Problem("the chain of extended boot records loops back to the " + where);
                return;
            }
            uint8_t sector[kSector];
            if (record < container.first || record >= container.end ||
                !ReadSectors(record, 1, sector)) {
                Problem("the " + where + " lies outside its extended partition or the disk");
                return;
            }
            if (!HasBootSignature(sector)) {
                Problem("the " + where + " has no 55 AA signature");
                return;
            }
            uint64_t next = 0;
            for (int slot = 0; slot < 4; ++slot) {
                MbrEntry entry = MbrEntryAt(sector, slot);
                if (entry.sectors == 0) continue;
                if (IsExtended(entry.type)) {
                    if (next == 0) next = container.first + entry.start;
                    continue;
                }
                if (entry.type == 0) continue;
                Extent extent{record + entry.start, record + entry.start + entry.sectors,
                              (*nextNumber)++, false};
                if (entry.start == 0) {
                    Problem("partition " + Number(uint64_t(extent.number)) +
                            " starts at its own extended boot record");
                } else if (Accept(extent, &container)) {
                    AddPartition(extent, MbrPartition(entry.type, signature));
                }
            }
            record = next;
        }
    }

    // The primary header and entries, else the backup's: at the last sector, or where
    // a sound primary header says it is.
    void ReadGpt() {
        std::string primaryProblem, backupProblem;
        GptHeader primary{}, backup{};
        if (ReadGptAt(1, &primary, &primaryProblem)) return;
        uint64_t last = m_sectors - 1;
        bool found = last > 1 && ReadGptAt(last, &backup, &backupProblem);
        if (!found && primary.alternateLba > 1 && primary.alternateLba != last) {
            last = primary.alternateLba;
            found = ReadGptAt(last, &backup, &backupProblem);
        }
        if (found) {
            Problem("the primary GPT header is damaged (" + primaryProblem +
                    "): its backup at sector " + Number(last) + " was used");
        } else {
            Problem("no sound GPT: primary header: " + primaryProblem +
                    "; backup header: " + backupProblem);
        }
    }

    // The GPT whose header is at `lba`: its entries are taken when the header and the
    // entries are sound. `header` is filled in as far as it was read.
    bool ReadGptAt(uint64_t lba, GptHeader* header, std::string* why) {
        std::vector<uint8_t> entries;
        if (!ReadGptHeader(lba, header, why) || !ReadGptEntries(lba, *header, &entries, why))
            return false;
        for (uint32_t index = 0; index < header->entryCount; ++index) {
            const uint8_t* entry = entries.data() + uint64_t(index) * header->entrySize;
            AddGptEntry(*header, entry, int(index) + 1);
        }
        return true;
    }

    bool ReadGptHeader(uint64_t lba, GptHeader* header, std::string* why) {
        uint8_t sector[kSector];
        if (!ReadSectors(lba, 1, sector)) {
            *why = "unreadable";
            return false;
        }
        if (memcmp(sector, "EFI PART", 8) != 0) {
            *why = "no signature";
            return false;
        }
        uint32_t size = Le32(sector + 12);
        if (size < 92 || size > kSector) {
            *why = "a header size of " + Number(size);
            return false;
        }
        uint32_t stored = Le32(sector + 16);
        memset(sector + 16, 0, 4);
        if (Crc32Ieee(sector, size) != stored) {
            *why = "bad header checksum";
            return false;
        }
        if (Le64(sector + 24) != lba) {
            *why = "it names sector " + Number(Le64(sector + 24)) + " as its own";
            return false;
        }
        header->alternateLba = Le64(sector + 32);
        header->firstUsable = Le64(sector + 40);
        header->lastUsable = Le64(sector + 48);
        header->entriesLba = Le64(sector + 72);
        header->entryCount = Le32(sector + 80);
        header->entrySize = Le32(sector + 84);
        return CheckGptHeader(lba, *header, why);
    }

    bool CheckGptHeader(uint64_t lba, const GptHeader& header, std::string* why) {
        if (header.firstUsable > header.lastUsable || header.lastUsable >= m_sectors) {
            *why = "its usable sectors " + Number(header.firstUsable) + "-" +
                   Number(header.lastUsable) + " do not fit the disk";
            return false;
        }
        if (header.entrySize < 128 || header.entrySize > kMaxGptEntry ||
            header.entrySize % 8 != 0) {
            *why = "an entry size of " + Number(header.entrySize);
            return false;
        }
        uint64_t arrayBytes = uint64_t(header.entryCount) * header.entrySize;
        if (arrayBytes > kMaxGptArray) {
            *why = Number(header.entryCount) + " entries";
            return false;
        }
        uint64_t arraySectors = (arrayBytes + kSector - 1) / kSector;
        if (header.entriesLba > m_sectors || arraySectors > m_sectors - header.entriesLba ||
            (lba >= header.entriesLba && lba < header.entriesLba + arraySectors)) {
            *why = "its entries at sector " + Number(header.entriesLba) + " do not fit the disk";
            return false;
        }
        return true;
    }

    bool ReadGptEntries(uint64_t lba, const GptHeader& header, std::vector<uint8_t>* entries,
                        std::string* why) {
        uint64_t arrayBytes = uint64_t(header.entryCount) * header.entrySize;
        uint64_t arraySectors = (arrayBytes + kSector - 1) / kSector;
        entries->resize(size_t(arraySectors * kSector));
        if (!ReadSectors(header.entriesLba, arraySectors, entries->data())) {
            *why = "its entries are unreadable";
            return false;
        }
        uint8_t sector[kSector];
        if (!ReadSectors(lba, 1, sector) ||
            Crc32Ieee(entries->data(), size_t(arrayBytes)) != Le32(sector + 88)) {
            *why = "bad checksum of its entries";
            return false;
        }
        return true;
    }

    void AddGptEntry(const GptHeader& header, const uint8_t* entry, int number) {
        Partition partition;
        partition.scheme = PartitionScheme::kGpt;
        memcpy(partition.typeGuid.data(), entry, 16);
        memcpy(partition.partitionGuid.data(), entry + 16, 16);
        if (IsZero(partition.typeGuid)) return;
        uint64_t first = Le64(entry + 32), last = Le64(entry + 40);
        std::string name = "partition " + Number(uint64_t(number));
        if (first > last) {
            Problem(name + " ends before it starts");
            return;
        }
        if (first < header.firstUsable || last > header.lastUsable) {
            Problem(name + " lies outside the usable sectors of the disk");
            return;
        }
        Extent extent{first, last + 1, number, false};
        if (Accept(extent, nullptr)) AddPartition(extent, partition);
    }

    BlockDevice& m_disk;
    uint64_t m_sectors;
    std::vector<Extent> m_extents;
    std::vector<Partition> m_found;
    std::vector<std::string> m_problems;
};

}  // namespace

std::vector<Partition> ReadPartitions(BlockDevice& disk, std::string* error) {
    return TableReader(disk).Read(error);
}

std::string GuidText(const Guid& guid) {
    char text[37];
    snprintf(text, sizeof text, "%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X",
             unsigned(Le32(guid.data())), unsigned(Le16(guid.data() + 4)),
             unsigned(Le16(guid.data() + 6)), guid[8], guid[9], guid[10], guid[11], guid[12],
             guid[13], guid[14], guid[15]);
    return text;
}
