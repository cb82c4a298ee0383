#include "app/common/batch.h"

#include "engine/clean.h"
#include "engine/restart_ops.h"
#include "engine/tree_walk.h"
#include "platform/platform.h"

bool g_bSilent;
bool g_bRemove;
bool g_bRestart;
FILE* g_pLogFile;
int32_t g_nInfected;
int32_t g_nUnopened;
bool g_bRestartNeeded;
bool g_bLogFailed;

namespace {

// The log's name as given, to know the log when the walk meets it.
const char* g_pszLogName;

// The log is written in binary with explicit CR LF, so it is the same on every platform.
const char kLogHeader[] = "Detection and Removal tool for Win32.Torvo.A@mm\r\n\r\n";
// A finding is the path followed by one of these.
const char kLogDisinfected[] = "    DISINFECTED\r\n";
const char kLogCleanFailed[] = "    DISINFECTION FAILED\r\n";
const char kLogDeleted[] = "    DELETED\r\n";
const char kLogOpenFailed[] = "    FAILED TO OPEN\r\n";
const char kLogRestartNeeded[] =
    "\r\nThe computer MUST be restarted to complete the disinfection process";

// A name may hold line breaks where the file system allows them; written as they are,
// they would make lines of their own in the log.
void Log(const char* finding, const char* path) {
    if (!g_pLogFile) return;
    for (const char* c = path; *c; ++c) fputc(*c == '\r' || *c == '\n' ? '?' : *c, g_pLogFile);
    fputs(finding, g_pLogFile);
}

// The log itself, when it lies in the scanned tree, and an entry that is gone by its
// turn (a stale work file that the cleaning of its file consumed) are no findings.
bool IsOwnOrVanished(Platform& platform, const char* path) {
    return platform.IsGone(path) || (g_pszLogName && platform.IsSameFile(path, g_pszLogName));
}

void Tell(BatchRun& run, const char* path, const char* label, BatchFinding finding) {
    if (run.observer) run.observer->OnFinding(path, label, finding);
}

// With "/remove" a file that could not be cleaned is deleted, now or at the restart.
void RemoveUncleaned(BatchRun& run, const char* path, const char* label) {
    int removed =
        run.removeUncleaned ? run.removeUncleaned(path) : RemoveUncleanedFile(run.engine, path);
    switch (removed) {
        case OP_DONE_NOW:
            Log(kLogDeleted, path);
            Tell(run, path, label, FINDING_DELETED);
            break;
        case OP_SCHEDULED:
            g_bRestartNeeded = true;
            Log(kLogDeleted, path);
            Tell(run, path, label, FINDING_PENDING_RESTART);
            break;
        default:
            Log(kLogCleanFailed, path);
            Tell(run, path, label, FINDING_CLEAN_FAILED);
    }
}

class BatchWalk : public TreeWalk {
  public:
    explicit BatchWalk(BatchRun& run) : m_run(run) {}
    bool ShouldVisit(const char* path, const PlatDirEntry& entry) override {
        return BatchShouldVisit(m_run, path, entry);
    }
    void ReportFile(const char* path, const PlatDirEntry& entry) override {
        BatchReportFile(m_run, path, &entry);
    }

  private:
    BatchRun& m_run;
};

}  // namespace

bool BatchShouldVisit(BatchRun& run, const char* path, const PlatDirEntry& entry) {
    return !run.observer || run.observer->ShouldVisit(path, entry);
}

bool BatchScanDirectory(BatchRun& run, char* path) {
    BatchWalk walk(run);
    return WalkTree(run.engine.platform, path, walk);
}

namespace {

// Counts, logs and tells one outcome; `removable`: a file of the walk, which "/remove"
// deletes when it could not be cleaned.
void ReportOutcome(BatchRun& run, const char* path, const char* label, ScanOutcome outcome,
                   bool removable) {
    switch (outcome) {
        case SCAN_DISINFECTED:
            ++g_nInfected;
            Log(kLogDisinfected, path);
            Tell(run, path, label, FINDING_DISINFECTED);
            break;
        case SCAN_CLEAN_FAILED:
            ++g_nInfected;
            if (g_bRemove && removable) {
                RemoveUncleaned(run, path, label);
            } else {
                Log(kLogCleanFailed, path);
                Tell(run, path, label, FINDING_CLEAN_FAILED);
            }
            break;
        case SCAN_PENDING_RESTART:
            ++g_nInfected;
            g_bRestartNeeded = true;
            Log(kLogDisinfected, path);
            Tell(run, path, label, FINDING_PENDING_RESTART);
            break;
        case SCAN_DELETED:
            ++g_nInfected;
            Log(kLogDeleted, path);
            Tell(run, path, label, FINDING_DELETED);
            break;
        case SCAN_OPEN_FAILED:
            if (removable && IsOwnOrVanished(run.engine.platform, path)) break;
            ++g_nUnopened;
            Log(kLogOpenFailed, path);
            Tell(run, path, label, FINDING_OPEN_FAILED);
            break;
        default:
            break;
    }
}

}  // namespace

void BatchReportFile(BatchRun& run, const char* path, const PlatDirEntry* listed) {
    const char* label;
    ScanOutcome outcome = run.scanFile ? run.scanFile(path, &label, listed)
                                       : ScanFile(run.engine, path, &label, listed);
    ReportOutcome(run, path, label, outcome, true);
}

void BatchReportMember(BatchRun& run, const char* name, const char* label, ScanOutcome outcome) {
    ReportOutcome(run, name, label, outcome, false);
}

void OpenBatchLog(const char* logName) {
    g_pszLogName = logName;
    if (!logName) return;
    g_pLogFile = fopen(logName, "w+b");
    if (g_pLogFile) fputs(kLogHeader, g_pLogFile);
    g_bLogFailed = !g_pLogFile;
}

void CloseBatchLog() {
    if (!g_pLogFile) return;
    fprintf(g_pLogFile, "Infected files          %d\r\n", int(g_nInfected));
    fprintf(g_pLogFile, "Couldn't open           %d\r\n", int(g_nUnopened));
    if (g_bRestartNeeded) fputs(kLogRestartNeeded, g_pLogFile);
    fclose(g_pLogFile);
    g_pLogFile = nullptr;
}

bool RunBatch(BatchRun& run, char* scanPath, const char* logName, ScanDirectory scanDirectory) {
    FinishInterruptedWork(run.engine);
    OpenBatchLog(logName);
    bool listed = scanDirectory(run, scanPath);
    CloseBatchLog();
    return listed;
}
