#include "engine/restart_ops.h"

#include "platform/platform.h"

int DeleteOrSchedule(const char* path) {
    PlatSetNormalAttributes(path);
    if (PlatDeleteFile(path)) return 1;
    PlatScheduleDelete(path);
    return 0;
}

void MoveOrSchedule(const char* destination, const char* source) {
    if (PlatRenameFile(source, destination)) return;
    PlatScheduleRename(source, destination);
}
