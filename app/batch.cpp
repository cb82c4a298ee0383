#include "app/batch.h"

#include "engine/clean.h"
#include "engine/restart_ops.h"
#include "engine/tree_walk.h"

bool g_bSilent;
bool g_bRemove;
bool g_bRestart;
FILE* g_pLogFile;
int32_t g_nInfected;
int32_t g_nUnopened;
bool g_bRestartNeeded;

namespace {

// The log is written in binary with explicit CR LF, so it is the same on every platform.
const char kLogHeader[] = "Detection and Removal tool for Win32.Torvo.A@mm\r\n\r\n";
// A finding is the path followed by one of these.
const char kLogDisinfected[] = "    DISINFECTED\r\n";
const char kLogCleanFailed[] = "    DISINFECTION FAILED\r\n";
const char kLogDeleted[] = "    DELETED\r\n";
const char kLogOpenFailed[] = "    FAILED TO OPEN\r\n";
const char kLogRestartNeeded[] =
    "\r\nThe computer MUST be restarted to complete the disinfection process";

void Log(const char* finding, const char* path) {
    if (!g_pLogFile) return;
    fputs(path, g_pLogFile);
    fputs(finding, g_pLogFile);
}

class BatchWalk : public TreeWalk {
  public:
    void ReportFile(const char* path, const PlatDirEntry& entry) override {
        BatchReportFile(path, &entry);
    }
};

}  // namespace

void BatchScanDirectory(char* path) {
    BatchWalk walk;
    WalkTree(path, walk);
}

void BatchReportFile(const char* path, const PlatDirEntry* listed) {
    const char* label;
    switch (ScanFile(path, &label, listed)) {
        case SCAN_DISINFECTED:
            ++g_nInfected;
            Log(kLogDisinfected, path);
            break;
        case SCAN_CLEAN_FAILED:
            ++g_nInfected;
            if (g_bRemove) DeleteOrSchedule(path);
            Log(g_bRemove ? kLogDeleted : kLogCleanFailed, path);
            break;
        case SCAN_PENDING_RESTART:
            ++g_nInfected;
            g_bRestartNeeded = true;
            Log(kLogDisinfected, path);
            break;
        case SCAN_DELETED:
            ++g_nInfected;
            Log(kLogDeleted, path);
            break;
        case SCAN_OPEN_FAILED:
            ++g_nUnopened;
            Log(kLogOpenFailed, path);
            break;
        default:
            break;
    }
}

void RunBatch(char* scanPath, const char* logName, void (*scanDirectory)(char* path)) {
    if (logName) {
        g_pLogFile = fopen(logName, "w+b");
        if (g_pLogFile) fputs(kLogHeader, g_pLogFile);
    }
    scanDirectory(scanPath);
    if (!g_pLogFile) return;
    fprintf(g_pLogFile, "Infected files          %d\r\n", int(g_nInfected));
    fprintf(g_pLogFile, "Couldn't open           %d\r\n", int(g_nUnopened));
    if (g_bRestartNeeded) fputs(kLogRestartNeeded, g_pLogFile);
    fclose(g_pLogFile);
    g_pLogFile = nullptr;
}
