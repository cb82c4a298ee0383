#pragma once

#include "engine/codes.h"
#include "engine/engine.h"

// Detects and, when infected, cleans one file. `listed`: its entry in its folder's
// listing, when known. Called from one thread at a time.
ScanOutcome ScanFile(Engine& engine, const char* path, const char** label,
                     const PlatDirEntry* listed = nullptr);

// Repairs or removes a file that DetectFile has just found infected.
CleanResult CleanFile(Engine& engine, const char* path);

// Deletes a file whose cleaning failed, now or at the restart, if it is still infected.
// Returns OP_DONE_NOW, OP_SCHEDULED or OP_NOT_DONE (engine/restart_ops.h).
int RemoveUncleanedFile(Engine& engine, const char* path);
