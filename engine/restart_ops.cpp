#include "engine/restart_ops.h"

#include <string>
#include <vector>

#include "engine/engine.h"

namespace {

// Work files inside work files go this deep, and no deeper (see clean.cpp).
const int kMostWorkFileLevels = 11;
const char kWorkSuffix[] = ".cln";

typedef std::vector<RestartEntry> Entries;

bool IsSameName(Engine& engine, const std::string& first, const std::string& second) {
    return engine.platform.IsSameRestartListName(first, second);
}

bool IsRepair(Engine& engine, const RestartEntry& entry) {
    return !entry.destination.empty() &&
           engine.platform.IsWorkFileName(entry.source, entry.destination);
}

bool IsMoveToWorkFile(Engine& engine, const RestartEntry& entry) {
    return !entry.destination.empty() &&
           engine.platform.IsWorkFileName(entry.destination, entry.source);
}

bool IsDeletionOf(Engine& engine, const RestartEntry& entry, const std::string& name) {
    return entry.destination.empty() && IsSameName(engine, entry.source, name);
}

// The file a work file stands for: its name without ".cln".
bool FileOfWorkFile(const std::string& workFile, std::string* file) {
    const size_t suffix = sizeof kWorkSuffix - 1;
    if (workFile.size() <= suffix) return false;
    std::string end = workFile.substr(workFile.size() - suffix);
    for (char& c : end) c = char(c >= 'A' && c <= 'Z' ? c + 32 : c);
    if (end != kWorkSuffix) return false;
    *file = workFile.substr(0, workFile.size() - suffix);
    return true;
}

// One repair, deletion or work file of the engine's on the list (see restart_ops.h).
struct OwnWork {
    enum Kind { REPAIR, DELETION, WORK_FILE } kind;
    size_t main;         // the repair, the move to the work file, or the work file's deletion
    long partner;        // the deletion that goes with a repair or a move, or -1
    std::string target;  // the file a repair or a deletion acts on, as stored

