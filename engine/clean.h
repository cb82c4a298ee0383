#pragma once

#include "engine/codes.h"

// Detects and, when infected, cleans one file.
ScanOutcome ScanFile(const char* path, const char** label);

// Repairs or removes a file that DetectFile has just found infected.
CleanResult CleanFile(const char* path);
