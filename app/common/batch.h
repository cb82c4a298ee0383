// The unattended run: a walk of one folder tree with an optional log.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>

#include "engine/codes.h"
#include "engine/detect.h"
#include "engine/engine.h"

extern bool g_bSilent;
extern bool g_bRemove;
extern bool g_bRestart;
extern FILE* g_pLogFile;
extern int32_t g_nInfected;
extern int32_t g_nUnopened;
extern bool g_bRestartNeeded;
extern bool g_bLogFailed;

// What became of a file the batch run reported.
enum BatchFinding {
    FINDING_DISINFECTED,
    FINDING_DELETED,
    FINDING_CLEAN_FAILED,
    FINDING_PENDING_RESTART,  // repaired or deleted at the restart
    FINDING_OPEN_FAILED,
};

// What the Linux front end learns of the run as it goes, on the walk's thread; the
// Windows program has none.
class CBatchObserver {
  public:
    virtual ~CBatchObserver() {}
    // Asked of every entry the walk meets, before it is scanned or entered.
    virtual bool ShouldVisit(const char* /*path*/, const PlatDirEntry& /*entry*/) { return true; }
    virtual void OnFinding(const char* path, const char* label, BatchFinding finding) = 0;
};

// One batch run: the engine it scans with, whom it tells, and how it scans a file and
// removes one it could not clean (the engine's ScanFile and RemoveUncleanedFile, unless
// a dry run stands in for them).
struct BatchRun {
    explicit BatchRun(Engine& files) : engine(files) {}
    Engine& engine;
    CBatchObserver* observer = nullptr;
    std::function<ScanOutcome(const char* path, const char** label, const PlatDirEntry* listed)>
        scanFile;
    std::function<int(const char* path)> removeUncleaned;
    // Whether a file found clean is to be scanned again at its turn, by its first bytes
    // (the Linux tool looks into archives and mailboxes); none: never.
    std::function<bool(const char* path, const FileHead& head)> looksInside;
};

// Whether the walks visit an entry (see CBatchObserver::ShouldVisit).
bool BatchShouldVisit(BatchRun& run, const char* path, const PlatDirEntry& entry);

// Walks `path` and everything below it; one trailing separator is removed in place.
// Returns false when `path` itself could not be listed.
bool BatchScanDirectory(BatchRun& run, char* path);

// Scans one file and records the outcome in the counters and the log. `listed`: its
// entry in its folder's listing, when known.
void BatchReportFile(BatchRun& run, const char* path, const PlatDirEntry* listed = nullptr);

// Records a finding inside a file (a member of an archive, a part of a message) in the
// counters and the log as a file's, `outcome` as ScanFile gives it; a member that could
// not be cleaned is never removed here.
void BatchReportMember(BatchRun& run, const char* name, const char* label, ScanOutcome outcome);

// Opens the log (when named) and writes its header; g_bLogFailed tells when it cannot.
void OpenBatchLog(const char* logName);
// Writes the totals and closes the log.
void CloseBatchLog();

typedef bool (*ScanDirectory)(BatchRun& run, char* path);

// Finishes what a run cut off before its end left (see FinishInterruptedWork), opens the
// log (when named), walks `scanPath` with `scanDirectory`, writes the totals and closes
// the log. Returns false when `scanPath` could not be listed; g_bLogFailed tells of the
// log.
bool RunBatch(BatchRun& run, char* scanPath, const char* logName,
              ScanDirectory scanDirectory = BatchScanDirectory);
