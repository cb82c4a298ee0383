#pragma once

#include "engine/codes.h"

struct PlatDirEntry;

// Detects and, when infected, cleans one file. `listed`: its entry in its folder's
// listing, when known.
ScanOutcome ScanFile(const char* path, const char** label, const PlatDirEntry* listed = nullptr);

// Repairs or removes a file that DetectFile has just found infected.
CleanResult CleanFile(const char* path);
