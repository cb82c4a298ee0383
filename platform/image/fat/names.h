// Names in a FAT folder: UTF-8 and UTF-16, upper case, the OEM code page short names are
// stored in, and the short name Windows gives a long one.
#pragma once

#include <array>
#include <cstdint>
#include <string>

namespace fat {

// A short name as stored: 8 bytes of name and 3 of extension, padded with spaces.
typedef std::array<uint8_t, 11> ShortName;

// Code points of UTF-8 `text`; false when it is not well-formed UTF-8.
bool DecodeUtf8(const std::string& text, std::u32string* points);
void AppendUtf8(char32_t point, std::string* text);
std::u16string ToUtf16(const std::u32string& points);
// Unpaired surrogates become U+FFFD.
std::string Utf16ToUtf8(const char16_t* units, size_t count);

char32_t UpperCase(char32_t point);
// What names that differ only in case have in common: the key names are looked up by.
std::string NameKey(const std::string& name);

class CodePage {
  public:
    static bool Supported(int number);
    // 437 or 850.
    explicit CodePage(int number);
    char32_t ToUnicode(uint8_t byte) const;
    // The byte of `point`, or -1 when the code page has no such character.
    int FromUnicode(char32_t point) const;

  private:
    const char16_t* m_high;
};

// "NAME.EXT" in UTF-8. Windows NT marks with the two case bits a name it shows in lower
// case without long-name entries.
std::string ShortNameText(const ShortName& name, const CodePage& codePage, bool lowerBase,
                          bool lowerExtension);
uint8_t ShortNameChecksum(const ShortName& name);

// Whether a file may be called `name` (UTF-8); why not in `error`.
bool CheckLongName(const std::string& name, std::string* error);

struct ShortBasis {
    ShortName name;
    // The long name does not fit 8.3, or some character of it has no short form.
    bool needsTail;
    // The long name is this short name as stored: it needs no long-name entries.
    bool exact;
};
// The basis of the short name of `longName`, a name CheckLongName accepts.
ShortBasis MakeShortBasis(const std::u32string& longName, const CodePage& codePage);
// `basis` with "~n" at the end of its first eight bytes.
ShortName WithNumericTail(const ShortName& basis, unsigned n);

}  // namespace fat
