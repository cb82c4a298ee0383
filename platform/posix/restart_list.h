// The restart list of the POSIX build: a "wininit.ini"-style file whose [rename]
// entries are carried out, in order, by RunRestartList. Names are stored absolute, with
// '%', '=', CR, LF and '[' written as %25, %3D, %0D, %0A and %5B, so that any name
// survives as one entry; an entry that is not exactly such a name is refused.
#pragma once

#include <string>
#include <vector>

#include "platform/restart_list.h"

// $TORVOCLEAN_RESTART_LIST, or /var/lib/torvoclean/wininit.ini.
std::string RestartListPath();

// The file a name as the list stores it stands for; false when it is no valid name.
bool DecodeRestartListName(const std::string& stored, std::string* name);

// Renames `from` to `to` unless `to` exists.
bool RenameNoReplace(const char* from, const char* to);

struct RestartListRun {
    int failed;                        // entries that were carried out and failed
    std::vector<std::string> refused;  // entries that name no valid file, as they stand
    bool unreadable;                   // the list exists but could not be read
    bool unwritable;                   // an entry done could not be taken off the list
};

// Carries out every entry in order (a rename replaces an existing file only when its new
// name is marked "!"), taking each off the list once done, and keeps the list as it was
// in "<list>.bak".
RestartListRun RunRestartList();
