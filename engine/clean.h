#pragma once

#include <functional>

#include "engine/codes.h"
#include "engine/detect.h"
#include "engine/engine.h"

// Detects and, when infected, cleans one file. `listed`: its entry in its folder's
// listing, when known; `head`, when given, receives its first bytes. Called from one
// thread at a time.
ScanOutcome ScanFile(Engine& engine, const char* path, const char** label,
                     const PlatDirEntry* listed = nullptr, FileHead* head = nullptr);

// Repairs or removes a file that DetectFile has just found infected.
CleanResult CleanFile(Engine& engine, const char* path);

// Deletes a file whose cleaning failed, now or at the restart, if it is still infected.
// Returns OP_DONE_NOW, OP_SCHEDULED or OP_NOT_DONE (engine/restart_ops.h).
int RemoveUncleanedFile(Engine& engine, const char* path);

// Fills the work file, open and empty as `work` (for writing and reading), with the new
// content of a file, and checks it; false when either cannot be done.
typedef std::function<bool(PlatFile work)> WorkFileWriter;

// For a file that must change as a whole, though detection finds it clean (a container
// whose infected members are repaired), as the caller decides under the lock of file
// changes, which it holds. The file keeps its name and attributes; the change is made by
// the write-ahead protocol of every repair, and asked of the change guard first.
// Replaces it by what `write` puts in its work file:
CleanResult ReplaceFileContent(Engine& engine, const char* path, const WorkFileWriter& write);
// Deletes it (it holds nothing but the worm), now or at the restart:
CleanResult DeleteWholeFile(Engine& engine, const char* path);