    // Whether it acts on the file stored as `name`.
    bool ActsOn(Engine& engine, const Entries& entries, const std::string& name) const {
        if (kind == WORK_FILE) return engine.platform.IsWorkFileName(entries[main].source, name);
        return IsSameName(engine, target, name);
    }
};

bool IsWorkFileDeletion(Engine& engine, const RestartEntry& entry) {
    std::string path, file;
    return entry.destination.empty() &&
           engine.platform.PathOfRestartListName(entry.source, &path) &&
           FileOfWorkFile(path, &file);
}

// The engine's work on the list; every other entry is another program's.
std::vector<OwnWork> OwnWorkOn(Engine& engine, const Entries& entries) {
    std::vector<OwnWork> works;
    std::vector<bool> claimed(entries.size(), false);
    for (size_t i = 0; i < entries.size(); ++i) {
        const RestartEntry& entry = entries[i];
        if (IsRepair(engine, entry)) {
            // An earlier version wrote a repair as "delete X", then a rename that does not
            // replace; a list whose renames all replace cannot tell that deletion from
            // another program's, which is never taken.
            bool withDeletion = !entry.replaces && i > 0 && !claimed[i - 1] &&
                                IsDeletionOf(engine, entries[i - 1], entry.destination) &&
                                !IsWorkFileDeletion(engine, entries[i - 1]);
            if (withDeletion) claimed[i - 1] = true;
            works.push_back(
                {OwnWork::REPAIR, i, withDeletion ? long(i - 1) : -1, entry.destination});
        } else if (IsMoveToWorkFile(engine, entry)) {
            bool withDeletion =
                i + 1 < entries.size() && IsDeletionOf(engine, entries[i + 1], entry.destination);
            if (withDeletion) claimed[i + 1] = true;
            works.push_back({OwnWork::DELETION, i, withDeletion ? long(i + 1) : -1, entry.source});
        }
    }
    for (size_t i = 0; i < entries.size(); ++i)
        if (!claimed[i] && IsWorkFileDeletion(engine, entries[i]))
            works.push_back({OwnWork::WORK_FILE, i, -1, std::string()});
    return works;
}

// A work file's record is finished with by the run that made it, or by the next.
void Remember(Engine& engine, const Entries& entries) {
    engine.pendingTargets.clear();
    for (const OwnWork& work : OwnWorkOn(engine, entries))
        if (work.kind != OwnWork::WORK_FILE) engine.pendingTargets.push_back(work.target);
    engine.pendingKnown = true;
}

bool ReadList(Engine& engine, Entries* entries) {
    if (!engine.platform.ReadRestartList(entries)) return false;
    Remember(engine, *entries);
    return true;
}

// The records of work files being made stand last: a rename onto such a work file (its
// own repair, when it holds a host inside a host) is carried out before it goes.
Entries WithWorkFileRecordsLast(Engine& engine, const Entries& entries) {
    std::vector<bool> isRecord(entries.size(), false);
    for (const OwnWork& work : OwnWorkOn(engine, entries))
        if (work.kind == OwnWork::WORK_FILE) isRecord[work.main] = true;
    Entries ordered;
    for (bool records : {false, true})
        for (size_t i = 0; i < entries.size(); ++i)
            if (isRecord[i] == records) ordered.push_back(entries[i]);
    return ordered;
}

bool WriteList(Engine& engine, const Entries& entries) {
    Entries ordered = WithWorkFileRecordsLast(engine, entries);
    if (!engine.platform.WriteRestartList(ordered)) return false;
    Remember(engine, ordered);
    return true;
}

bool IsSameEntry(Engine& engine, const RestartEntry& first, const RestartEntry& second) {
    if (first.destination.empty() != second.destination.empty()) return false;
    if (first.destination.empty()) return IsSameName(engine, first.source, second.source);
    return first.replaces == second.replaces && IsSameName(engine, first.source, second.source) &&
           IsSameName(engine, first.destination, second.destination);
}

void Tell(Engine& engine, const RestartEntry& entry) {
    if (engine.scheduleWatcher) engine.scheduleWatcher(entry);
}

// An operation already on the list is not added again.
bool AddEntries(Engine& engine, const Entries& added) {
    Entries entries;
    if (!ReadList(engine, &entries)) return false;
    size_t listed = entries.size();
    for (const RestartEntry& entry : added) {
        bool there = false;
        for (const RestartEntry& earlier : entries)
            there = there || IsSameEntry(engine, earlier, entry);
        if (!there) entries.push_back(entry);
    }
    return entries.size() == listed || WriteList(engine, entries);
}

// Takes `entry` off the list; false when the list cannot be read and written whole.
bool RemoveEntry(Engine& engine, const RestartEntry& entry) {
    Entries entries;
    if (!ReadList(engine, &entries)) return false;
    size_t listed = entries.size();
    for (size_t i = 0; i < entries.size();)
        if (IsSameEntry(engine, entries[i], entry))
            entries.erase(entries.begin() + long(i));
        else
            ++i;
    return entries.size() == listed || WriteList(engine, entries);
}

bool IsAmong(Engine& engine, const std::string& name, const std::vector<std::string>& names) {
    for (const std::string& listed : names)
        if (IsSameName(engine, listed, name)) return true;
    return false;
}

// Removes the work files of `path` (path.cln, path.cln.cln, ...) that a repair taken
// back would have moved; `attributes` receives those of the first, which an earlier run
// gave the repaired file.
void RemoveWorkFiles(Engine& engine, const char* path, const std::vector<std::string>& sources,
                     PlatAttributes* attributes, bool* found) {
    std::string workFile = path;
    for (int level = 0; level < kMostWorkFileLevels; ++level) {
        // One level may be gone already, and the next still there: a run cut off while
        // it removed them.
        workFile += kWorkSuffix;
        if (engine.platform.IsGone(workFile.c_str()) ||
            !IsAmong(engine, engine.platform.RestartListName(workFile.c_str()), sources))
            continue;
        if (level == 0 && attributes)
            *found = engine.platform.GetAttributes(workFile.c_str(), attributes);
        engine.platform.SetNormalAttributes(workFile.c_str());
        engine.platform.Remove(workFile.c_str());
    }
}

// Whether work of the engine's other than `except` would still move a file onto `name`:
// a work file that waits for its own repair is not put in place before it.
bool IsWaitedOn(Engine& engine, const std::vector<OwnWork>& works, const OwnWork& except,
                const std::string& name) {
    for (const OwnWork& work : works)
        if (&work != &except && IsSameName(engine, work.target, name)) return true;
    return false;
}

enum Finish { FINISH_KEEP, FINISH_DONE };

// Gone from a folder that is there: not a file on a volume that is missing just now.
bool IsGoneFromItsFolder(Engine& engine, const std::string& path) {
    size_t separator = path.find_last_of(PLAT_PATH_SEPARATOR);
    return engine.platform.IsGone(path.c_str()) &&
           (separator == std::string::npos || separator == 0 ||
            !engine.platform.IsGone(path.substr(0, separator).c_str()));
}

// What FinishInterruptedWork does with one repair: put in place when its file is gone and
// its work file stands; done with when its work file is gone (it can do nothing more).
Finish FinishRepair(Engine& engine, const std::vector<OwnWork>& works, const OwnWork& work,
                    const RestartEntry& entry, std::vector<std::string>* finished) {
    std::string workFile, file;
    if (!engine.platform.PathOfRestartListName(entry.source, &workFile)) return FINISH_KEEP;
    if (IsGoneFromItsFolder(engine, workFile)) return FINISH_DONE;
    if (!FileOfWorkFile(workFile, &file) || !engine.platform.IsGone(file.c_str()) ||
        IsWaitedOn(engine, works, work, entry.source) ||
        !engine.platform.Rename(workFile.c_str(), file.c_str()))
        return FINISH_KEEP;
    finished->push_back(file);
    return FINISH_DONE;
}

// A deletion is done with once its file is gone; a restart cut off between its two
// steps leaves the file under its work file's name, which goes now.
Finish FinishDeletion(Engine& engine, const RestartEntry& move) {
    std::string file, workFile;
    if (!engine.platform.PathOfRestartListName(move.source, &file) ||
        !IsGoneFromItsFolder(engine, file))
        return FINISH_KEEP;
    if (!engine.platform.PathOfRestartListName(move.destination, &workFile) ||
        engine.platform.IsGone(workFile.c_str()))
        return FINISH_DONE;
    engine.platform.SetNormalAttributes(workFile.c_str());
    return engine.platform.Remove(workFile.c_str()) ? FINISH_DONE : FINISH_KEEP;
}

}  // namespace

