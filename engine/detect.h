#pragma once

#include "engine/codes.h"

// Tells whether one file is a form of the worm. `label` is always written.
// `listedAsFile`: the directory listing called it a regular file.
DetectResult DetectFile(const char* path, const char** label, bool listedAsFile = false);
