// The volumes of a disk: an MBR (primary partitions, and logical ones in the chain of
// extended boot records), a GPT, or one volume without a partition table (a FAT or
// NTFS boot sector in the first sector, as on a floppy). Sectors are 512 bytes.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/image/block_device.h"
#include "platform/image/disk/file_system_probe.h"

enum class PartitionScheme { kNone, kMbr, kGpt };

typedef std::array<uint8_t, 16> Guid;  // as stored on disk

struct Partition {
    // As Linux numbers them: MBR primaries 1-4 by slot, logical partitions from 5 in
    // the order of their chain; GPT entries by slot from 1; 0 for a disk without a
    // partition table, whose one volume is named without a partition.
    int number = 0;
    uint64_t offset = 0;  // bytes
    uint64_t length = 0;  // bytes
    FileSystemGuess fileSystem;
    PartitionScheme scheme = PartitionScheme::kNone;
    // What the NT family records a drive letter by: on an MBR disk its signature and
    // the partition's byte offset, on a GPT disk the partition's GUID.
    uint32_t diskSignature = 0;
    uint8_t mbrType = 0;
    Guid typeGuid{};
    Guid partitionGuid{};
};

// The volumes found, in the order of their numbers. `error` is left empty when the
// table was read whole; otherwise it tells what was refused (a table, or single
// entries: those that overlap, reach past the end of the disk, or are absurd) or worked
// around (a damaged GPT header whose backup was used), and the volumes returned are the
// sound ones.
std::vector<Partition> ReadPartitions(BlockDevice& disk, std::string* error);

// "01234567-89AB-CDEF-0123-456789ABCDEF", the mixed-endian text form.
std::string GuidText(const Guid& guid);