int DeleteOrSchedule(Engine& engine, const char* path) {
    engine.platform.SetNormalAttributes(path);
    if (engine.platform.Remove(path)) {
        engine.platform.SyncFolder(path);
        return OP_DONE_NOW;
    }
    std::string file = engine.platform.RestartListName(path);
    std::string workFile =
        engine.platform.RestartListName((std::string(path) + kWorkSuffix).c_str());
    Entries deletion = {{file, workFile, true}, {workFile, std::string()}};
    if (!AddEntries(engine, deletion)) return OP_NOT_DONE;
    for (const RestartEntry& entry : deletion) Tell(engine, entry);
    return OP_SCHEDULED;
}

RestartEntry WorkFileEntry(Engine& engine, const char* path) {
    return {engine.platform.RestartListName((std::string(path) + kWorkSuffix).c_str()),
            std::string()};
}

bool RecordWorkFile(Engine& engine, const RestartEntry& workFile) {
    return AddEntries(engine, {workFile});
}

void ForgetWorkFile(Engine& engine, const RestartEntry& workFile) {
    RemoveEntry(engine, workFile);
}

RestartEntry RepairEntry(Engine& engine, const char* path) {
    std::string workFile = std::string(path) + kWorkSuffix;
    return {engine.platform.RestartListName(workFile.c_str()),
            engine.platform.RestartListName(path), true};
}

bool RecordRepair(Engine& engine, const RestartEntry& workFile, const RestartEntry& record) {
    Entries entries;
    if (!ReadList(engine, &entries)) return false;
    for (size_t i = 0; i < entries.size();)
        if (IsSameEntry(engine, entries[i], workFile))
            entries.erase(entries.begin() + long(i));
        else
            ++i;
    bool there = false;
    for (const RestartEntry& entry : entries) there = there || IsSameEntry(engine, entry, record);
    if (!there) entries.push_back(record);
    return WriteList(engine, entries);
}

int MoveOrSchedule(Engine& engine, const char* destination, const char* source,
                   const RestartEntry& record) {
    if (!engine.platform.Rename(source, destination)) {
        ReportWaitingRepair(engine, record);
        return OP_SCHEDULED;
    }
    // Left on the list, the record does nothing: its work file is gone.
    RemoveEntry(engine, record);
    return OP_DONE_NOW;
}

void ReportWaitingRepair(Engine& engine, const RestartEntry& record) {
    Tell(engine, record);
}

