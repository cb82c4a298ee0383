// 8.3 names as Windows gives them to files on NTFS: a long name that is not a valid 8.3
// name gets a second, short name ("PROGRA~1"), unique in its folder.
#pragma once

#include <string>

namespace ntfs {

// Whether `name` can serve as its own 8.3 name: a base of 1 to 8 and an optional
// extension of 1 to 3 characters, in ASCII, without the characters 8.3 names leave out.
// Letters may be of either case (Windows keeps the name once, as its long and short name).
bool FitsShortName(const std::u16string& name);

// Whether `name` is acceptable as a short name given to a file: the form above, in
// upper case; characters beyond ASCII are let through, as Windows takes them from a
// code page.
bool IsShortName(const std::u16string& name);

// The short name to try for `longName` at `attempt` (1, 2, ...): "LONGNA~1.TXT" for the
// first four, then a form with a hash of the long name ("LO1A2B~1.TXT"). Empty once the
// attempts are used up.
std::u16string ShortNameCandidate(const std::u16string& longName, unsigned attempt);

}  // namespace ntfs
