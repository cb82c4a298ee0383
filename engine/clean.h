#pragma once

#include "engine/codes.h"

struct PlatDirEntry;

// Detects and, when infected, cleans one file. `listed`: its entry in its folder's
// listing, when known. Called from one thread at a time.
ScanOutcome ScanFile(const char* path, const char** label, const PlatDirEntry* listed = nullptr);

// Repairs or removes a file that DetectFile has just found infected.
CleanResult CleanFile(const char* path);

// Deletes a file whose cleaning failed, now or at the restart, if it is still infected.
// Returns OP_DONE_NOW, OP_SCHEDULED or OP_NOT_DONE (engine/restart_ops.h).
int RemoveUncleanedFile(const char* path);

// Asked before the engine changes or deletes a file it found infected (not its own work
// files); a false answer leaves the file as it is, and its repair fails. None by default.
typedef bool (*ChangeGuard)(const char* path);
extern ChangeGuard g_pfnChangeGuard;
