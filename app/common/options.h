#pragma once

// The path and the log name of a batch run; both point into the argument vector.
struct BatchArguments {
    char* pszScanPath;
    const char* pszLogName;
};

// Sets g_bSilent, g_bRemove and g_bRestart from arguments 1 to count - 1. Option words
// match in any case. With `slashStartsOptions` (Windows) an argument beginning with "/"
// is never the path; without it (POSIX, where absolute paths begin with "/") every
// argument that is no option word is the path.
BatchArguments ParseArguments(int count, char** vector, bool slashStartsOptions);

// Whether `argument` is one of the option words above, in any case.
bool IsWindowsOptionWord(const char* argument);
