// The engine's work with the restart list. A file's state includes what the list will
// do to it at the next restart: before the engine acts on a file, it takes back the
// entries of an earlier run that would act on it, so that they never undo or overwrite
// what is done now.
#pragma once

struct PlatAttributes;
struct RestartEntry;

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

// Takes back every entry that would delete or replace `path`, and the entries of the
// work files those renames would have moved onto it, and removes those work files.
// `attributes`, when given, receives those of the repaired file that was waiting
// (`found` tells whether there was one). False, with the list unchanged, when it cannot
// be read and written whole.
bool TakeBackPendingWork(const char* path, PlatAttributes* attributes = nullptr,
                         bool* found = nullptr);

// Whether the list, as last read, holds an entry that would delete or replace `path`.
// Cheap: the list is read once, and again whenever the engine changes it.
bool IsPendingOnRestartList(const char* path);

// Holds the lock under which one process at a time changes files; nested holders in
// one thread share it.
class FileChangesLock {
  public:
    FileChangesLock();
    ~FileChangesLock();
    FileChangesLock(const FileChangesLock&) = delete;
    FileChangesLock& operator=(const FileChangesLock&) = delete;
    bool IsHeld() const { return m_bHeld; }

  private:
    bool m_bHeld;
};

// Told of every operation the engine puts on the restart list, or finds there already.
// None by default.
typedef void (*ScheduleWatcher)(const RestartEntry& entry);
extern ScheduleWatcher g_pfnScheduleWatcher;
