// An entry of the restart list (see Platform in platform/platform.h): file operations
// that the system carries out at its next start, in the order they stand.
#pragma once

#include <string>

// Files are named as the list stores them (see Platform::RestartListName).
struct RestartEntry {
    std::string source;       // the file the operation acts on
    std::string destination;  // its new name; empty for a deletion
    // A rename that replaces a file standing under its new name, marked "!" on the NT
    // family and the POSIX list. The Windows 95 family's wininit.ini knows no other
    // kind of rename.
    bool replaces = true;
};
