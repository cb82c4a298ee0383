// Archives and mailboxes looked inside (the Linux tool). Every member of an archive and
// every attachment of a message is scanned, and cleaned, by the engine as a file of its own,
// held in memory; a container whose members changed is written anew, read back and
// compared, and put in the original's place by the engine's protocol of every repair.
// Containers inside containers are looked into the same way, to a bounded depth.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "engine/codes.h"
#include "engine/detect.h"
#include "engine/engine.h"

// What looking into one file may cost: beyond any of these, what is left is reported
// as not scanned.
struct ContainerLimits {
    int depth = 10;                    // containers inside containers
    int64_t memberSize = 100LL << 20;  // one member, unpacked
    int64_t unpacked = 400LL << 20;    // all that is unpacked from one file
    int64_t members = 10000;           // members (and messages) of one file
    double ratio = 250;                // unpacked bytes per packed byte of a member
};

struct ContainerSettings {
    bool archives = true;
    bool mail = true;
    bool dryRun = false;         // tell what would be done; change nothing
    bool remove = false;         // delete a container that holds nothing but the worm, even one
                                 // that cannot be written
    bool lockMailboxes = false;  // take mail programs' locks on an mbox being written
    ContainerLimits limits;
};

// The message an infected part came in.
struct MessageInfo {
    std::string id, subject, from;
};

// What became of one infected member or part, named "old.zip//setup/prog.exe".
struct MemberFinding {
    std::string name;
    const char* label;
    ScanOutcome outcome;
    std::string reason;  // why it was not cleaned, when it was not
    bool inMessage = false;
    MessageInfo message;
};

// A member, message or container not looked at whole, and why.
struct NotScanned {
    std::string name, why;
};

struct ContainerReport {
    std::vector<MemberFinding> findings;
    std::vector<NotScanned> notScanned;
    // What became of the container file itself: CLEAN_DISINFECTED when it was written
    // anew, CLEAN_DELETED, CLEAN_PENDING_RESTART; CLEAN_FAILED when it was left as it was.
    CleanResult change = CLEAN_FAILED;
};

// Whether the file may be a container looked into, by its first bytes alone: cheap, and
// safe on any thread.
bool MayBeContainer(const FileHead& head, const ContainerSettings& settings);

// Reads the first bytes of a file; false when it cannot be read.
bool ReadHead(Platform& platform, const char* path, FileHead* head);

// Whether the file whose first bytes are `head` is a container looked into.
bool IsContainer(Platform& platform, const char* path, const FileHead& head,
                 const ContainerSettings& settings);

// Looks into the container `path`, a file of the engine's platform that the user knows
// as `shownName`, and repairs what can be repaired.
ContainerReport ScanContainer(Engine& engine, const char* path, const std::string& shownName,
                              const FileHead& head, const ContainerSettings& settings);
