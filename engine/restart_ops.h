#pragma once

// What became of a deletion or a rename.
const int OP_DONE_NOW = 1;
const int OP_SCHEDULED = 0;  // on the restart list
const int OP_NOT_DONE = -1;  // neither: the restart list could not take it

// Deletes the file now, or puts its deletion on the restart list.
int DeleteOrSchedule(const char* path);

// Renames `source` to `destination` now, or puts the rename on the restart list.
int MoveOrSchedule(const char* destination, const char* source);

// Puts the rename of `source` to `destination` on the restart list, never renaming now.
int ScheduleMove(const char* destination, const char* source);

// Takes a scheduled deletion of `path` off the restart list again.
bool UnscheduleDelete(const char* path);
