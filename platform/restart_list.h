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
    // A rename that replaces a file standing under its new name, marked "!" on the NT
    // family and the POSIX list. The Windows 95 family's wininit.ini knows no other
    // kind of rename.
    bool replaces = true;
};

// Reads the whole list; a missing list is empty. False when it cannot be read whole.
bool ReadRestartList(std::vector<RestartEntry>* entries);

// Puts `entries` in the list's place, whole or not at all, and durably: once it
// returns true, a power cut leaves the new list. Entries the program did not make stay
// as they were read.
bool WriteRestartList(const std::vector<RestartEntry>& entries);

// How the list names `path`.
std::string RestartListName(const char* path);

// Whether two names as the list stores them name the same file.
bool IsSameRestartListName(const std::string& first, const std::string& second);

// Whether the stored name `work` names the work file of the stored name `file`: the
// file's name with ".cln" appended, beside it.
bool IsWorkFileName(const std::string& work, const std::string& file);

// The path by which the program reaches the file a stored name stands for; false when
// it has none.
bool PathOfRestartListName(const std::string& stored, std::string* path);
