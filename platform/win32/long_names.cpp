#include "platform/win32/long_names.h"

#include <map>

namespace {

std::map<std::string, std::wstring>& LongNames() {
    static std::map<std::string, std::wstring> names;
    return names;
}

}  // namespace

std::wstring Widened(const std::string& text, UINT codePage) {
    int length = MultiByteToWideChar(codePage, 0, text.c_str(), -1, nullptr, 0);
    if (length <= 0) return std::wstring();
    std::wstring wide(size_t(length), L'\0');
    MultiByteToWideChar(codePage, 0, text.c_str(), -1, &wide[0], length);
    wide.resize(size_t(length) - 1);
    return wide;
}

std::string Narrowed(const std::wstring& text, UINT codePage) {
    int length = WideCharToMultiByte(codePage, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr);
    if (length <= 0) return std::string();
    std::string narrow(size_t(length), '\0');
    WideCharToMultiByte(codePage, 0, text.c_str(), -1, &narrow[0], length, nullptr, nullptr);
    narrow.resize(size_t(length) - 1);
    return narrow;
}

void RememberLongName(const std::string& path, const std::wstring& longPath) {
    LongNames()[path] = longPath;
}

const std::wstring* LongNameOf(const char* path) {
    std::map<std::string, std::wstring>::const_iterator found = LongNames().find(path);
    return found == LongNames().end() ? nullptr : &found->second;
}
