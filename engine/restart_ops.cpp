#include "engine/restart_ops.h"

#include <string>
#include <vector>

#include "platform/platform.h"
#include "platform/restart_list.h"

ScheduleWatcher g_pfnScheduleWatcher;

namespace {

// Work files inside work files go this deep, and no deeper (see clean.cpp).
const int kMostWorkFileLevels = 11;

// The names the list deletes or replaces, as it was last read or written.
std::vector<std::string> g_pendingTargets;
bool g_bPendingKnown;

const std::string& TargetOf(const RestartEntry& entry) {
    return entry.destination.empty() ? entry.source : entry.destination;
}

void Remember(const std::vector<RestartEntry>& entries) {
    g_pendingTargets.clear();
    for (const RestartEntry& entry : entries) g_pendingTargets.push_back(TargetOf(entry));
    g_bPendingKnown = true;
}

bool ReadList(std::vector<RestartEntry>* entries) {
    if (!ReadRestartList(entries)) return false;
    Remember(*entries);
    return true;
}

bool WriteList(const std::vector<RestartEntry>& entries) {
    if (!WriteRestartList(entries)) return false;
    Remember(entries);
    return true;
}

bool IsSameEntry(const RestartEntry& first, const RestartEntry& second) {
    if (first.destination.empty() != second.destination.empty()) return false;
    return IsSameRestartListName(first.source, second.source) &&
           (first.destination.empty() ||
            IsSameRestartListName(first.destination, second.destination));
}

// An operation already on the list is not added again: run twice before the restart,
// a second "delete the page" would remove the repaired page renamed there by the first.
bool AddEntry(const RestartEntry& entry) {
    std::vector<RestartEntry> entries;
    if (!ReadList(&entries)) return false;
    bool listed = false;
    for (const RestartEntry& earlier : entries) listed = listed || IsSameEntry(earlier, entry);
    if (!listed) entries.push_back(entry);
    if (!listed && !WriteList(entries)) return false;
    if (g_pfnScheduleWatcher) g_pfnScheduleWatcher(entry);
    return true;
}

// Takes the entries that delete or replace `name` off `entries`; the sources of the
// renames among them are added to `names`, whose entries go next.
void TakeOffEntriesActingOn(const std::string& name, std::vector<RestartEntry>* entries,
                            std::vector<std::string>* names) {
    for (size_t i = 0; i < entries->size();) {
        const RestartEntry& entry = (*entries)[i];
        if (!IsSameRestartListName(TargetOf(entry), name)) {
            ++i;
            continue;
        }
        if (!entry.destination.empty()) names->push_back(entry.source);
        entries->erase(entries->begin() + long(i));
    }
}

bool IsAmong(const std::string& name, const std::vector<std::string>& names) {
    for (const std::string& listed : names)
        if (IsSameRestartListName(listed, name)) return true;
    return false;
}

// Removes the work files of `path` (path.cln, path.cln.cln, ...) that a rename taken
// back would have moved; `attributes` receives those of the first, which an earlier run
// gave the repaired file. Only now: a deletion put on the list would also remove the
// work file that a repair made after it leaves there for the restart.
void RemoveWorkFiles(const char* path, const std::vector<std::string>& sources,
                     PlatAttributes* attributes, bool* found) {
    std::string workFile = path;
    for (int level = 0; level < kMostWorkFileLevels; ++level) {
        workFile += ".cln";
        if (PlatIsGone(workFile.c_str())) return;
        if (!IsAmong(RestartListName(workFile.c_str()), sources)) continue;
        if (level == 0 && attributes) *found = PlatGetAttributes(workFile.c_str(), attributes);
        PlatSetNormalAttributes(workFile.c_str());
        PlatDeleteFile(workFile.c_str());
    }
}

}  // namespace

int DeleteOrSchedule(const char* path) {
    PlatSetNormalAttributes(path);
    if (PlatDeleteFile(path)) return OP_DONE_NOW;
    return AddEntry({RestartListName(path), std::string()}) ? OP_SCHEDULED : OP_NOT_DONE;
}

int MoveOrSchedule(const char* destination, const char* source) {
    if (PlatRenameFile(source, destination)) return OP_DONE_NOW;
    return ScheduleMove(destination, source);
}

int ScheduleMove(const char* destination, const char* source) {
    RestartEntry entry = {RestartListName(source), RestartListName(destination)};
    return AddEntry(entry) ? OP_SCHEDULED : OP_NOT_DONE;
}

bool TakeBackPendingWork(const char* path, PlatAttributes* attributes, bool* found) {
    if (found) *found = false;
    std::vector<RestartEntry> entries;
    if (!ReadList(&entries)) return false;
    size_t listed = entries.size();
    std::vector<std::string> names = {RestartListName(path)};
    for (size_t i = 0; i < names.size(); ++i) {
        std::string name = names[i];
        TakeOffEntriesActingOn(name, &entries, &names);
    }
    if (entries.size() == listed) return true;
    if (!WriteList(entries)) return false;
    names.erase(names.begin());
    RemoveWorkFiles(path, names, attributes, found);
    return true;
}

bool IsPendingOnRestartList(const char* path) {
    if (!g_bPendingKnown) {
        std::vector<RestartEntry> entries;
        if (!ReadList(&entries)) g_bPendingKnown = true;  // unknown: nothing can be taken back
    }
    return !g_pendingTargets.empty() && IsAmong(RestartListName(path), g_pendingTargets);
}

namespace {

int g_nLockDepth;

}  // namespace

FileChangesLock::FileChangesLock() : m_bHeld(g_nLockDepth > 0 || PlatLockFileChanges()) {
    if (m_bHeld) ++g_nLockDepth;
}

FileChangesLock::~FileChangesLock() {
    if (m_bHeld && --g_nLockDepth == 0) PlatUnlockFileChanges();
}
