#include "platform/image/ntfs/text.h"

#include <cstdint>

namespace ntfs {

namespace {

bool IsHighSurrogate(uint32_t unit) {
    return unit >= 0xD800 && unit <= 0xDBFF;
}

bool IsLowSurrogate(uint32_t unit) {
    return unit >= 0xDC00 && unit <= 0xDFFF;
}

// The length of the sequence a lead byte begins, 0 for a byte that cannot lead one.
size_t SequenceLength(unsigned char lead) {
    if (lead < 0x80) return 1;
    if (lead >= 0xC2 && lead <= 0xDF) return 2;
    if (lead >= 0xE0 && lead <= 0xEF) return 3;
    if (lead >= 0xF0 && lead <= 0xF4) return 4;
    return 0;
}

void AppendUtf8(uint32_t point, std::string* text) {
    if (point < 0x80) {
        *text += char(point);
    } else if (point < 0x800) {
        *text += char(0xC0 | (point >> 6));
        *text += char(0x80 | (point & 0x3F));
    } else if (point < 0x10000) {
        *text += char(0xE0 | (point >> 12));
        *text += char(0x80 | ((point >> 6) & 0x3F));
        *text += char(0x80 | (point & 0x3F));
    } else {
        *text += char(0xF0 | (point >> 18));
        *text += char(0x80 | ((point >> 12) & 0x3F));
        *text += char(0x80 | ((point >> 6) & 0x3F));
        *text += char(0x80 | (point & 0x3F));
    }
}

}  // namespace

bool Utf8ToUtf16(const std::string& text, std::u16string* name) {
    name->clear();
    for (size_t i = 0; i < text.size();) {
        unsigned char lead = static_cast<unsigned char>(text[i]);
        size_t length = SequenceLength(lead);
        if (length == 0 || i + length > text.size()) return false;
        uint32_t point = length == 1 ? lead : lead & (0x7F >> length);
        for (size_t k = 1; k < length; ++k) {
            unsigned char next = static_cast<unsigned char>(text[i + k]);
            if ((next & 0xC0) != 0x80) return false;
            point = point << 6 | (next & 0x3F);
        }
        bool overlong = (length == 3 && point < 0x800) || (length == 4 && point < 0x10000);
        if (overlong || point > 0x10FFFF) return false;
        if (point >= 0x10000) {
            point -= 0x10000;
            *name += char16_t(0xD800 | (point >> 10));
            *name += char16_t(0xDC00 | (point & 0x3FF));
        } else {
            *name += char16_t(point);
        }
        i += length;
    }
    return true;
}

std::string Utf16ToUtf8(const std::u16string& name) {
    std::string text;
    for (size_t i = 0; i < name.size(); ++i) {
        uint32_t unit = name[i];
        if (IsHighSurrogate(unit) && i + 1 < name.size() && IsLowSurrogate(name[i + 1])) {
            AppendUtf8(0x10000 + ((unit - 0xD800) << 10) + (name[i + 1] - 0xDC00), &text);
            ++i;
        } else {
            AppendUtf8(unit, &text);
        }
    }
    return text;
}

}  // namespace ntfs
