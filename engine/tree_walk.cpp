#include "engine/tree_walk.h"

#include <cstring>

#include "platform/platform.h"

namespace {

const size_t kPathBufferSize = 260;

bool IsDotEntry(const char* name) {
    return !strcmp(name, ".") || !strcmp(name, "..");
}

bool BuildChildPath(const char* directory, const char* name, char* buffer) {
    size_t directoryLength = strlen(directory);
    size_t nameLength = strlen(name);
    if (directoryLength + 1 + nameLength >= kPathBufferSize) return false;
    memcpy(buffer, directory, directoryLength);
    buffer[directoryLength] = PLAT_PATH_SEPARATOR;
    memcpy(buffer + directoryLength + 1, name, nameLength + 1);
    return true;
}

// A symbolic link (a junction, on a Windows disk mounted elsewhere) may lead anywhere,
// even back up the tree: it is neither followed nor scanned.
void VisitEntry(const char* directory, const PlatDirEntry& entry, TreeWalk& walk) {
    if (entry.isLink || (entry.isDirectory && IsDotEntry(entry.name))) return;
    char childPath[kPathBufferSize];
    if (!BuildChildPath(directory, entry.name, childPath)) return;
    if (entry.isDirectory)
        WalkTree(childPath, walk);
    else
        walk.ReportFile(childPath, entry);
}

}  // namespace

bool WalkTree(char* path, TreeWalk& walk) {
    size_t length = strlen(path);
    if (length > 0 && path[length - 1] == PLAT_PATH_SEPARATOR) path[length - 1] = '\0';
    PlatDirEntry entry;
    PlatListing* listing = PlatListFirst(path, &entry);
    if (!listing) return false;
    while (!walk.ShouldStop()) {
        VisitEntry(path, entry, walk);
        if (!PlatListNext(listing, &entry)) break;
    }
    PlatListClose(listing);
    return true;
}
