// The unattended run: a walk of one folder tree with an optional log.
#pragma once

#include <cstdint>
#include <cstdio>

extern bool g_bSilent;
extern bool g_bRemove;
extern bool g_bRestart;
extern FILE* g_pLogFile;
extern int32_t g_nInfected;
extern int32_t g_nUnopened;
extern bool g_bRestartNeeded;
extern bool g_bLogFailed;

// Walks `path` and everything below it; one trailing separator is removed in place.
// Returns false when `path` itself could not be listed.
bool BatchScanDirectory(char* path);

struct PlatDirEntry;

// Scans one file and records the outcome in the counters and the log. `listed`: its
// entry in its folder's listing, when known.
void BatchReportFile(const char* path, const PlatDirEntry* listed = nullptr);

// Opens the log (when named), walks `scanPath` with `scanDirectory`, writes the totals
// and closes the log. Returns false when `scanPath` could not be listed; g_bLogFailed
// tells of the log.
bool RunBatch(char* scanPath, const char* logName,
              bool (*scanDirectory)(char* path) = BatchScanDirectory);
