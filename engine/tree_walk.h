// The depth-first walk both modes share: every entry in the order the file system lists
// it, each full path in a buffer of 260 bytes of its own level.
#pragma once

#include "platform/platform.h"

class TreeWalk {
  public:
    virtual ~TreeWalk() {}
    // Asked before every entry, at every level.
    virtual bool ShouldStop() { return false; }
    // `entry`: the file's entry in its folder's listing, valid during the call.
    virtual void ReportFile(const char* path, const PlatDirEntry& entry) = 0;
};

// Walks `path`, whose one trailing separator is removed in place. An entry whose full
// path would not fit the buffer is skipped, never cut short into another name. Returns
// false when `path` itself could not be listed.
bool WalkTree(char* path, TreeWalk& walk);
