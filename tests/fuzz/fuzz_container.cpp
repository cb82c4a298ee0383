// Arbitrary bytes as a file of the walk: looked into as an archive or a mailbox, every
// member scanned and cleaned in memory, and the file written anew when a member changed.
// What was written anew, looked into again, has nothing left to clean.
#include <cstddef>
#include <cstdint>

#include "app/linux/containers.h"
#include "engine/clean.h"
#include "platform/memory/memory_platform.h"

namespace {

const char kPath[] = "/file";

ContainerSettings SmallLimits() {
    ContainerSettings settings;
    settings.limits.depth = 4;
    settings.limits.memberSize = 1 << 20;
    settings.limits.unpacked = 8 << 20;
    settings.limits.members = 200;
    return settings;
}

ContainerReport Look(MemoryPlatform& files, const ContainerSettings& settings) {
    Engine engine(files);
    FileHead head;
    if (!ReadHead(files, kPath, &head) || !IsContainer(files, kPath, head, settings))
        return ContainerReport();
    return ScanContainer(engine, kPath, "file", head, settings);
}

bool Cleaned(const MemberFinding& finding) {
    return finding.outcome == SCAN_DISINFECTED || finding.outcome == SCAN_DELETED;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const ContainerSettings settings = SmallLimits();
    MemoryPlatform files;
    files.Put(kPath, Bytes(data, data + size));
    ContainerReport first = Look(files, settings);
    if (first.change != CLEAN_DISINFECTED || !first.notScanned.empty()) return 0;
    ContainerReport second = Look(files, settings);
    for (const MemberFinding& finding : second.findings)
        if (Cleaned(finding)) __builtin_trap();  // the new file still held something to clean
    return 0;
}
