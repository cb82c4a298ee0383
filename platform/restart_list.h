// The restart list: file operations that the system carries out at its next start, in
// the order they stand, before programs run. One implementation a platform
// (win32/restart_list.cpp, posix/restart_list.cpp); the engine reads and changes it
// only whole, through these calls.
#pragma once

#include <string>
#include <vector>

// Files are named as the list stores them (see RestartListName).
struct RestartEntry {
    std::string source;       // the file the operation acts on
    std::string destination;  // its new name; empty for a deletion
};

// Reads the whole list; a missing list is empty. False when it cannot be read whole.
bool ReadRestartList(std::vector<RestartEntry>* entries);

// Puts `entries` in the list's place, whole or not at all. Entries the program did not
// make stay as they were read.
bool WriteRestartList(const std::vector<RestartEntry>& entries);

// How the list names `path`.
std::string RestartListName(const char* path);

// Whether two names as the list stores them name the same file.
bool IsSameRestartListName(const std::string& first, const std::string& second);
