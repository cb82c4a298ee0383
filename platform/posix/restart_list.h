// The restart list of the POSIX build: a "wininit.ini"-style file whose [rename]
// entries are carried out, in order, by RunRestartList. Paths are stored with '%',
// '=', CR and LF written as %25, %3D, %0D and %0A.
#pragma once

#include <string>

// $TORVOCLEAN_RESTART_LIST, or /var/lib/torvoclean/wininit.ini.
std::string RestartListPath();

// Renames `from` to `to` unless `to` exists.
bool RenameNoReplace(const char* from, const char* to);

bool AddRestartEntry(const std::string& key, const std::string& value);

// Carries out every entry in order (a rename never replaces an existing file), then
// renames the list to "<list>.bak". Returns the number of entries that failed.
int RunRestartList();
