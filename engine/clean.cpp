// Cleaning never edits an infected file in place: the repaired content is built in a
// work file beside it (the file's name with ".cln" appended), the infected file is
// deleted, and the work file takes its name, now or at the next restart.
#include "engine/clean.h"

#include <cstdlib>
#include <cstring>
#include <string>

#include "engine/detect.h"
#include "engine/restart_ops.h"
#include "platform/platform.h"

namespace {

// Hosts inside hosts are cleaned this many levels deep, and no deeper.
const int kMaxHostNesting = 10;

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
CleanResult Discard(const std::string& workFile, CleanResult result = CLEAN_FAILED) {
    PlatDeleteFile(workFile.c_str());
    return result;
}

// The infected file is deleted and the work file takes its name, now or at the next
// restart; on the restart list too the deletion comes first. The repair is reported
// done only when both happened now. A work file that itself waits for the restart
// (its host is finished there) may only take the name there, behind its own entries.
CleanResult PutWorkFileInPlace(const char* path, const std::string& workFile, bool canMoveNow) {
    int deletion = DeleteOrSchedule(path);
    if (deletion == OP_NOT_DONE) return canMoveNow ? Discard(workFile) : CLEAN_FAILED;
    int move =
        canMoveNow ? MoveOrSchedule(path, workFile.c_str()) : ScheduleMove(path, workFile.c_str());
    if (move == OP_DONE_NOW && deletion == OP_DONE_NOW) return CLEAN_DISINFECTED;
    if (move != OP_NOT_DONE) return CLEAN_PENDING_RESTART;
    // The repaired file can take the name neither now nor later. While the infected
    // file still stands, its scheduled deletion is taken back and the repair given up;
    // once it is gone, the work file holds all there is, and stays.
    if (deletion == OP_SCHEDULED && UnscheduleDelete(path) && canMoveNow) return Discard(workFile);
    return CLEAN_FAILED;
}

// Writes the host into the work file; a partly written work file is removed again.
bool WriteHost(const std::string& workFile, const unsigned char* host, uint32_t size) {
    PlatFile work = PlatCreateWork(workFile.c_str());
    if (work == PLAT_NO_FILE) return false;
    bool written = PlatWriteAll(work, host, size);
    PlatClose(work);
    if (!written) PlatDeleteFile(workFile.c_str());
    return written;
}

// The host may itself be infected: it is scanned (and cleaned) inside the work file
// before it takes the infected file's place. If it cannot be cleaned, nothing changes.
CleanResult PutHostInPlace(const char* path, const std::string& workFile, int depth) {
    const char* hostLabel;
    switch (ScanAtDepth(workFile.c_str(), &hostLabel, depth + 1)) {
        case SCAN_CLEAN_FAILED:
            return Discard(workFile);
        case SCAN_OPEN_FAILED:
            return Discard(workFile, CLEAN_UNEXPECTED);
        case SCAN_DELETED:  // the host was the worm alone, and is gone
            return DeleteWhole(path);
        case SCAN_PENDING_RESTART:
            return PutWorkFileInPlace(path, workFile, false);
        default:
            return PutWorkFileInPlace(path, workFile, true);
    }
}

// A host that is not strictly smaller than the file that carries it, or one nested
// too deep, is refused: cleaning could otherwise go on, copy after copy, without end.
CleanResult CleanExecutable(const char* path, int64_t fileSize, const std::string& workFile,
                            int depth) {
    if (depth >= kMaxHostNesting) return CLEAN_FAILED;
    PlatImage* image = PlatLoadImage(path);
    if (!image) return CLEAN_FAILED;
    const unsigned char* host = nullptr;
    uint32_t hostSize = 0;
    PlatHostLookup lookup = PlatFindHostResource(image, &host, &hostSize);
    if (lookup == PLAT_HOST_NONE || (lookup == PLAT_HOST_FOUND && hostSize < HOST_MIN_SIZE)) {
        PlatUnloadImage(image);
        return DeleteWhole(path);
    }
    bool written = lookup == PLAT_HOST_FOUND && int64_t(hostSize) < fileSize &&
                   WriteHost(workFile, host, hostSize);
    // No mapping may hold the file when it is scanned or deleted.
    PlatUnloadImage(image);
    if (!written) return CLEAN_FAILED;
    return PutHostInPlace(path, workFile, depth);
}

// A copy of the page, less its last 120 bytes; an unfinished copy is removed again.
bool WriteCutCopy(const char* path, const std::string& workFile) {
    bool cut = false;
    if (PlatCopyFile(path, workFile.c_str())) {
        PlatSetNormalAttributes(workFile.c_str());
        PlatFile work = PlatOpenReadWrite(workFile.c_str());
        cut = work != PLAT_NO_FILE && PlatCutTail(work, SCRIPT_TAIL_LENGTH);
        if (work != PLAT_NO_FILE) PlatClose(work);
    }
    if (!cut) PlatDeleteFile(workFile.c_str());
    return cut;
}

CleanResult CleanNonExecutable(const char* path, PlatFile file, const std::string& workFile) {
    unsigned char* tail = static_cast<unsigned char*>(malloc(SCRIPT_TAIL_LENGTH));
    if (!tail) {
        PlatClose(file);
        return CLEAN_FAILED;
    }
    int32_t tailRead = PlatReadLast(file, tail, SCRIPT_TAIL_LENGTH);
    PlatClose(file);
    bool isPage = tailRead == SCRIPT_TAIL_LENGTH && IsScriptTail(tail);
    free(tail);
    if (tailRead != SCRIPT_TAIL_LENGTH) return CLEAN_FAILED;
    if (!isPage) return DeleteWhole(path);
    if (!WriteCutCopy(path, workFile)) return CLEAN_FAILED;
    return PutWorkFileInPlace(path, workFile, true);
}

CleanResult CleanAtDepth(const char* path, int depth) {
    // No work-file name is built for a path the platform would not open.
    if (strlen(path) > PlatMaxPathLength()) return CLEAN_FAILED;
    std::string workFile = std::string(path) + ".cln";
    int64_t size = -1;
    PlatFile file = PlatOpenRead(path, &size);
    if (file == PLAT_NO_FILE) return CLEAN_OPEN_FAILED;
    unsigned char head[HEAD_LENGTH];
    int32_t headRead = PlatReadAt(file, 0, head, HEAD_LENGTH);
    if (!IsExecutableHead(head, headRead)) return CleanNonExecutable(path, file, workFile);
    PlatClose(file);
    return CleanExecutable(path, size, workFile, depth);
}

ScanOutcome ScanAtDepth(const char* path, const char** label, int depth,
                        const PlatDirEntry* listed) {
    DetectResult detected = DetectFile(path, label, listed);
    if (detected == DETECT_OPEN_FAILED) return SCAN_OPEN_FAILED;
    if (detected != DETECT_INFECTED) return SCAN_CLEAN;
    switch (CleanAtDepth(path, depth)) {
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

}  // namespace

CleanResult CleanFile(const char* path) {
    return CleanAtDepth(path, 0);
}

ScanOutcome ScanFile(const char* path, const char** label, const PlatDirEntry* listed) {
    return ScanAtDepth(path, label, 0, listed);
}
