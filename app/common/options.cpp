#include "app/common/options.h"

#include <cctype>
#include <cstring>

#include "app/common/batch.h"

namespace {

bool EqualsIgnoringCase(const char* text, const char* word, size_t length) {
    for (size_t i = 0; i < length; ++i) {
        if (tolower(static_cast<unsigned char>(text[i])) != word[i]) return false;
    }
    return true;
}

bool IsWord(const char* argument, const char* word) {
    return strlen(argument) == strlen(word) && EqualsIgnoringCase(argument, word, strlen(word));
}

}  // namespace

BatchArguments ParseArguments(int count, char** vector, bool slashStartsOptions) {
    BatchArguments arguments = {nullptr, nullptr};
    for (int i = 1; i < count; ++i) {
        char* argument = vector[i];
        bool isOption = true;
        if (IsWord(argument, "/silent"))
            g_bSilent = true;
        else if (IsWord(argument, "/remove"))
            g_bRemove = true;
        else if (IsWord(argument, "/restart"))
            g_bRestart = true;
        else if (strlen(argument) >= 5 && EqualsIgnoringCase(argument, "/log=", 5))
            arguments.pszLogName = argument + 5;
        else if (!IsWord(argument, "/delete") && !IsWord(argument, "/repair"))
            isOption = false;
        if (!isOption && (argument[0] != '/' || !slashStartsOptions))
            arguments.pszScanPath = argument;
    }
    return arguments;
}

bool IsWindowsOptionWord(const char* argument) {
    const char* words[] = {"/silent", "/remove", "/restart", "/delete", "/repair"};
    for (const char* word : words)
        if (IsWord(argument, word)) return true;
    return strlen(argument) >= 5 && EqualsIgnoringCase(argument, "/log=", 5);
}
