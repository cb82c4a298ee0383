// Character tables of names; see tables.cpp.
#pragma once

#include <cstddef>

namespace fat {

// Code points first..last, every `stride`th, have the upper case code point + delta.
struct UpperRange {
    char16_t first, last;
    int delta;
    int stride;
};
extern const UpperRange kUpperRanges[];
extern const size_t kUpperRangeCount;

// Unicode of the bytes 0x80..0xFF.
extern const char16_t kCodePage437[128];
extern const char16_t kCodePage850[128];

}  // namespace fat
