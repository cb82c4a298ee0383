#pragma once

#include "engine/codes.h"

// Tells whether one file is a form of the worm. `label` is always written.
DetectResult DetectFile(const char* path, const char** label);