bool TakeBackPendingWork(Engine& engine, const char* path, PlatAttributes* attributes,
                         bool* found) {
    if (found) *found = false;
    Entries entries;
    if (!ReadList(engine, &entries)) return false;
    std::vector<OwnWork> works = OwnWorkOn(engine, entries);
    std::vector<bool> taken(entries.size(), false);
    std::vector<std::string> names = {engine.platform.RestartListName(path)}, workFiles;
    bool any = false;
    for (size_t name = 0; name < names.size(); ++name) {
        for (const OwnWork& work : works) {
            if (taken[work.main] || !work.ActsOn(engine, entries, names[name])) continue;
            taken[work.main] = any = true;
            if (work.partner >= 0) taken[size_t(work.partner)] = true;
            if (work.kind == OwnWork::DELETION) continue;
            names.push_back(entries[work.main].source);
            workFiles.push_back(entries[work.main].source);
        }
    }
    if (!any) return true;
    if (!engine.platform.CanWriteRestartList()) return false;
    // The work files go first, for certain: what stays of their records does nothing.
    RemoveWorkFiles(engine, path, workFiles, attributes, found);
    if (!workFiles.empty()) engine.platform.SyncFolder(path);
    Entries kept;
    for (size_t i = 0; i < entries.size(); ++i)
        if (!taken[i]) kept.push_back(entries[i]);
    return WriteList(engine, kept);
}

bool IsPendingOnRestartList(Engine& engine, const char* path) {
    if (!engine.pendingKnown) {
        Entries entries;
        if (!ReadList(engine, &entries))
            engine.pendingKnown = true;  // unknown: nothing can be taken back
    }
    return !engine.pendingTargets.empty() &&
           IsAmong(engine, engine.platform.RestartListName(path), engine.pendingTargets);
}

// An earlier version's repair, "delete X" and "W -> X", would delete the repaired file if
// carried out twice: what is kept of it is the one replacing rename.
// A work file recorded as being made belongs to a repair that a cut ended before it
// could be used: that repair is given up, with whatever it had begun.
void GiveUpUnfinishedRepairs(Engine& engine) {
    Entries entries;
    if (!ReadList(engine, &entries)) return;
    std::vector<std::string> files;
    for (const OwnWork& work : OwnWorkOn(engine, entries)) {
        std::string workFile, file;
        if (work.kind == OwnWork::WORK_FILE &&
            engine.platform.PathOfRestartListName(entries[work.main].source, &workFile) &&
            FileOfWorkFile(workFile, &file))
            files.push_back(file);
    }
    for (const std::string& file : files) TakeBackPendingWork(engine, file.c_str());
}

std::vector<std::string> FinishInterruptedWork(Engine& engine) {
    std::vector<std::string> finished;
    FileChangesLock lock(engine);
    if (!lock.IsHeld() || !engine.platform.CanWriteRestartList()) return finished;
    GiveUpUnfinishedRepairs(engine);
    Entries entries;
    if (!ReadList(engine, &entries)) return finished;
    std::vector<OwnWork> works = OwnWorkOn(engine, entries);
    std::vector<bool> dropped(entries.size(), false);
    bool changed = false;
    for (const OwnWork& work : works) {
        RestartEntry& entry = entries[work.main];
        bool isRepair = work.kind == OwnWork::REPAIR;
        if (work.kind == OwnWork::WORK_FILE) continue;
        Finish finish = isRepair ? FinishRepair(engine, works, work, entry, &finished)
                                 : FinishDeletion(engine, entry);
        dropped[work.main] = finish == FINISH_DONE;
        if (work.partner >= 0) dropped[size_t(work.partner)] = finish == FINISH_DONE || isRepair;
        changed =
            changed || dropped[work.main] || work.partner >= 0 || (isRepair && !entry.replaces);
        if (isRepair) entry.replaces = true;
    }
    Entries kept;
    for (size_t i = 0; i < entries.size(); ++i)
        if (!dropped[i]) kept.push_back(entries[i]);
    if (changed) WriteList(engine, kept);
    return finished;
}

FileChangesLock::FileChangesLock(Engine& engine)
    : m_engine(engine), m_held(engine.lockDepth > 0 || engine.platform.LockFileChanges()) {
    if (m_held) ++engine.lockDepth;
}

FileChangesLock::~FileChangesLock() {
    if (m_held && --m_engine.lockDepth == 0) m_engine.platform.UnlockFileChanges();
}
