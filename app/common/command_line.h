#pragma once

// Every letter A to Z becomes a to z; no other byte changes.
void LowercaseInPlace(char* text);

// Splits `text` by the usual Windows quoting rules into one heap block that holds
// the vector of argument pointers (ended by a null pointer) and then the arguments.
// The block is never freed. When it cannot be allocated the line counts as empty.
void SplitCommandLineText(const char* text, int* count, char*** vector);

#ifdef _WIN32
// SplitCommandLineText on the process's command line as it is now.
void SplitCommandLine(int* count, char*** vector);
#endif
