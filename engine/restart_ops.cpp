#include "engine/restart_ops.h"

#include "platform/platform.h"

int DeleteOrSchedule(const char* path) {
    PlatSetNormalAttributes(path);
    if (PlatDeleteFile(path)) return OP_DONE_NOW;
    return PlatScheduleDelete(path) ? OP_SCHEDULED : OP_NOT_DONE;
}

int MoveOrSchedule(const char* destination, const char* source) {
    if (PlatRenameFile(source, destination)) return OP_DONE_NOW;
    return ScheduleMove(destination, source);
}

int ScheduleMove(const char* destination, const char* source) {
    return PlatScheduleRename(source, destination) ? OP_SCHEDULED : OP_NOT_DONE;
}

bool UnscheduleDelete(const char* path) {
    return PlatUnscheduleDelete(path);
}
