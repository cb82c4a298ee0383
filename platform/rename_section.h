// The [rename] section of a "wininit.ini" text: "NUL=F" deletes F, "D=S" renames S to D,
// carried out in the order of the lines.
#pragma once

#include <string>
#include <vector>

struct RenameEntry {
    std::string key;    // the destination, or "NUL" for a deletion
    std::string value;  // the file the entry acts on
};

// Adds "key=value" as the last line of the [rename] section (CR LF line ends),
// creating the section at the end when there is none; earlier entries stay. An entry
// that is already there is not added again.
std::string AddRenameEntry(const std::string& ini, const std::string& key,
                           const std::string& value);

// Removes the last "key=value" line of the [rename] section, if there is one.
std::string RemoveRenameEntry(const std::string& ini, const std::string& key,
                              const std::string& value);

// The entries of the [rename] section, in order.
std::vector<RenameEntry> ReadRenameEntries(const std::string& ini);
