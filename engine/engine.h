// What the engine works on and whom it tells. A front end makes one Engine for each file
// system it scans (the host's own, each volume of a disk image) and hands it to every
// call of the engine: the Windows program makes one, over its one platform, with no
// hooks. Calls on one Engine come from one thread at a time, but for detection, which
// only reads and may run on several.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "platform/platform.h"

// Asked before the engine changes or deletes a file it found infected (not its own work
// files); a false answer leaves the file as it is, and its repair fails.
typedef std::function<bool(const char* path)> ChangeGuard;

// Told of every operation the engine leaves on the restart list for the restart, or
// finds there already.
typedef std::function<void(const RestartEntry& entry)> ScheduleWatcher;

struct Engine {
    explicit Engine(Platform& files) : platform(files) {}
    Engine(const Engine&) = delete;
    Engine& operator=(const Engine&) = delete;

    Platform& platform;
    ChangeGuard changeGuard;          // none: every file may be changed
    ScheduleWatcher scheduleWatcher;  // none: nobody is told

    // The engine's own: the files its entries on the restart list act on, as the list
    // was last read or written, and how deep the lock of file changes is held.
    std::vector<std::string> pendingTargets;
    bool pendingKnown = false;
    int lockDepth = 0;
};
