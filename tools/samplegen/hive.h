// A SYSTEM registry hive of the NT family, small but valid (the regf format: a base
// block, one hive bin of cells), holding what TorvoClean reads on a disk image: the
// current control set (Select), its restart list (PendingFileRenameOperations under
// ControlSetNNN\Control\Session Manager) and the drive letters (MountedDevices).
// The output depends only on the description: every time stamp is the same.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tools/samplegen/samples.h"

namespace hive {

using samples::Bytes;

// The most bytes a value's data has in a cell of its own: larger data needs a list of
// segments, which this writer does not make.
const size_t kMostValueData = 16344;

// A drive letter of MountedDevices and the bytes that name its volume.
struct MountedDrive {
    char letter;
    Bytes volume;
};

struct SystemHive {
    uint32_t currentSet = 1;  // 1 to 999
    // A second control set, the last known good one, with the same restart list; 0 for
    // none (the current set is then the last known good one too).
    uint32_t lastKnownGoodSet = 0;
    // The strings of PendingFileRenameOperations, in UTF-8: source, destination,
    // source, ... (an empty destination deletes, one that begins with "!" replaces).
    // None: the value is left out.
    std::vector<std::string> pending;
    std::vector<MountedDrive> drives;
    // The two sequence numbers differ, as while a transaction log waits to be put in.
    bool pendingLog = false;
};

// The value data of PendingFileRenameOperations: REG_MULTI_SZ in UTF-16LE.
Bytes MultiString(const std::vector<std::string>& strings);

// The hive file.
Bytes SystemHiveFile(const SystemHive& hive);

// How MountedDevices names a volume of an MBR disk: its signature and the partition's
// byte offset (12 bytes).
Bytes MbrVolume(uint32_t diskSignature, uint64_t offset);

// How it names a GPT partition, from its GUID written "01234567-89ab-cdef-0123-
// 456789abcdef": "DMIO:ID:" and the GUID's 16 bytes (24 bytes). False for a GUID
// written otherwise.
bool GptVolume(const std::string& guid, Bytes* volume);

}  // namespace hive
