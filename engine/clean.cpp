// Cleaning never edits an infected file in place: the repaired content is built in a
// work file beside it (the file's name with ".cln" appended), the infected file is
// deleted, and the work file takes its name, now or at the next restart.
//
// Runs of the program may overlap, and may come before or after a restart: every
// decision to change a file is taken under the lock of file changes, on the file as it
// is then, and whatever an earlier run left on the restart list for the file is taken
// back before anything is done to it.
#include "engine/clean.h"

#include <cstring>
#include <string>

#include "engine/detect.h"
#include "engine/restart_ops.h"
#include "platform/platform.h"

ChangeGuard g_pfnChangeGuard;

namespace {

// Hosts inside hosts are cleaned this many levels deep, and no deeper.
const int kMaxHostNesting = 10;

// One file being cleaned.
struct Repair {
    const char* path;
    std::string workFile;
    RestartEntry workFileRecord;  // on the restart list while the work file is made
    PlatAttributes attributes;    // what the repaired file takes over
    bool hasAttributes;
    int depth;
};

ScanOutcome ScanAtDepth(const char* path, const char** label, int depth,
                        const PlatDirEntry* listed = nullptr);

CleanResult ResultOfDeletion(int deletion) {
    switch (deletion) {
        case OP_DONE_NOW:
            return CLEAN_DELETED;
        case OP_SCHEDULED:
            return CLEAN_PENDING_RESTART;
        default:
            return CLEAN_FAILED;
    }
}

CleanResult DeleteWhole(const char* path) {
    return ResultOfDeletion(DeleteOrSchedule(path));
}

// Gives up a repair: the work file goes, the infected file stays as it was.
CleanResult Discard(const Repair& repair, CleanResult result = CLEAN_FAILED) {
    PlatSetNormalAttributes(repair.workFile.c_str());
    if (PlatDeleteFile(repair.workFile.c_str()) || PlatIsGone(repair.workFile.c_str()))
        ForgetWorkFile(repair.workFileRecord);
    return result;
}

// The work file is recorded before it is made: a run cut off while it is made leaves it
// to the next run, or the restart, to remove.
bool StartWorkFile(const Repair& repair) {
    return repair.workFile.size() <= PlatMaxPathLength() && RecordWorkFile(repair.workFileRecord);
}

// The repair is written ahead: the finished work file's record goes on the restart list
// before the infected file is touched, and comes off once the work file has taken the
// infected file's name. A cut at any moment leaves the infected file as it was, or its
// repair recorded for the next run or the restart to finish. A file in use keeps the
// record for the restart; so does a work file that itself waits for the restart (its
// host is finished there), behind its own record.
CleanResult PutWorkFileInPlace(const Repair& repair, bool canMoveNow) {
    const char* workFile = repair.workFile.c_str();
    if (repair.hasAttributes) PlatSetAttributes(workFile, repair.attributes);
    PlatSyncFolder(workFile);  // the work file's name is as durable as its content
    RestartEntry record = RepairEntry(repair.path);
    if (!RecordRepair(repair.workFileRecord, record)) {
        // Its own repair waiting, the work file goes only with what waits for it.
        if (!canMoveNow && !TakeBackPendingWork(workFile)) return CLEAN_FAILED;
        return Discard(repair);
    }
    if (!canMoveNow) {
        ReportWaitingRepair(record);
        return CLEAN_PENDING_RESTART;
    }
    PlatSetNormalAttributes(repair.path);
    if (!PlatDeleteFile(repair.path)) {
        ReportWaitingRepair(record);
        return CLEAN_PENDING_RESTART;
    }
    return MoveOrSchedule(repair.path, workFile, record) == OP_DONE_NOW ? CLEAN_DISINFECTED
                                                                        : CLEAN_PENDING_RESTART;
}

// Writes the host into the work file, flushed to the disk; a partly written work file is
// removed again.
bool WriteHost(const std::string& workFile, const unsigned char* host, uint32_t size) {
    PlatFile work = PlatCreateWork(workFile.c_str());
    if (work == PLAT_NO_FILE) return false;
    bool written = PlatWriteAll(work, host, size) && PlatFlushFile(work);
    PlatClose(work);
    if (!written) PlatDeleteFile(workFile.c_str());
    return written;
}

// The host may itself be infected: it is scanned (and cleaned) inside the work file
// before it takes the infected file's place. If it cannot be cleaned, nothing changes.
CleanResult PutHostInPlace(const Repair& repair) {
    const char* hostLabel;
    switch (ScanAtDepth(repair.workFile.c_str(), &hostLabel, repair.depth + 1)) {
        case SCAN_CLEAN_FAILED:
            return Discard(repair);
        case SCAN_OPEN_FAILED:
            return Discard(repair, CLEAN_UNEXPECTED);
        case SCAN_DELETED:  // the host was the worm alone, and is gone
            Discard(repair);
            return DeleteWhole(repair.path);
        case SCAN_PENDING_RESTART:
            return PutWorkFileInPlace(repair, false);
        default:
            return PutWorkFileInPlace(repair, true);
    }
}

// A host that is not strictly smaller than the file that carries it, or one nested
// too deep, is refused: cleaning could otherwise go on, copy after copy, without end.
CleanResult CleanExecutable(const Repair& repair, int64_t fileSize) {
    if (repair.depth >= kMaxHostNesting) return CLEAN_FAILED;
    PlatImage* image = PlatLoadImage(repair.path);
    if (!image) return CLEAN_FAILED;
    const unsigned char* host = nullptr;
    uint32_t hostSize = 0;
    PlatResourceLookup lookup =
        PlatFindResource(image, HOST_RESOURCE_TYPE, HOST_RESOURCE_NAME, &host, &hostSize);
    if (lookup == PLAT_RESOURCE_NONE ||
        (lookup == PLAT_RESOURCE_FOUND && hostSize < HOST_MIN_SIZE)) {
        PlatUnloadImage(image);
        return DeleteWhole(repair.path);
    }
    bool started =
        lookup == PLAT_RESOURCE_FOUND && int64_t(hostSize) < fileSize && StartWorkFile(repair);
    bool written = started && WriteHost(repair.workFile, host, hostSize);
    // No mapping may hold the file when it is scanned or deleted.
    PlatUnloadImage(image);
    if (started && !written) Discard(repair);
    if (!written) return CLEAN_FAILED;
    return PutHostInPlace(repair);
}

// Cuts the script off the copy, after checking that the copy ends with it: only the
// worm's own bytes are ever cut.
bool CutScript(PlatFile work) {
    int64_t size = PlatFileSize(work);
    unsigned char tail[SCRIPT_TAIL_LENGTH];
    return size >= SCRIPT_TAIL_LENGTH &&
           PlatReadAt(work, size - SCRIPT_TAIL_LENGTH, tail, SCRIPT_TAIL_LENGTH) ==
               SCRIPT_TAIL_LENGTH &&
           IsScriptTail(tail) && PlatCutTail(work, SCRIPT_TAIL_LENGTH);
}

// A copy of the page, less its last 120 bytes, made and cut through one handle and
// flushed to the disk; an unfinished copy is removed again.
bool WriteCutCopy(const char* path, const std::string& workFile) {
    PlatFile work = PlatCopyToWork(path, workFile.c_str());
    bool cut = work != PLAT_NO_FILE && CutScript(work) && PlatFlushFile(work);
    if (work != PLAT_NO_FILE) PlatClose(work);
    if (!cut) PlatDeleteFile(workFile.c_str());
    return cut;
}

CleanResult CleanPage(const Repair& repair) {
    if (!StartWorkFile(repair)) return CLEAN_FAILED;
    if (!WriteCutCopy(repair.path, repair.workFile)) return Discard(repair);
    return PutWorkFileInPlace(repair, true);
}

// Cleans a file just found infected, by the form its detection found: a page loses its
// script, a program gets its host back, anything else is deleted whole. The repaired
// file keeps the infected file's attributes, or those an earlier run gave the repaired
// file that was waiting for the restart.
bool MayChange(const char* path) {
    return !g_pfnChangeGuard || g_pfnChangeGuard(path);
}

CleanResult CleanDetected(const char* path, const char* label, bool isExecutable, int depth) {
    if (depth == 0 && !MayChange(path)) return CLEAN_FAILED;
    Repair repair = {path, std::string(path) + ".cln", WorkFileEntry(path), {}, false, depth};
    repair.hasAttributes = PlatGetAttributes(path, &repair.attributes);
    PlatAttributes waiting;
    bool wasWaiting = false;
    if (!TakeBackPendingWork(path, &waiting, &wasWaiting)) return CLEAN_FAILED;
    if (wasWaiting) repair.attributes = waiting;
    repair.hasAttributes = repair.hasAttributes || wasWaiting;
    int64_t size = -1;
    PlatFile file = PlatOpenRead(path, &size);
    if (file == PLAT_NO_FILE) return CLEAN_OPEN_FAILED;
    PlatClose(file);
    if (isExecutable) return CleanExecutable(repair, size);
    if (label == LABEL_JS_TORVO) return CleanPage(repair);
    return DeleteWhole(path);
}

ScanOutcome OutcomeOf(CleanResult result) {
    switch (result) {
        case CLEAN_DISINFECTED:
            return SCAN_DISINFECTED;
        case CLEAN_DELETED:
            return SCAN_DELETED;
        case CLEAN_PENDING_RESTART:
            return SCAN_PENDING_RESTART;
        default:
            return SCAN_CLEAN_FAILED;
    }
}

ScanOutcome ScanAtDepth(const char* path, const char** label, int depth,
                        const PlatDirEntry* listed) {
    bool isExecutable;
    DetectResult detected = DetectFileForm(path, label, listed, &isExecutable);
    if (detected == DETECT_OPEN_FAILED) return SCAN_OPEN_FAILED;
    if (detected != DETECT_INFECTED) return SCAN_CLEAN;
    return OutcomeOf(CleanDetected(path, *label, isExecutable, depth));
}

// Whether others let the file be read as cleaning reads it: one that another process
// holds exclusively cannot be cleaned, and counts as not opened.
bool MayBeRead(const char* path) {
    PlatFile file = PlatOpenRead(path);
    if (file == PLAT_NO_FILE) return false;
    PlatClose(file);
    return true;
}

// Under the lock, on the file as it is now. A clean file loses what an earlier run left
// on the restart list for it: that would delete or replace it at the restart.
ScanOutcome ScanLocked(const char* path, const char** label, const PlatDirEntry* listed) {
    PlatDirEntry byPath;
    if (listed) {
        byPath = *listed;
        byPath.listing = nullptr;  // the file is opened afresh, by its path
        listed = &byPath;
    }
    bool isExecutable;
    DetectResult detected = DetectFileForm(path, label, listed, &isExecutable);
    if (detected == DETECT_OPEN_FAILED) return SCAN_OPEN_FAILED;
    if (detected == DETECT_INFECTED) {
        if (!MayBeRead(path)) {
            *label = LABEL_TORVO_A;
            return SCAN_OPEN_FAILED;
        }
        return OutcomeOf(CleanDetected(path, *label, isExecutable, 0));
    }
    if (detected == DETECT_CLEAN) TakeBackPendingWork(path);
    return SCAN_CLEAN;
}

}  // namespace

