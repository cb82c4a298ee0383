// What the readers of archives and of mail share (containers.cpp): one look into one
// container, and the scan of a member as a file of its own.
#pragma once

#include <string>
#include <vector>

#include "app/linux/containers.h"
#include "platform/memory/memory_platform.h"

// One look into one container, at some depth of nesting, and what it found.
struct Look {
    const ContainerSettings& settings;
    int depth;  // 0: a file of the walk
    ContainerReport report;
    int64_t* unpacked;  // all unpacked so far from the file of the walk, shared by the
                        // looks into the containers inside it

    // A look into a container inside this one.
    Look Inside() const { return Look{settings, depth + 1, ContainerReport(), unpacked}; }
    // Another pass over the same container (under the lock), counting from `counter`.
    Look Again(int64_t* counter) const { return Look{settings, depth, ContainerReport(), counter}; }
    // Counts `bytes` more unpacked; false when that passes the limit.
    bool Unpack(int64_t bytes) {
        *unpacked += bytes;
        return *unpacked <= settings.limits.unpacked;
    }

    void NotRead(const std::string& name, const std::string& why) {
        report.notScanned.push_back({name, why});
    }
};

// A member after its scan: what it holds now.
struct ScannedMember {
    Bytes content;
    bool removed = false;   // it was nothing but the worm
    bool changed = false;   // repaired or removed
    bool infected = false;  // it, or something inside it
    bool wormOnly = false;  // it was nothing but the worm
};

// Scans (and cleans) `content` as a file of its own named `name`, looking into it when it
// is a container (and `lookInside`); its findings go to `look`.
ScannedMember ScanMember(Bytes content, const std::string& name, Look& look,
                         bool lookInside = true);

// Reads a file of a platform at an offset.
class PlatformReader {
  public:
    PlatformReader(Platform& platform, const char* path);
    // A file open already, which stays open (a work file, read back through its handle).
    PlatformReader(Platform& platform, PlatFile open);
    ~PlatformReader();
    bool IsOpen() const { return m_file != PLAT_NO_FILE; }
    int64_t Size() const { return m_size; }
    int64_t Read(int64_t offset, void* buffer, size_t count);

  private:
    Platform& m_platform;
    int64_t m_size = -1;  // before m_file, which the constructor opens
    PlatFile m_file;
    bool m_owned = true;
};

// The looks into each kind of container; each may call ReplaceFileContent or
// DeleteWholeFile on `engine` (under its lock) and tells in `look.report.change`.
void LookIntoArchive(Engine& engine, const char* path, const std::string& name, Look& look);
void LookIntoMbox(Engine& engine, const char* path, const std::string& name, Look& look);
void LookIntoMessageFile(Engine& engine, const char* path, const std::string& name, Look& look);
void LookIntoDbx(Engine& engine, const char* path, const std::string& name, Look& look);

// A change of the whole container, as decided under the lock: what its members' findings
// become when it could not be made, or waits for the restart.
void ApplyChange(CleanResult change, const std::string& failedReason, ContainerReport* report);
// Members that would have been cleaned are reported not cleaned, with `reason`.
void NotCleaned(const std::string& reason, std::vector<MemberFinding>* findings);
