#include "platform/image/ntfs/short_names.h"

#include <cstdint>

namespace ntfs {

namespace {

const size_t kBaseLength = 8;
const size_t kExtensionLength = 3;
const unsigned kPlainAttempts = 4;
const unsigned kHashedAttempts = 999999;

bool IsExcluded(char16_t c) {
    if (c < 0x20 || c == 0x7F) return true;
    for (char excluded : std::string(" \"*+,./:;<=>?[\\]|"))
        if (c == char16_t(excluded)) return true;
    return false;
}

bool IsLowerAscii(char16_t c) {
    return c >= u'a' && c <= u'z';
}

char16_t UpperAscii(char16_t c) {
    return IsLowerAscii(c) ? char16_t(c - u'a' + u'A') : c;
}

bool HasShortForm(const std::u16string& name, bool allowLower, bool allowBeyondAscii) {
    size_t dot = name.find(u'.');
    std::u16string base = name.substr(0, dot);
    std::u16string extension = dot == std::u16string::npos ? u"" : name.substr(dot + 1);
    if (base.empty() || base.size() > kBaseLength || extension.size() > kExtensionLength)
        return false;
    if (dot != std::u16string::npos && extension.empty()) return false;
    for (char16_t c : base + extension) {
        if (IsExcluded(c) || (!allowLower && IsLowerAscii(c))) return false;
        if (c > 0x7F && !allowBeyondAscii) return false;
    }
    return true;
}

// What a part of a long name becomes in a short name: upper case, spaces and dots
// dropped, characters 8.3 names leave out (and any beyond ASCII) turned to '_'.
std::u16string ShortPart(const std::u16string& part, size_t limit) {
    std::u16string result;
    for (char16_t c : part) {
        if (result.size() == limit) break;
        if (c == u' ' || c == u'.') continue;
        result += IsExcluded(c) || c > 0x7F ? u'_' : UpperAscii(c);
    }
    return result;
}

std::u16string Hex4(uint16_t value) {
    const char16_t digits[] = u"0123456789ABCDEF";
    std::u16string text;
    for (int shift = 12; shift >= 0; shift -= 4) text += digits[(value >> shift) & 0xF];
    return text;
}

uint16_t NameHash(const std::u16string& name) {
    uint16_t hash = 0;
    for (char16_t c : name) hash = uint16_t((hash << 5 | hash >> 11) + c * 31u);
    return hash;
}

}  // namespace

bool FitsShortName(const std::u16string& name) {
    return HasShortForm(name, true, false);
}

bool IsShortName(const std::u16string& name) {
    return HasShortForm(name, false, true);
}

std::u16string ShortNameCandidate(const std::u16string& longName, unsigned attempt) {
    if (attempt == 0 || attempt > kPlainAttempts + kHashedAttempts) return u"";
    size_t first = longName.find_first_not_of(u'.');
    std::u16string trimmed = first == std::u16string::npos ? u"" : longName.substr(first);
    size_t dot = trimmed.rfind(u'.');
    std::u16string base = ShortPart(trimmed.substr(0, dot), kBaseLength);
    std::u16string extension =
        dot == std::u16string::npos ? u"" : ShortPart(trimmed.substr(dot + 1), kExtensionLength);
    if (base.empty()) base = u"_";
    unsigned number = attempt;
    if (attempt > kPlainAttempts) {
        number = attempt - kPlainAttempts;
        base = base.substr(0, 2) + Hex4(NameHash(longName));
    }
    std::u16string tail = u"~";
    for (char c : std::to_string(number)) tail += char16_t(c);
    std::u16string name = base.substr(0, kBaseLength - tail.size()) + tail;
    return extension.empty() ? name : name + u"." + extension;
}

}  // namespace ntfs
