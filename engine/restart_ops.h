// The engine's work with the restart list. A file's state includes what the list will
// do to it at the next restart: before the engine acts on a file, it takes back the
// entries of an earlier run that would act on it, so that they never undo or overwrite
// what is done now.
//
// The list is shared with every other program; the engine only ever takes back or
// changes entries of its own, which it knows by their shape: each names the work file
// W of the file X it acts on (X's name with ".cln" appended).
//   work file  delete W                     W is being made
//   repair     W -> X, replacing X          the repaired file takes X's place
//   deletion   X -> W, replacing W; then delete W
// (An earlier version wrote a repair as "delete X" followed by "W -> X" without
// replacing: that pair is the engine's too, where the list tells such a rename from one
// that replaces.) Doing any shape twice changes nothing, so a restart cut off while it
// carries the list out, and carried out again, loses nothing.
//
// A repair is written ahead. Its work file is recorded (to be deleted) before it is
// made; once it is complete and flushed, that record becomes the repair's (durably)
// before the infected file is touched, and comes off again once the repaired file
// stands in its place. A run cut off at any moment leaves the infected file as it was
// (its work file, if any, recorded for deletion), or the repair recorded: the restart
// finishes a recorded repair, and so does the next run (FinishInterruptedWork) when the
// infected file is already gone.
#pragma once

#include <string>
#include <vector>

#include "engine/engine.h"

// What became of a deletion or a rename.
const int OP_DONE_NOW = 1;
const int OP_SCHEDULED = 0;  // on the restart list
const int OP_NOT_DONE = -1;  // neither: the restart list could not take it

// Deletes the file now, durably, or puts its deletion on the restart list.
int DeleteOrSchedule(Engine& engine, const char* path);

// The entry that records the work file of `path` while it is made: its deletion.
RestartEntry WorkFileEntry(Engine& engine, const char* path);
// Puts it on the restart list, durably, before the work file is made. False, with the
// list unchanged, when the list cannot take it.
bool RecordWorkFile(Engine& engine, const RestartEntry& workFile);
// Takes it back once the work file is gone.
void ForgetWorkFile(Engine& engine, const RestartEntry& workFile);

// The entry that records the repair of `path`: its work file, complete and flushed,
// takes its place at the restart. Made while both files exist (the Windows 95 family
// names them by their short names).
RestartEntry RepairEntry(Engine& engine, const char* path);

// Puts the record of a repair in the place of its work file's, in one durable write.
// False, with the list unchanged, when the list cannot take it.
bool RecordRepair(Engine& engine, const RestartEntry& workFile, const RestartEntry& record);

// Renames the work file `source` to `destination` (deleted already) now, durably, and
// takes the record of the repair back; OP_SCHEDULED when the rename cannot be done
// now: the record then waits for the restart.
int MoveOrSchedule(Engine& engine, const char* destination, const char* source,
                   const RestartEntry& record);

// Tells the watcher that the recorded repair waits for the restart.
void ReportWaitingRepair(Engine& engine, const RestartEntry& record);

// Takes back the engine's entries for `path`, and for the work files those entries
// would have moved onto it, and removes those work files (first: a repair entry whose
// work file is gone does nothing). `attributes`, when given, receives those of the
// repaired file that was waiting (`found` tells whether there was one). False, with the
// list unchanged, when it cannot be read and written whole.
bool TakeBackPendingWork(Engine& engine, const char* path, PlatAttributes* attributes = nullptr,
                         bool* found = nullptr);

// Whether the list, as last read, holds an entry of the engine's for `path`. Cheap: the
// list is read once, and again whenever the engine changes it.
bool IsPendingOnRestartList(Engine& engine, const char* path);

// Finishes what a run cut off before its end left on the list: a recorded repair whose
// infected file is gone is put in place, and entries with nothing left to do are taken
// back. Entries whose file still stands wait for the restart, or for a run that acts on
// that file. Called by every run before it changes anything. Returns the files whose
// repair it put in place.
std::vector<std::string> FinishInterruptedWork(Engine& engine);

// Holds the lock under which one process at a time changes files; nested holders in
// one thread share it.
class FileChangesLock {
  public:
    explicit FileChangesLock(Engine& engine);
    ~FileChangesLock();
    FileChangesLock(const FileChangesLock&) = delete;
    FileChangesLock& operator=(const FileChangesLock&) = delete;
    bool IsHeld() const { return m_held; }

  private:
    Engine& m_engine;
    bool m_held;
};
