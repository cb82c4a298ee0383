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

ScanOutcome ScanAtDepth(Engine& engine, const char* path, const char** label, int depth,
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

CleanResult DeleteWhole(Engine& engine, const char* path) {
    return ResultOfDeletion(DeleteOrSchedule(engine, path));
}

// Gives up a repair: the work file goes, the infected file stays as it was.
CleanResult Discard(Engine& engine, const Repair& repair, CleanResult result = CLEAN_FAILED) {
    engine.platform.SetNormalAttributes(repair.workFile.c_str());
    if (engine.platform.Remove(repair.workFile.c_str()) ||
        engine.platform.IsGone(repair.workFile.c_str()))
        ForgetWorkFile(engine, repair.workFileRecord);
    return result;
}

// The work file is recorded before it is made: a run cut off while it is made leaves it
// to the next run, or the restart, to remove.
bool StartWorkFile(Engine& engine, const Repair& repair) {
    return repair.workFile.size() <= engine.platform.MaxPathLength() &&
           RecordWorkFile(engine, repair.workFileRecord);
}

// The repair is written ahead: the finished work file's record goes on the restart list
// before the infected file is touched, and comes off once the work file has taken the
// infected file's name. A cut at any moment leaves the infected file as it was, or its
// repair recorded for the next run or the restart to finish. A file in use keeps the
// record for the restart; so does a work file that itself waits for the restart (its
// host is finished there), behind its own record.
CleanResult PutWorkFileInPlace(Engine& engine, const Repair& repair, bool canMoveNow) {
    const char* workFile = repair.workFile.c_str();
    if (repair.hasAttributes) engine.platform.SetAttributes(workFile, repair.attributes);
    engine.platform.SyncFolder(workFile);  // the work file's name is as durable as its content
    RestartEntry record = RepairEntry(engine, repair.path);
    if (!RecordRepair(engine, repair.workFileRecord, record)) {
        // Its own repair waiting, the work file goes only with what waits for it.
        if (!canMoveNow && !TakeBackPendingWork(engine, workFile)) return CLEAN_FAILED;
        return Discard(engine, repair);
    }
    if (!canMoveNow) {
        ReportWaitingRepair(engine, record);
        return CLEAN_PENDING_RESTART;
    }
    engine.platform.SetNormalAttributes(repair.path);
    if (!engine.platform.Remove(repair.path)) {
        ReportWaitingRepair(engine, record);
        return CLEAN_PENDING_RESTART;
    }
    return MoveOrSchedule(engine, repair.path, workFile, record) == OP_DONE_NOW
               ? CLEAN_DISINFECTED
               : CLEAN_PENDING_RESTART;
}

// Writes the host into the work file, flushed to the disk; a partly written work file is
// removed again.
bool WriteHost(Engine& engine, const std::string& workFile, const unsigned char* host,
               uint32_t size) {
    PlatFile work = engine.platform.CreateWork(workFile.c_str());
    if (work == PLAT_NO_FILE) return false;
    bool written = engine.platform.WriteAll(work, host, size) && engine.platform.FlushFile(work);
    engine.platform.Close(work);
    if (!written) engine.platform.Remove(workFile.c_str());
    return written;
}

// The host may itself be infected: it is scanned (and cleaned) inside the work file
// before it takes the infected file's place. If it cannot be cleaned, nothing changes.
CleanResult PutHostInPlace(Engine& engine, const Repair& repair) {
    const char* hostLabel;
    switch (ScanAtDepth(engine, repair.workFile.c_str(), &hostLabel, repair.depth + 1)) {
        case SCAN_CLEAN_FAILED:
            return Discard(engine, repair);
        case SCAN_OPEN_FAILED:
            return Discard(engine, repair, CLEAN_UNEXPECTED);
        case SCAN_DELETED:  // the host was the worm alone, and is gone
            Discard(engine, repair);
            return DeleteWhole(engine, repair.path);
        case SCAN_PENDING_RESTART:
            return PutWorkFileInPlace(engine, repair, false);
        default:
            return PutWorkFileInPlace(engine, repair, true);
    }
}

// A host that is not strictly smaller than the file that carries it, or one nested
// too deep, is refused: cleaning could otherwise go on, copy after copy, without end.
CleanResult CleanExecutable(Engine& engine, const Repair& repair, int64_t fileSize) {
    if (repair.depth >= kMaxHostNesting) return CLEAN_FAILED;
    PlatImage* image = engine.platform.LoadExecutable(repair.path);
    if (!image) return CLEAN_FAILED;
    const unsigned char* host = nullptr;
    uint32_t hostSize = 0;
    PlatResourceLookup lookup = engine.platform.FindResourceData(
        image, HOST_RESOURCE_TYPE, HOST_RESOURCE_NAME, &host, &hostSize);
    if (lookup == PLAT_RESOURCE_NONE ||
        (lookup == PLAT_RESOURCE_FOUND && hostSize < HOST_MIN_SIZE)) {
        engine.platform.UnloadExecutable(image);
        return DeleteWhole(engine, repair.path);
    }
    bool started = lookup == PLAT_RESOURCE_FOUND && int64_t(hostSize) < fileSize &&
                   StartWorkFile(engine, repair);
    bool written = started && WriteHost(engine, repair.workFile, host, hostSize);
    // No mapping may hold the file when it is scanned or deleted.
    engine.platform.UnloadExecutable(image);
    if (started && !written) Discard(engine, repair);
    if (!written) return CLEAN_FAILED;
    return PutHostInPlace(engine, repair);
}

// Cuts the script off the copy, after checking that the copy ends with it: only the
// worm's own bytes are ever cut.
bool CutScript(Engine& engine, PlatFile work) {
    int64_t size = engine.platform.FileSize(work);
    unsigned char tail[SCRIPT_TAIL_LENGTH];
    return size >= SCRIPT_TAIL_LENGTH &&
           engine.platform.ReadAt(work, size - SCRIPT_TAIL_LENGTH, tail, SCRIPT_TAIL_LENGTH) ==
               SCRIPT_TAIL_LENGTH &&
           IsScriptTail(tail) && engine.platform.CutTail(work, SCRIPT_TAIL_LENGTH);
}

// A copy of the page, less its last 120 bytes, made and cut through one handle and
// flushed to the disk; an unfinished copy is removed again.
bool WriteCutCopy(Engine& engine, const char* path, const std::string& workFile) {
    PlatFile work = engine.platform.CopyToWork(path, workFile.c_str());
    bool cut = work != PLAT_NO_FILE && CutScript(engine, work) && engine.platform.FlushFile(work);
    if (work != PLAT_NO_FILE) engine.platform.Close(work);
    if (!cut) engine.platform.Remove(workFile.c_str());
    return cut;
}

CleanResult CleanPage(Engine& engine, const Repair& repair) {
    if (!StartWorkFile(engine, repair)) return CLEAN_FAILED;
    if (!WriteCutCopy(engine, repair.path, repair.workFile)) return Discard(engine, repair);
    return PutWorkFileInPlace(engine, repair, true);
}

// Cleans a file just found infected, by the form its detection found: a page loses its
// script, a program gets its host back, anything else is deleted whole. The repaired
// file keeps the infected file's attributes, or those an earlier run gave the repaired
// file that was waiting for the restart.
bool MayChange(Engine& engine, const char* path) {
    return !engine.changeGuard || engine.changeGuard(path);
}

// Sets up the repair of `path`, taking back what the restart list would still do to it;
// false when that cannot be done.
bool BeginRepair(Engine& engine, const char* path, int depth, Repair* repair) {
    *repair = {path, std::string(path) + ".cln", WorkFileEntry(engine, path), {}, false, depth};
    repair->hasAttributes = engine.platform.GetAttributes(path, &repair->attributes);
    PlatAttributes waiting;
    bool wasWaiting = false;
    if (!TakeBackPendingWork(engine, path, &waiting, &wasWaiting)) return false;
    if (wasWaiting) repair->attributes = waiting;
    repair->hasAttributes = repair->hasAttributes || wasWaiting;
    return true;
}

CleanResult CleanDetected(Engine& engine, const char* path, const char* label, bool isExecutable,
                          int depth) {
    if (depth == 0 && !MayChange(engine, path)) return CLEAN_FAILED;
    Repair repair;
    if (!BeginRepair(engine, path, depth, &repair)) return CLEAN_FAILED;
    int64_t size = -1;
    PlatFile file = engine.platform.OpenRead(path, &size);
    if (file == PLAT_NO_FILE) return CLEAN_OPEN_FAILED;
    engine.platform.Close(file);
    if (isExecutable) return CleanExecutable(engine, repair, size);
    if (label == LABEL_JS_TORVO) return CleanPage(engine, repair);
    return DeleteWhole(engine, path);
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

ScanOutcome ScanAtDepth(Engine& engine, const char* path, const char** label, int depth,
                        const PlatDirEntry* listed) {
    bool isExecutable;
    DetectResult detected = DetectFileForm(engine.platform, path, label, listed, &isExecutable);
    if (detected == DETECT_OPEN_FAILED) return SCAN_OPEN_FAILED;
    if (detected != DETECT_INFECTED) return SCAN_CLEAN;
    return OutcomeOf(CleanDetected(engine, path, *label, isExecutable, depth));
}

// Whether others let the file be read as cleaning reads it: one that another process
// holds exclusively cannot be cleaned, and counts as not opened.
bool MayBeRead(Engine& engine, const char* path) {
    PlatFile file = engine.platform.OpenRead(path);
    if (file == PLAT_NO_FILE) return false;
    engine.platform.Close(file);
    return true;
}

// Under the lock, on the file as it is now. A clean file loses what an earlier run left
// on the restart list for it: that would delete or replace it at the restart.
ScanOutcome ScanLocked(Engine& engine, const char* path, const char** label,
                       const PlatDirEntry* listed) {
    PlatDirEntry byPath;
    if (listed) {
        byPath = *listed;
        byPath.listing = nullptr;  // the file is opened afresh, by its path
        listed = &byPath;
    }
    bool isExecutable;
    DetectResult detected = DetectFileForm(engine.platform, path, label, listed, &isExecutable);
    if (detected == DETECT_OPEN_FAILED) return SCAN_OPEN_FAILED;
    if (detected == DETECT_INFECTED) {
        if (!MayBeRead(engine, path)) {
            *label = LABEL_TORVO_A;
            return SCAN_OPEN_FAILED;
        }
        return OutcomeOf(CleanDetected(engine, path, *label, isExecutable, 0));
    }
    if (detected == DETECT_CLEAN) TakeBackPendingWork(engine, path);
    return SCAN_CLEAN;
}

CleanResult CleanLocked(Engine& engine, const char* path) {
    const char* label;
    bool isExecutable;
    DetectResult detected = DetectFileForm(engine.platform, path, &label, nullptr, &isExecutable);
    if (detected == DETECT_OPEN_FAILED || !MayBeRead(engine, path)) return CLEAN_OPEN_FAILED;
    if (detected != DETECT_INFECTED) return CLEAN_FAILED;
    return CleanDetected(engine, path, label, isExecutable, 0);
}

int RemoveLocked(Engine& engine, const char* path) {
    const char* label;
    bool isExecutable;
    if (DetectFileForm(engine.platform, path, &label, nullptr, &isExecutable) != DETECT_INFECTED)
        return OP_NOT_DONE;
    if (!MayChange(engine, path) || !TakeBackPendingWork(engine, path)) return OP_NOT_DONE;
    return DeleteOrSchedule(engine, path);
}

// Runs `change` under the lock of file changes. A platform that keeps changes until the
// lock is let go (a disk image) may lose them then: the change is reported failed.
template <typename Result, typename Change>
Result UnderLock(Engine& engine, Result failed, Change change) {
    Result result;
    {
        FileChangesLock lock(engine);
        if (!lock.IsHeld()) return failed;
        result = change();
    }
    return engine.platform.LostChanges() ? failed : result;
}

}  // namespace

CleanResult CleanFile(Engine& engine, const char* path) {
    return UnderLock(engine, CLEAN_FAILED, [&] { return CleanLocked(engine, path); });
}

// A path the platform cannot reach, or a name that stands for another file, is never
// opened. Detection runs unlocked; whatever it finds that may lead to a change (an
// infection, a file that could not be opened just then, a clean file the restart list
// would change) is looked at again under the lock.
ScanOutcome ScanFile(Engine& engine, const char* path, const char** label,
                     const PlatDirEntry* listed, FileHead* head) {
    *label = LABEL_TORVO_A;
    if (strlen(path) > engine.platform.MaxPathLength() || (listed && listed->isUnreachable))
        return SCAN_OPEN_FAILED;
    bool isExecutable;
    DetectResult detected =
        DetectFileForm(engine.platform, path, label, listed, &isExecutable, head);
    if (detected == DETECT_NO_MEMORY) return SCAN_CLEAN;
    if (detected == DETECT_CLEAN && !IsPendingOnRestartList(engine, path)) return SCAN_CLEAN;
    ScanOutcome unlocked = detected == DETECT_OPEN_FAILED ? SCAN_OPEN_FAILED
                           : detected == DETECT_INFECTED  ? SCAN_CLEAN_FAILED
                                                          : SCAN_CLEAN;
    ScanOutcome outcome =
        UnderLock(engine, unlocked, [&] { return ScanLocked(engine, path, label, listed); });
    return outcome;
}

CleanResult ReplaceFileContent(Engine& engine, const char* path, const WorkFileWriter& write) {
    Repair repair;
    if (!MayChange(engine, path) || !BeginRepair(engine, path, 0, &repair) ||
        !StartWorkFile(engine, repair))
        return CLEAN_FAILED;
    PlatFile work = engine.platform.CreateWork(repair.workFile.c_str());
    if (work == PLAT_NO_FILE) return Discard(engine, repair);
    bool written = write(work) && engine.platform.FlushFile(work);
    engine.platform.Close(work);
    if (!written) return Discard(engine, repair);
    return PutWorkFileInPlace(engine, repair, true);
}

CleanResult DeleteWholeFile(Engine& engine, const char* path) {
    if (!MayChange(engine, path) || !TakeBackPendingWork(engine, path)) return CLEAN_FAILED;
    return DeleteWhole(engine, path);
}

int RemoveUncleanedFile(Engine& engine, const char* path) {
    return UnderLock(engine, OP_NOT_DONE, [&] { return RemoveLocked(engine, path); });
}
