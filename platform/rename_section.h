// The [rename] section of a "wininit.ini" text: "NUL=F" deletes F, "D=S" renames S to D,
// carried out in the order of the lines.
#pragma once

#include <string>
#include <vector>

struct RenameEntry {
    std::string key;    // the destination, or "NUL" for a deletion
    std::string value;  // the file the entry acts on
};

// The entries of the [rename] sections, in order.
std::vector<RenameEntry> ReadRenameEntries(const std::string& ini);

// The text with `entries` as the entries of its [rename] section, one "key=value" line
// each (CR LF line ends), at the end of the first such section or of a new one.
// Everything else stays as it was: other sections, and the section's own lines that
// are no entries. A text that would be an empty [rename] section alone is empty.
std::string ReplaceRenameEntries(const std::string& ini, const std::vector<RenameEntry>& entries);
