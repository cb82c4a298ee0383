#pragma once

#include "engine/codes.h"

#include <cstdint>

class Platform;
struct PlatDirEntry;

// The first bytes of a file as detection read them (a page, or less for a smaller file),
// for a caller that looks further into files of some kinds.
struct FileHead {
    unsigned char bytes[4096];
    int32_t length = 0;
};

// Tells whether one file of `platform` is a form of the worm. `label` is always written.
// `listed`: the file's entry in its folder's listing, when known. Only reads: may run on
// several threads at once.
DetectResult DetectFile(Platform& platform, const char* path, const char** label,
                        const PlatDirEntry* listed = nullptr);

// The same, telling also which branch the file took: `isExecutable` when it begins with
// "MZ". Cleaning acts on this form, never on a second look at a file that may have
// changed since.
// `head`, when given, receives the file's first bytes.
DetectResult DetectFileForm(Platform& platform, const char* path, const char** label,
                            const PlatDirEntry* listed, bool* isExecutable,
                            FileHead* head = nullptr);