CleanResult CleanFile(const char* path) {
    FileChangesLock lock;
    if (!lock.IsHeld()) return CLEAN_FAILED;
    const char* label;
    bool isExecutable;
    DetectResult detected = DetectFileForm(path, &label, nullptr, &isExecutable);
    if (detected == DETECT_OPEN_FAILED || !MayBeRead(path)) return CLEAN_OPEN_FAILED;
    if (detected != DETECT_INFECTED) return CLEAN_FAILED;
    return CleanDetected(path, label, isExecutable, 0);
}

// A path the platform cannot reach, or a name that stands for another file, is never
// opened. Detection runs unlocked; whatever it finds that may lead to a change (an
// infection, a file that could not be opened just then, a clean file the restart list
// would change) is looked at again under the lock.
ScanOutcome ScanFile(const char* path, const char** label, const PlatDirEntry* listed) {
    *label = LABEL_TORVO_A;
    if (strlen(path) > PlatMaxPathLength() || (listed && listed->isUnreachable))
        return SCAN_OPEN_FAILED;
    bool isExecutable;
    DetectResult detected = DetectFileForm(path, label, listed, &isExecutable);
    if (detected == DETECT_NO_MEMORY) return SCAN_CLEAN;
    if (detected == DETECT_CLEAN && !IsPendingOnRestartList(path)) return SCAN_CLEAN;
    FileChangesLock lock;
    if (lock.IsHeld()) return ScanLocked(path, label, listed);
    if (detected == DETECT_OPEN_FAILED) return SCAN_OPEN_FAILED;
    return detected == DETECT_INFECTED ? SCAN_CLEAN_FAILED : SCAN_CLEAN;
}

int RemoveUncleanedFile(const char* path) {
    FileChangesLock lock;
    if (!lock.IsHeld()) return OP_NOT_DONE;
    const char* label;
    bool isExecutable;
    if (DetectFileForm(path, &label, nullptr, &isExecutable) != DETECT_INFECTED) return OP_NOT_DONE;
    if (!MayChange(path) || !TakeBackPendingWork(path)) return OP_NOT_DONE;
    return DeleteOrSchedule(path);
}
