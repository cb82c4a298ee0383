#pragma once

#include "engine/codes.h"

struct PlatDirEntry;

// Tells whether one file is a form of the worm. `label` is always written. `listed`:
// the file's entry in its folder's listing, when known.
DetectResult DetectFile(const char* path, const char** label, const PlatDirEntry* listed = nullptr);
