#include "app/common/command_line.h"

#include <cstdlib>
#include <cstring>

#ifdef _WIN32
#include <windows.h>
#endif

namespace {

bool IsSpace(char c) {
    return c == ' ' || (c >= '\t' && c <= '\r');
}

int CountWhitespaceRuns(const char* text) {
    int runs = 0;
    for (const char* p = text; *p; ++p)
        if (IsSpace(*p) && !IsSpace(p[1])) ++runs;
    return runs;
}

// Reads one argument starting at `in` into `out`; returns where reading stopped.
const char* ReadArgument(const char* in, char** out) {
    bool quoted = false;
    while (*in && (quoted || !IsSpace(*in))) {
        size_t backslashes = 0;
        while (*in == '\\') {
            ++backslashes;
            ++in;
        }
        if (*in != '"') {
            for (; backslashes > 0; --backslashes) *(*out)++ = '\\';
            if (*in && (quoted || !IsSpace(*in))) *(*out)++ = *in++;
            continue;
        }
        for (size_t i = 0; i < backslashes / 2; ++i) *(*out)++ = '\\';
        if (backslashes % 2 == 1) {
            *(*out)++ = '"';
        } else if (quoted && in[1] == '"') {
            *(*out)++ = '"';  // a doubled quote inside quotes is one literal quote
            ++in;
        } else {
            quoted = !quoted;
        }
        ++in;
    }
    *(*out)++ = '\0';
    return in;
}

}  // namespace

void LowercaseInPlace(char* text) {
    for (; *text; ++text)
        if (*text >= 'A' && *text <= 'Z') *text = char(*text - 'A' + 'a');
}

void SplitCommandLineText(const char* text, int* count, char*** vector) {
    static char* noArguments[1] = {nullptr};
    int slots = CountWhitespaceRuns(text) + 2;
    size_t length = strlen(text);
    char** block = static_cast<char**>(malloc(slots * sizeof(char*) + length + 1));
    *count = 0;
    *vector = noArguments;
    if (!block) return;
    char* strings = reinterpret_cast<char*>(block + slots);
    int made = 0;
    const char* in = text;
    while (made < slots - 1) {
        while (IsSpace(*in)) ++in;
        if (!*in) break;
        block[made++] = strings;
        in = ReadArgument(in, &strings);
    }
    block[made] = nullptr;
    *count = made;
    *vector = block;
}

#ifdef _WIN32
void SplitCommandLine(int* count, char*** vector) {
    SplitCommandLineText(GetCommandLineA(), count, vector);
}
#endif
