#include "app/linux/dry_run.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

#include "app/common/batch.h"
#include "engine/clean.h"
#include "engine/detect.h"
#include "engine/restart_ops.h"
#include "platform/platform.h"

namespace {

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

}  // namespace

ScanOutcome DryRun::ScanCopy(const std::string& copy, const char** label, bool inUse) {
    int holder = -1;
    if (inUse) {
        holder = open(copy.c_str(), O_RDONLY | O_CLOEXEC);
        if (holder >= 0) flock(holder, LOCK_SH);
    }
    ScanOutcome outcome = ::ScanFile(*m_engine, copy.c_str(), label);
    if (holder >= 0) close(holder);
    return outcome;
}

ScanOutcome DryRun::ScanFile(Platform& host, const char* path, const char** label,
                             const PlatDirEntry* listed) {
    DetectResult detected = DetectFile(host, path, label, listed);
    if (detected == DETECT_OPEN_FAILED) return SCAN_OPEN_FAILED;
    if (detected != DETECT_INFECTED) return SCAN_CLEAN;
    m_place = m_folder + "/" + std::to_string(++m_copies);
    m_originalFolder = FolderOf(path);
    std::string copy = m_place + "/" + NameOf(path);
    ScanOutcome outcome = SCAN_CLEAN_FAILED;
    if (mkdir(m_place.c_str(), 0700) == 0 && host.Copy(path, copy.c_str()))
        outcome = ScanCopy(copy, label, IsInUse(path));
    RemoveFolder(m_place);
    return outcome;
}

DryRun::~DryRun() {
    m_engine.reset();
    m_platform.reset();
    if (!m_folder.empty()) RemoveFolder(m_folder);
}

bool DryRun::Start() {
    const char* temporary = getenv("TMPDIR");
    std::string pattern =
        std::string(temporary && *temporary ? temporary : "/tmp") + "/torvoclean-dry-run-XXXXXX";
    if (!mkdtemp(&pattern[0])) return false;
    m_folder = pattern;
    m_platform.reset(new PosixPlatform(m_folder + "/restart-list.ini"));
    m_engine.reset(new Engine(*m_platform));
    return true;
}

void DryRun::Attach(BatchRun& run, ScheduleWatcher watcher) {
    m_engine->scheduleWatcher = watcher;
    Platform& host = run.engine.platform;
    run.scanFile = [this, &host](const char* path, const char** label, const PlatDirEntry* listed) {
        return ScanFile(host, path, label, listed);
    };
    run.removeUncleaned = [](const char* path) {
        return IsInUse(path) ? OP_SCHEDULED : OP_DONE_NOW;
    };
}

std::string DryRun::OriginalOf(const std::string& name) const {
    std::string place = m_place + "/";
    if (name.compare(0, place.size(), place) != 0) return name;
    return m_originalFolder + "/" + name.substr(place.size());
}
