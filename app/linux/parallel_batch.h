// The batch walk on several threads (the Linux program only): other threads detect ahead
// over the listing, while cleaning and the log stay on the walk's thread, in the walk's
// order, so that the log is the same as the one-thread walk's.
#pragma once

#include "app/common/batch.h"

// Threads from TORVOCLEAN_JOBS, by default one a core, and four a core for a `path` on
// a FUSE file system (at least 1).
int BatchJobs(const char* path = nullptr);

// BatchScanDirectory with detection on `jobs` threads, the walk's own included; with
// one it is BatchScanDirectory itself. False when `path` could not be listed.
bool ParallelScanDirectory(BatchRun& run, char* path, int jobs);

// ParallelScanDirectory with BatchJobs(path) threads.
bool ScanDirectoryOnAllCores(BatchRun& run, char* path);
