#pragma once

#include "engine/codes.h"

// Detects and, when infected, cleans one file.
// `listedAsFile`: the directory listing called it a regular file.
ScanOutcome ScanFile(const char* path, const char** label, bool listedAsFile = false);

// Repairs or removes a file that DetectFile has just found infected.
CleanResult CleanFile(const char* path);
