// Names as NTFS keeps them (UTF-16, which may hold unpaired surrogates) and as the
// program passes them (UTF-8).
#pragma once

#include <string>

namespace ntfs {

// False for bytes that are not UTF-8. A surrogate encoded on its own (as Utf16ToUtf8
// writes an unpaired one) is taken back as it is.
bool Utf8ToUtf16(const std::string& text, std::u16string* name);
std::string Utf16ToUtf8(const std::u16string& name);

}  // namespace ntfs
