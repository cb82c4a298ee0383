// The restart list of the POSIX build: a "wininit.ini"-style file whose [rename]
// entries are carried out, in order, by RunRestartList. Paths are stored with '%',
// '=', CR, LF and '[' written as %25, %3D, %0D, %0A and %5B, so that any name
// survives as one entry.
#pragma once

#include <string>

// $TORVOCLEAN_RESTART_LIST, or /var/lib/torvoclean/wininit.ini.
std::string RestartListPath();

// Renames `from` to `to` unless `to` exists.
bool RenameNoReplace(const char* from, const char* to);

// Adds "key=value" unless it is listed already. False when an existing list cannot be
// read whole (it is then left alone) or the new one cannot be written.
bool AddRestartEntry(const std::string& key, const std::string& value);
// Removes the last "key=value" entry.
bool RemoveRestartEntry(const std::string& key, const std::string& value);

// Carries out every entry in order (a rename never replaces an existing file), then
// renames the list to "<list>.bak". Returns the number of entries that failed.
int RunRestartList();
