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

CleanResult ResultOfDeletion(int deletedNow) {
    return deletedNow ? CLEAN_DELETED : CLEAN_PENDING_RESTART;
}

CleanResult DeleteWhole(const char* path) {
    return ResultOfDeletion(DeleteOrSchedule(path));
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

CleanResult CleanResultOfHost(ScanOutcome hostOutcome) {
    switch (hostOutcome) {
        case SCAN_CLEAN:
        case SCAN_DISINFECTED:
            return CLEAN_DISINFECTED;
        case SCAN_CLEAN_FAILED:
            return CLEAN_FAILED;
        case SCAN_PENDING_RESTART:
            return CLEAN_PENDING_RESTART;
        case SCAN_DELETED:
            return CLEAN_DELETED;
        default:
            return CLEAN_UNEXPECTED;
    }
}

// The host may itself be infected: it is scanned (and cleaned) inside the work file
// before it takes the infected file's place.
CleanResult PutHostInPlace(const char* path, const std::string& workFile) {
    const char* hostLabel;
    ScanOutcome hostOutcome = ScanFile(workFile.c_str(), &hostLabel);
    int deletedNow = DeleteOrSchedule(path);
    CleanResult result = deletedNow ? CleanResultOfHost(hostOutcome) : CLEAN_PENDING_RESTART;
    MoveOrSchedule(path, workFile.c_str());
    return result;
}

CleanResult CleanExecutable(const char* path, const std::string& workFile) {
    PlatImage* image = PlatLoadImage(path);
    if (!image) return CLEAN_FAILED;
    const unsigned char* host;
    uint32_t hostSize;
    if (!PlatFindHostResource(image, &host, &hostSize) || hostSize < HOST_MIN_SIZE) {
        PlatUnloadImage(image);
        return DeleteWhole(path);
    }
    bool written = WriteHost(workFile, host, hostSize);
    // No mapping may hold the file when it is scanned or deleted.
    PlatUnloadImage(image);
    if (!written) return CLEAN_FAILED;
    return PutHostInPlace(path, workFile);
}

// A copy of the page, less its last 120 bytes.
bool WriteCutCopy(const char* path, const std::string& workFile) {
    if (!PlatCopyFile(path, workFile.c_str())) return false;
    PlatSetNormalAttributes(workFile.c_str());
    PlatFile work = PlatOpenReadWrite(workFile.c_str());
    bool cut = work != PLAT_NO_FILE && PlatCutTail(work, SCRIPT_TAIL_LENGTH);
    if (work != PLAT_NO_FILE) PlatClose(work);
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
    int deletedNow = DeleteOrSchedule(path);
    MoveOrSchedule(path, workFile.c_str());
    return deletedNow ? CLEAN_DISINFECTED : CLEAN_PENDING_RESTART;
}

}  // namespace

CleanResult CleanFile(const char* path) {
    // No work-file name is built for a path the platform would not open.
    if (strlen(path) > PlatMaxPathLength()) return CLEAN_FAILED;
    std::string workFile = std::string(path) + ".cln";
    PlatFile file = PlatOpenRead(path);
    if (file == PLAT_NO_FILE) return CLEAN_OPEN_FAILED;
    unsigned char head[HEAD_LENGTH];
    int32_t headRead = PlatReadAt(file, 0, head, HEAD_LENGTH);
    if (!IsExecutableHead(head, headRead)) return CleanNonExecutable(path, file, workFile);
    PlatClose(file);
    return CleanExecutable(path, workFile);
}

ScanOutcome ScanFile(const char* path, const char** label, const PlatDirEntry* listed) {
    DetectResult detected = DetectFile(path, label, listed);
    if (detected == DETECT_OPEN_FAILED) return SCAN_OPEN_FAILED;
    if (detected != DETECT_INFECTED) return SCAN_CLEAN;
    switch (CleanFile(path)) {
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
