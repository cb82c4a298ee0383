#pragma once

// Deletes the file now (returns 1) or puts its deletion on the restart list (returns 0).
int DeleteOrSchedule(const char* path);

// Renames `source` to `destination` now, or puts the rename on the restart list.
void MoveOrSchedule(const char* destination, const char* source);
