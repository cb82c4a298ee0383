#include "app/linux/json_names.h"

#include <cstring>

namespace {

const char kDigits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

bool IsUtf8(const std::string& text) {
    for (size_t i = 0; i < text.size();) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        size_t length = c < 0x80         ? 1
                        : (c >> 5) == 6  ? 2
                        : (c >> 4) == 14 ? 3
                        : (c >> 3) == 30 ? 4
                                         : 0;
        if (length == 0 || i + length > text.size()) return false;
        for (size_t k = 1; k < length; ++k)
            if ((static_cast<unsigned char>(text[i + k]) >> 6) != 2) return false;
        i += length;
    }
    return true;
}

std::string Base64(const std::string& bytes) {
    std::string out;
    for (size_t i = 0; i < bytes.size(); i += 3) {
        uint32_t group = uint32_t(static_cast<unsigned char>(bytes[i])) << 16;
        if (i + 1 < bytes.size()) group |= uint32_t(static_cast<unsigned char>(bytes[i + 1])) << 8;
        if (i + 2 < bytes.size()) group |= static_cast<unsigned char>(bytes[i + 2]);
        for (size_t k = 0; k < 4; ++k)
            out += i + k <= bytes.size() ? kDigits[(group >> (18 - 6 * k)) & 63] : '=';
    }
    return out;
}

bool FromBase64(const std::string& text, std::string* bytes) {
    if (text.size() % 4) return false;
    bytes->clear();
    uint32_t group = 0;
    int bits = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '=') return text.size() - i <= 2;
        const char* digit = strchr(kDigits, text[i]);
        if (!digit || !text[i]) return false;
        group = group << 6 | uint32_t(digit - kDigits);
        if ((bits += 6) >= 8) bytes->push_back(char(group >> (bits -= 8)));
    }
    return true;
}

}  // namespace

void PutName(Json& object, const std::string& key, const std::string& name) {
    object[key] = name;
    if (!IsUtf8(name)) object[key + "_base64"] = Base64(name);
}

bool GetName(const Json& object, const std::string& key, std::string* name) {
    auto whole = object.find(key + "_base64");
    if (whole != object.end()) return whole->is_string() && FromBase64(*whole, name);
    auto readable = object.find(key);
    if (readable == object.end() || !readable->is_string()) return false;
    *name = *readable;
    return true;
}

std::string JsonLine(const Json& object) {
    return object.dump(-1, ' ', false, Json::error_handler_t::replace);
}
