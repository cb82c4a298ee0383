// The depth-first walk both modes share: every entry in the order the file system lists
// it, at any depth, without recursion.
#pragma once

#include "platform/platform.h"

class TreeWalk {
  public:
    virtual ~TreeWalk() {}
    // Asked before every entry, at every level.
    virtual bool ShouldStop() { return false; }
    // Asked of every entry, file or folder, before it is reported or entered.
    virtual bool ShouldVisit(const char* /*path*/, const PlatDirEntry& /*entry*/) { return true; }
    // `entry`: the file's entry in its folder's listing, valid during the call. An
    // entry the platform cannot reach (a path too long for it, a name it cannot give
    // exactly) comes here too, marked unreachable, whether file or folder: it is
    // reported, never dropped.
    virtual void ReportFile(const char* path, const PlatDirEntry& entry) = 0;
};

// Walks `path` on `platform`, whose one trailing separator is removed in place. Returns
// false when `path` itself could not be listed.
bool WalkTree(Platform& platform, char* path, TreeWalk& walk);
