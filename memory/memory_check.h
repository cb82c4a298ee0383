#pragma once

// Tells the user when the worm runs (its mutexes exist), restores the Windows 95
// family's shell setting and ends the worm's first process (on the NT family it starts
// that program again at once). 1 when the worm was found, 0 otherwise.
int CheckMemory();

// A hook called before the memory check; always 0.
int StartupPathCheck(const char* pszDir);
