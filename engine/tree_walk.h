// The depth-first walk both modes share: every entry in the order the file system lists
// it, each full path in a buffer of 260 bytes of its own level.
#pragma once

class TreeWalk {
  public:
    virtual ~TreeWalk() {}
    // Asked before every entry, at every level.
    virtual bool ShouldStop() { return false; }
    // `listedAsFile`: the listing called it a regular file (not a device, pipe or socket).
    virtual void ReportFile(const char* path, bool listedAsFile) = 0;
};

// Walks `path`, whose one trailing separator is removed in place. An entry whose full
// path would not fit the buffer is skipped, never cut short into another name.
void WalkTree(char* path, TreeWalk& walk);
