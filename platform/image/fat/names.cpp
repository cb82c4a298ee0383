#include "platform/image/fat/names.h"

#include <cstring>
#include <vector>

#include "platform/image/fat/tables.h"

namespace fat {

namespace {

const char32_t kReplacement = 0xFFFD;
const size_t kMaxLongNameUnits = 255;

bool IsContinuation(unsigned char byte) {
    return (byte & 0xC0) == 0x80;
}

// Characters no short name may hold; a long name may hold all but the first ones.
bool IsInvalidInAnyName(char32_t point) {
    return point < 0x20 || (point < 0x80 && strchr("\"*/:<>?\\|", int(point)) != nullptr);
}
bool IsInvalidInShortName(uint8_t byte) {
    return byte < 0x20 || strchr("\"*+,./:;<=>?[\\]|", byte) != nullptr;
}

}  // namespace

bool DecodeUtf8(const std::string& text, std::u32string* points) {
    points->clear();
    const unsigned char* bytes = reinterpret_cast<const unsigned char*>(text.data());
    size_t count = text.size();
    for (size_t i = 0; i < count;) {
        unsigned char lead = bytes[i];
        int extra = lead < 0x80             ? 0
                    : (lead & 0xE0) == 0xC0 ? 1
                    : (lead & 0xF0) == 0xE0 ? 2
                    : (lead & 0xF8) == 0xF0 ? 3
                                            : -1;
        if (extra < 0 || count - i <= size_t(extra)) return false;
        char32_t point = extra == 0 ? lead : lead & (0x3F >> extra);
        for (int k = 1; k <= extra; ++k) {
            if (!IsContinuation(bytes[i + k])) return false;
            point = (point << 6) | (bytes[i + k] & 0x3F);
        }
        const char32_t least[4] = {0, 0x80, 0x800, 0x10000};
        if (point < least[extra] || point > 0x10FFFF || (point >= 0xD800 && point < 0xE000))
            return false;
        points->push_back(point);
        i += size_t(extra) + 1;
    }
    return true;
}

void AppendUtf8(char32_t point, std::string* text) {
    if (point < 0x80) {
        text->push_back(char(point));
    } else if (point < 0x800) {
        text->push_back(char(0xC0 | (point >> 6)));
        text->push_back(char(0x80 | (point & 0x3F)));
    } else if (point < 0x10000) {
        text->push_back(char(0xE0 | (point >> 12)));
        text->push_back(char(0x80 | ((point >> 6) & 0x3F)));
        text->push_back(char(0x80 | (point & 0x3F)));
    } else {
        text->push_back(char(0xF0 | (point >> 18)));
        text->push_back(char(0x80 | ((point >> 12) & 0x3F)));
        text->push_back(char(0x80 | ((point >> 6) & 0x3F)));
        text->push_back(char(0x80 | (point & 0x3F)));
    }
}

std::u16string ToUtf16(const std::u32string& points) {
    std::u16string units;
    for (char32_t point : points) {
        if (point < 0x10000) {
            units.push_back(char16_t(point));
        } else {
            point -= 0x10000;
            units.push_back(char16_t(0xD800 + (point >> 10)));
            units.push_back(char16_t(0xDC00 + (point & 0x3FF)));
        }
    }
    return units;
}

std::string Utf16ToUtf8(const char16_t* units, size_t count) {
    std::string text;
    for (size_t i = 0; i < count; ++i) {
        char32_t point = units[i];
        if (point >= 0xD800 && point < 0xDC00 && i + 1 < count && units[i + 1] >= 0xDC00 &&
            units[i + 1] < 0xE000) {
            point = 0x10000 + ((point - 0xD800) << 10) + (units[i + 1] - 0xDC00);
            ++i;
        } else if (point >= 0xD800 && point < 0xE000) {
            point = kReplacement;
        }
        AppendUtf8(point, &text);
    }
    return text;
}

char32_t UpperCase(char32_t point) {
    if (point < 0x80) return point >= 'a' && point <= 'z' ? point - 32 : point;
    if (point > 0xFFFF) return point;
    size_t low = 0, high = kUpperRangeCount;
    while (low < high) {
        size_t middle = (low + high) / 2;
        if (kUpperRanges[middle].last < point) {
            low = middle + 1;
        } else {
            high = middle;
        }
    }
    if (low == kUpperRangeCount) return point;
    const UpperRange& range = kUpperRanges[low];
    if (point < range.first || (point - range.first) % range.stride != 0) return point;
    return char32_t(int(point) + range.delta);
}

std::string NameKey(const std::string& name) {
    std::u32string points;
    if (!DecodeUtf8(name, &points)) return name;
    std::string key;
    key.reserve(name.size());
    for (char32_t point : points) AppendUtf8(UpperCase(point), &key);
    return key;
}

bool CodePage::Supported(int number) {
    return number == 437 || number == 850;
}

CodePage::CodePage(int number) : m_high(number == 850 ? kCodePage850 : kCodePage437) {}

char32_t CodePage::ToUnicode(uint8_t byte) const {
    return byte < 0x80 ? byte : m_high[byte - 0x80];
}

int CodePage::FromUnicode(char32_t point) const {
    if (point < 0x80) return int(point);
    for (int i = 0; i < 128; ++i) {
        if (m_high[i] == point) return 0x80 + i;
    }
    return -1;
}

std::string ShortNameText(const ShortName& name, const CodePage& codePage, bool lowerBase,
                          bool lowerExtension) {
    size_t baseEnd = 8, extensionEnd = 11;
    while (baseEnd > 0 && name[baseEnd - 1] == ' ') --baseEnd;
    while (extensionEnd > 8 && name[extensionEnd - 1] == ' ') --extensionEnd;
    std::string text;
    auto append = [&](size_t i, bool lower) {
        uint8_t byte = i == 0 && name[0] == 0x05 ? 0xE5 : name[i];
        if (lower && byte >= 'A' && byte <= 'Z') byte = uint8_t(byte + 32);
        AppendUtf8(codePage.ToUnicode(byte), &text);
    };
    for (size_t i = 0; i < baseEnd; ++i) append(i, lowerBase);
    if (extensionEnd > 8) text.push_back('.');
    for (size_t i = 8; i < extensionEnd; ++i) append(i, lowerExtension);
    return text;
}

uint8_t ShortNameChecksum(const ShortName& name) {
    uint8_t sum = 0;
    for (uint8_t byte : name) sum = uint8_t(((sum & 1) << 7) + (sum >> 1) + byte);
    return sum;
}

bool CheckLongName(const std::string& name, std::string* error) {
    std::u32string points;
    if (!DecodeUtf8(name, &points)) {
        *error = "the name is not valid UTF-8";
        return false;
    }
    if (points.empty() || name == "." || name == "..") {
        *error = "not a file name: \"" + name + "\"";
        return false;
    }
    for (char32_t point : points) {
        if (IsInvalidInAnyName(point)) {
            *error = "a file name cannot hold control characters nor any of \"*/:<>?\\|";
            return false;
        }
    }
    if (points.back() == '.' || points.back() == ' ') {
        *error = "a file name cannot end in a dot or a space";
        return false;
    }
    if (ToUtf16(points).size() > kMaxLongNameUnits) {
        *error = "the name is longer than 255 UTF-16 units";
        return false;
    }
    return true;
}

ShortBasis MakeShortBasis(const std::u32string& longName, const CodePage& codePage) {
    ShortBasis basis;
    basis.name.fill(' ');
    basis.needsTail = false;
    // The name in upper case in the code page, spaces and leading dots dropped; a dot
    // stays as 0 to mark where the extension may begin.
    bool fits = true, lossy = false, exact = true;
    std::vector<uint8_t> bytes;
    for (char32_t point : longName) {
        char32_t upper = UpperCase(point);
        if (upper != point) exact = false;
        if (point == ' ') {
            fits = false;
            continue;
        }
        if (point == '.') {
            if (bytes.empty()) fits = false;
            if (!bytes.empty()) bytes.push_back(0);
            continue;
        }
        int byte = codePage.FromUnicode(upper);
        if (byte < 0 || IsInvalidInShortName(uint8_t(byte))) {
            byte = '_';
            lossy = true;
        }
        bytes.push_back(uint8_t(byte));
    }
    size_t lastDot = bytes.size();
    for (size_t i = 0; i < bytes.size(); ++i) {
        if (bytes[i] == 0) {
            if (lastDot != bytes.size()) fits = false;
            lastDot = i;
        }
    }
    size_t base = 0, extension = 0;
    for (size_t i = 0; i < lastDot; ++i) {
        if (bytes[i] == 0) continue;
        if (base < 8) basis.name[base] = bytes[i];
        ++base;
    }
    for (size_t i = lastDot + 1; i < bytes.size(); ++i) {
        if (extension < 3) basis.name[8 + extension] = bytes[i];
        ++extension;
    }
    if (base == 0) {
        basis.name[0] = '_';
        lossy = true;
    }
    if (base > 8 || extension > 3) fits = false;
    basis.needsTail = lossy || !fits;
    basis.exact = exact && !basis.needsTail;
    if (basis.name[0] == 0xE5) basis.name[0] = 0x05;
    return basis;
}

ShortName WithNumericTail(const ShortName& basis, unsigned n) {
    std::string tail = "~" + std::to_string(n);
    size_t base = 8;
    while (base > 0 && basis[base - 1] == ' ') --base;
    size_t at = base + tail.size() <= 8 ? base : 8 - tail.size();
    ShortName name = basis;
    for (size_t i = 0; i < tail.size(); ++i) name[at + i] = uint8_t(tail[i]);
    return name;
}

}  // namespace fat
