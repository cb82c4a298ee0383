#include "app/dry_run.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

#include "app/batch.h"
#include "engine/clean.h"
#include "engine/detect.h"
#include "engine/restart_ops.h"
#include "platform/platform.h"

namespace {

std::string g_strFolder;
// The copy being cleaned, and the folder of the file it stands for.
std::string g_strPlace;
std::string g_strOriginalFolder;
int g_nCopies;

// In full, as the restart list names files.
std::string FolderOf(const std::string& path) {
    size_t slash = path.rfind('/');
    std::string folder = slash == std::string::npos ? "." : path.substr(0, slash);
    if (folder[0] == '/') return folder;
    char* current = getcwd(nullptr, 0);
    if (current) folder = std::string(current) + "/" + folder;
    free(current);
    return folder;
}

std::string NameOf(const std::string& path) {
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// In use: another process holds it with a shared lock (see platform_posix.cpp).
bool IsInUse(const char* path) {
    int fd = open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOFOLLOW);
    if (fd < 0) return false;
    bool inUse = flock(fd, LOCK_EX | LOCK_NB) != 0;
    close(fd);
    return inUse;
}

void RemoveFolder(const std::string& folder) {
    if (DIR* dir = opendir(folder.c_str())) {
        while (dirent* entry = readdir(dir)) {
            std::string name = entry->d_name;
            if (name == "." || name == "..") continue;
            std::string path = folder + "/" + name;
            if (entry->d_type == DT_DIR)
                RemoveFolder(path);
            else
                unlink(path.c_str());
        }
        closedir(dir);
    }
    rmdir(folder.c_str());
}

ScanOutcome ScanCopy(const std::string& copy, const char** label, bool inUse) {
    int holder = -1;
    if (inUse) {
        holder = open(copy.c_str(), O_RDONLY | O_CLOEXEC);
        if (holder >= 0) flock(holder, LOCK_SH);
    }
    ScanOutcome outcome = ScanFile(copy.c_str(), label);
    if (holder >= 0) close(holder);
    return outcome;
}

ScanOutcome DryScanFile(const char* path, const char** label, const PlatDirEntry* listed) {
    DetectResult detected = DetectFile(path, label, listed);
    if (detected == DETECT_OPEN_FAILED) return SCAN_OPEN_FAILED;
    if (detected != DETECT_INFECTED) return SCAN_CLEAN;
    g_strPlace = g_strFolder + "/" + std::to_string(++g_nCopies);
    g_strOriginalFolder = FolderOf(path);
    std::string copy = g_strPlace + "/" + NameOf(path);
    ScanOutcome outcome = SCAN_CLEAN_FAILED;
    if (mkdir(g_strPlace.c_str(), 0700) == 0 && PlatCopyFile(path, copy.c_str()))
        outcome = ScanCopy(copy, label, IsInUse(path));
    RemoveFolder(g_strPlace);
    return outcome;
}

int DryRemoveUncleaned(const char* path) {
    return IsInUse(path) ? OP_SCHEDULED : OP_DONE_NOW;
}

}  // namespace

bool StartDryRun() {
    const char* temporary = getenv("TMPDIR");
    std::string pattern =
        std::string(temporary && *temporary ? temporary : "/tmp") + "/torvoclean-dry-run-XXXXXX";
    if (!mkdtemp(&pattern[0])) return false;
    g_strFolder = pattern;
    setenv("TORVOCLEAN_RESTART_LIST", (g_strFolder + "/restart-list.ini").c_str(), 1);
    g_pfnBatchScanFile = DryScanFile;
    g_pfnBatchRemoveUncleaned = DryRemoveUncleaned;
    return true;
}

void EndDryRun() {
    RemoveFolder(g_strFolder);
}

std::string OriginalOfDryRunName(const std::string& name) {
    std::string place = g_strPlace + "/";
    if (name.compare(0, place.size(), place) != 0) return name;
    return g_strOriginalFolder + "/" + name.substr(place.size());
}
