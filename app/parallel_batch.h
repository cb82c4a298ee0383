// The batch walk on several threads (the Linux program only): other threads detect ahead
// over the listing, while cleaning and the log stay on the walk's thread, in the walk's
// order, so that the log is the same as the one-thread walk's.
#pragma once

// Threads from TORVOCLEAN_JOBS, by default one per core (at least 1).
int BatchJobs();

// BatchScanDirectory with detection on `jobs` threads, the walk's own included; with
// one it is BatchScanDirectory itself. False when `path` could not be listed.
bool ParallelScanDirectory(char* path, int jobs);

// ParallelScanDirectory with BatchJobs() threads.
bool ScanDirectoryOnAllCores(char* path);
