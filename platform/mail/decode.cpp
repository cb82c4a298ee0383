#include "platform/mail/decode.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <iterator>

namespace mail {
namespace {

const size_t kMostSections = 1000;  // of one RFC 2231 parameter
const char kReplacement[] = "\xEF\xBF\xBD";

// Windows-1252 at 0x80 to 0x9F; the five bytes it leaves out stand for themselves.
const uint16_t kWindows1252High[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

// The value of each base64 digit; -1 for other bytes.
struct Base64Values {
    signed char of[256];
    Base64Values() {
        static const char kDigits[] =
            "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
        std::fill(std::begin(of), std::end(of), -1);
        for (int i = 0; i < 64; ++i)
            of[static_cast<unsigned char>(kDigits[i])] = static_cast<signed char>(i);
    }
};

int HexValue(unsigned char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

// Writes decoded bytes straight into *out, until it holds `most` bytes. The room made
// first is a guess, made larger when the bytes need it; what is left over goes at the end.
class Output {
  public:
    Output(Bytes* out, size_t most, size_t guess)
        : out_(out), start_(out->size()), room_(most > start_ ? most - start_ : 0) {
        Resize(std::min(room_, guess));
    }
    ~Output() { out_->resize(start_ + written_); }
    Output(const Output&) = delete;
    Output& operator=(const Output&) = delete;

    // False when *out is full.
    bool Put(unsigned char byte) {
        if (written_ == size_ && !Grow()) return false;
        data_[written_++] = byte;
        return true;
    }

  private:
    bool Grow() {
        if (size_ >= room_) return false;
        Resize(std::min(room_, size_ * 2 + 4096));
        return true;
    }

    void Resize(size_t size) {
        size_ = size;
        out_->resize(start_ + size);
        data_ = out_->data() + start_;
    }

    Bytes* out_;
    size_t start_, room_, size_ = 0, written_ = 0;
    unsigned char* data_ = nullptr;
};

void AppendUtf8(std::string& out, uint32_t code) {
    if (code < 0x80) {
        out += char(code);
    } else if (code < 0x800) {
        out += char(0xC0 | code >> 6);
        out += char(0x80 | (code & 0x3F));
    } else {
        out += char(0xE0 | code >> 12);
        out += char(0x80 | (code >> 6 & 0x3F));
        out += char(0x80 | (code & 0x3F));
    }
}

// The length of the UTF-8 sequence at `at`, or 0 when it is not one (overlong forms,
// surrogates and code points past U+10FFFF included).
size_t Utf8SequenceAt(const std::string& text, size_t at) {
    unsigned char first = static_cast<unsigned char>(text[at]);
    if (first < 0x80) return 1;
    size_t length = first >= 0xF0 ? 4 : first >= 0xE0 ? 3 : first >= 0xC2 ? 2 : 0;
    if (!length || first > 0xF4 || at + length > text.size()) return 0;
    for (size_t i = 1; i < length; ++i) {
        if ((static_cast<unsigned char>(text[at + i]) & 0xC0) != 0x80) return 0;
    }
    unsigned char second = static_cast<unsigned char>(text[at + 1]);
    if (first == 0xE0 && second < 0xA0) return 0;   // overlong
    if (first == 0xED && second >= 0xA0) return 0;  // surrogate
    if (first == 0xF0 && second < 0x90) return 0;   // overlong
    if (first == 0xF4 && second >= 0x90) return 0;  // past U+10FFFF
    return length;
}

bool IsUtf8(const std::string& text) {
    for (size_t at = 0; at < text.size();) {
        size_t length = Utf8SequenceAt(text, at);
        if (!length) return false;
        at += length;
    }
    return true;
}

std::string CleanUtf8(const std::string& text) {
    std::string out;
    for (size_t at = 0; at < text.size();) {
        size_t length = Utf8SequenceAt(text, at);
        if (length) {
            out.append(text, at, length);
            at += length;
        } else {
            out += kReplacement;
            ++at;
        }
    }
    return out;
}

uint32_t Latin9(unsigned char byte) {
    switch (byte) {
        case 0xA4:
            return 0x20AC;
        case 0xA6:
            return 0x0160;
        case 0xA8:
            return 0x0161;
        case 0xB4:
            return 0x017D;
        case 0xB8:
            return 0x017E;
        case 0xBC:
            return 0x0152;
        case 0xBD:
            return 0x0153;
        case 0xBE:
            return 0x0178;
        default:
            return byte;
    }
}

std::string SingleByteToUtf8(const std::string& bytes, bool latin9) {
    std::string out;
    for (char c : bytes) {
        unsigned char byte = static_cast<unsigned char>(c);
        uint32_t code = byte;
        if (latin9) {
            code = Latin9(byte);
        } else if (byte >= 0x80 && byte < 0xA0) {
            code = kWindows1252High[byte - 0x80];
        }
        AppendUtf8(out, code);
    }
    return out;
}

// --- Encoded words (RFC 2047) ----------------------------------------------------------

struct EncodedWord {
    std::string charset;
    std::string bytes;
    size_t end = 0;  // just past its "?="
};

std::string DecodeQWord(const std::string& text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        int high, low;
        if (text[i] == '_') {
            out += ' ';
        } else if (text[i] == '=' && i + 2 < text.size() &&
                   (high = HexValue(static_cast<unsigned char>(text[i + 1]))) >= 0 &&
                   (low = HexValue(static_cast<unsigned char>(text[i + 2]))) >= 0) {
            out += char(high << 4 | low);
            i += 2;
        } else {
            out += text[i];
        }
    }
    return out;
}

// "=?charset?B?text?=" or "=?charset?Q?text?=" at `at`, without white space inside.
bool ParseEncodedWord(const std::string& text, size_t at, EncodedWord* word) {
    if (text.compare(at, 2, "=?") != 0) return false;
    size_t charsetEnd = text.find('?', at + 2);
    if (charsetEnd == std::string::npos || charsetEnd == at + 2 || charsetEnd + 3 > text.size() ||
        text[charsetEnd + 2] != '?')
        return false;
    char encoding = char(text[charsetEnd + 1] | 0x20);
    if (encoding != 'b' && encoding != 'q') return false;
    size_t textBegin = charsetEnd + 3;
    size_t textEnd = text.find('?', textBegin);
    if (textEnd == std::string::npos || textEnd + 1 >= text.size() || text[textEnd + 1] != '=')
        return false;
    std::string charset = text.substr(at + 2, charsetEnd - at - 2);
    std::string encoded = text.substr(textBegin, textEnd - textBegin);
    if (charset.find_first_of(" \t\r\n") != std::string::npos ||
        encoded.find_first_of(" \t\r\n") != std::string::npos)
        return false;
    word->charset = Lower(charset.substr(0, charset.find('*')));  // RFC 2231 language cut off
    if (encoding == 'b') {
        Bytes decoded;
        const unsigned char* begin = reinterpret_cast<const unsigned char*>(encoded.data());
        DecodeBase64(begin, begin + encoded.size(), SIZE_MAX, &decoded);
        word->bytes.assign(decoded.begin(), decoded.end());
    } else {
        word->bytes = DecodeQWord(encoded);
    }
    word->end = textEnd + 2;
    return true;
}

// Builds the decoded text: plain runs and runs of encoded words of one character set, each
// turned into UTF-8 whole, so that a character split between two words comes out whole.
class WordJoiner {
  public:
    void Plain(const std::string& text) {
        FlushWords();
        plain_ += text;
    }
    void Word(const EncodedWord& word) {
        FlushPlain();
        if (!wordBytes_.empty() && word.charset != charset_) FlushWords();
        charset_ = word.charset;
        wordBytes_ += word.bytes;
    }
    std::string Done() {
        FlushPlain();
        FlushWords();
        return out_;
    }

  private:
    void FlushPlain() {
        out_ += ToUtf8(plain_, "");
        plain_.clear();
    }
    void FlushWords() {
        out_ += ToUtf8(wordBytes_, charset_);
        wordBytes_.clear();
    }

    std::string out_, plain_, wordBytes_, charset_;
};

// --- RFC 2231 parameters --------------------------------------------------------------

struct Section {
    bool encoded = false;
    std::string text;
};

std::string PercentDecode(const std::string& text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        int high, low;
        if (text[i] == '%' && i + 2 < text.size() &&
            (high = HexValue(static_cast<unsigned char>(text[i + 1]))) >= 0 &&
            (low = HexValue(static_cast<unsigned char>(text[i + 2]))) >= 0) {
            out += char(high << 4 | low);
            i += 2;
        } else {
            out += text[i];
        }
    }
    return out;
}

// The sections 0, 1, ... (or the one unnumbered) joined and decoded.
std::string JoinSections(const std::map<int, Section>& sections) {
    std::string charset, bytes;
    int expected = sections.begin()->first < 0 ? -1 : 0;
    for (const auto& entry : sections) {
        if (entry.first != expected) break;
        std::string text = entry.second.text;
        if (entry.second.encoded) {
            if (entry.first <= 0) {
                size_t quote = text.find('\'');
                size_t second = quote == std::string::npos ? quote : text.find('\'', quote + 1);
                if (second != std::string::npos) {
                    charset = text.substr(0, quote);
                    text.erase(0, second + 1);
                }
            }
            text = PercentDecode(text);
        }
        bytes += text;
        expected = entry.first < 0 ? -2 : expected + 1;
    }
    return ToUtf8(bytes, charset);
}

// Splits "a; b=\"c;d\"; e" at the semicolons outside quoted strings.
std::vector<std::string> SplitAtSemicolons(const std::string& field) {
    std::vector<std::string> pieces(1);
    bool quoted = false;
    for (size_t i = 0; i < field.size(); ++i) {
        char c = field[i];
        if (quoted && c == '\\' && i + 1 < field.size()) {
            pieces.back() += c;
            pieces.back() += field[++i];
            continue;
        }
        if (c == '"') quoted = !quoted;
        if (c == ';' && !quoted) {
            pieces.emplace_back();
        } else {
            pieces.back() += c;
        }
    }
    return pieces;
}

std::string Unquote(const std::string& value) {
    if (value.empty() || value[0] != '"') return value;
    std::string out;
    for (size_t i = 1; i < value.size(); ++i) {
        if (value[i] == '"') break;
        if (value[i] == '\\' && i + 1 < value.size()) ++i;
        out += value[i];
    }
    return out;
}

// "name*3*" gives "name", 3 and encoded; "name*" gives section -1, encoded.
bool ParseExtendedName(const std::string& name, std::string* base, int* section, bool* encoded) {
    size_t star = name.find('*');
    if (star == std::string::npos || star == 0) return false;
    *base = name.substr(0, star);
    std::string rest = name.substr(star + 1);
    *encoded = !rest.empty() && rest.back() == '*';
    if (*encoded) rest.pop_back();
    if (rest.empty()) {
        if (!*encoded) return false;
        *section = -1;
        return true;
    }
    if (rest.size() > 4 || rest.find_first_not_of("0123456789") != std::string::npos) return false;
    *section = std::stoi(rest);
    return size_t(*section) < kMostSections;
}

}  // namespace

const unsigned char* LineEnd(const unsigned char* line, const unsigned char* end) {
    const void* found = std::memchr(line, '\n', size_t(end - line));
    return found ? static_cast<const unsigned char*>(found) : end;
}

const unsigned char* NextLine(const unsigned char* lineEnd, const unsigned char* end) {
    return lineEnd < end ? lineEnd + 1 : end;
}

const unsigned char* WithoutCr(const unsigned char* line, const unsigned char* lineEnd) {
    return lineEnd > line && lineEnd[-1] == '\r' ? lineEnd - 1 : lineEnd;
}

bool IsBlank(unsigned char c) {
    return c == ' ' || c == '\t';
}

std::string Trim(const std::string& text) {
    size_t first = text.find_first_not_of(" \t\r\n");
    if (first == std::string::npos) return "";
    size_t last = text.find_last_not_of(" \t\r\n");
    return text.substr(first, last - first + 1);
}

std::string Lower(std::string text) {
    for (char& c : text) {
        if (c >= 'A' && c <= 'Z') c = char(c + 32);
    }
    return text;
}

bool DecodeBase64(const unsigned char* begin, const unsigned char* end, size_t most, Bytes* out) {
    static const Base64Values values;
    Output output(out, most, size_t(end - begin) / 4 * 3 + 3);
    uint32_t bits = 0;
    int count = 0;
    // A '=' ends a quantum early; what follows may be another encoded run.
    auto flush = [&]() {
        bool room = true;
        if (count >= 2) room = output.Put(uint8_t(bits >> (count * 6 - 8)));
        if (count == 3 && room) room = output.Put(uint8_t(bits >> 2));
        bits = 0;
        count = 0;
        return room;
    };
    for (const unsigned char* p = begin; p < end; ++p) {
        int value = values.of[*p];
        if (value < 0) {
            if (*p == '=' && !flush()) return false;
            continue;
        }
        bits = bits << 6 | uint32_t(value);
        if (++count == 4) {
            if (!output.Put(uint8_t(bits >> 16)) || !output.Put(uint8_t(bits >> 8)) ||
                !output.Put(uint8_t(bits)))
                return false;
            bits = 0;
            count = 0;
        }
    }
    return flush();
}

bool DecodeQuotedPrintable(const unsigned char* begin, const unsigned char* end, size_t most,
                           Bytes* out) {
    Output output(out, most, size_t(end - begin));
    const unsigned char* p = begin;
    while (p < end) {
        if (*p == '=') {
            int high, low;
            if (end - p > 2 && (high = HexValue(p[1])) >= 0 && (low = HexValue(p[2])) >= 0) {
                if (!output.Put(uint8_t(high << 4 | low))) return false;
                p += 3;
                continue;
            }
            const unsigned char* q = p + 1;
            while (q < end && IsBlank(*q)) ++q;
            if (q < end && *q == '\r') ++q;
            if (q == end || *q == '\n') {  // a soft line break
                p = q < end ? q + 1 : end;
                continue;
            }
            if (!output.Put('=')) return false;
            ++p;
            continue;
        }
        if (IsBlank(*p)) {
            // White space at the end of a line was added on the way: it goes.
            const unsigned char* q = p;
            while (q < end && IsBlank(*q)) ++q;
            bool atLineEnd =
                q == end || *q == '\n' || (*q == '\r' && (q + 1 == end || q[1] == '\n'));
            for (; !atLineEnd && p < q; ++p) {
                if (!output.Put(*p)) return false;
            }
            p = q;
            continue;
        }
        if (!output.Put(*p)) return false;
        ++p;
    }
    return true;
}

bool FindUuBlock(const unsigned char* begin, const unsigned char* end, UuBlock* block) {
    for (const unsigned char* line = begin; line < end;) {
        const unsigned char* lineEnd = LineEnd(line, end);
        const unsigned char* textEnd = WithoutCr(line, lineEnd);
        if (textEnd - line > 6 && std::memcmp(line, "begin ", 6) == 0) {
            const unsigned char* mode = line + 6;
            const unsigned char* p = mode;
            while (p < textEnd && *p >= '0' && *p <= '7') ++p;
            bool modeRight = p > mode && p - mode <= 4 && p < textEnd && *p == ' ';
            while (p < textEnd && *p == ' ') ++p;
            std::string name(p, textEnd);
            while (!name.empty() && IsBlank(static_cast<unsigned char>(name.back())))
                name.pop_back();
            if (modeRight && !name.empty()) {
                block->name = name;
                block->lines = NextLine(lineEnd, end);
                return true;
            }
        }
        line = NextLine(lineEnd, end);
    }
    return false;
}

UuDecoded DecodeUuLines(const unsigned char* lines, const unsigned char* end, size_t most,
                        Bytes* out) {
    Output output(out, most, 0);
    UuDecoded result;
    const unsigned char* line = lines;
    while (line < end) {
        const unsigned char* lineEnd = LineEnd(line, end);
        const unsigned char* textEnd = WithoutCr(line, lineEnd);
        const unsigned char* trimmed = textEnd;
        while (trimmed > line && IsBlank(trimmed[-1])) --trimmed;
        if (trimmed - line == 3 && std::memcmp(line, "end", 3) == 0) {
            result.ended = true;
            result.next = NextLine(lineEnd, end);
            return result;
        }
        for (const unsigned char* p = line; p < textEnd; ++p) {
            if (*p < 32 || *p > 96) {  // not a uuencoded line: the block stops before it
                result.next = line;
                return result;
            }
        }
        // A line emptied of its trailing spaces on the way held no bytes.
        size_t length = size_t(textEnd - line);
        size_t count = length ? size_t((line[0] - 32) & 63) : 0;
        for (size_t done = 0, at = 1; done < count; done += 3, at += 4) {
            uint32_t bits = 0;
            for (size_t i = at; i < at + 4; ++i) {
                unsigned char c = i < length ? line[i] : ' ';  // trailing spaces lost on the way
                bits = bits << 6 | uint32_t((c - 32) & 63);
            }
            for (size_t i = 0; i < 3 && done + i < count; ++i) {
                if (!output.Put(uint8_t(bits >> (16 - 8 * i)))) result.whole = false;
            }
        }
        line = NextLine(lineEnd, end);
    }
    result.next = end;
    return result;
}

std::string ToUtf8(const std::string& bytes, const std::string& charset) {
    std::string name = Lower(charset);
    if (name == "utf-8" || name == "utf8") return IsUtf8(bytes) ? bytes : CleanUtf8(bytes);
    if (name == "iso-8859-15" || name == "latin-9" || name == "latin9")
        return SingleByteToUtf8(bytes, true);
    if (name == "us-ascii" || name == "ascii" || name == "iso-8859-1" || name == "latin1" ||
        name == "iso_8859-1" || name == "windows-1252" || name == "cp1252")
        return SingleByteToUtf8(bytes, false);
    return IsUtf8(bytes) ? bytes : SingleByteToUtf8(bytes, false);
}

std::string DecodeWords(const std::string& text) {
    WordJoiner joiner;
    bool afterWord = false;
    size_t at = 0;
    while (at < text.size()) {
        EncodedWord word;
        if (ParseEncodedWord(text, at, &word)) {
            joiner.Word(word);
            at = word.end;
            afterWord = true;
            continue;
        }
        if (afterWord) {
            // White space between two encoded words is no part of the text.
            size_t next = text.find_first_not_of(" \t\r\n", at);
            EncodedWord following;
            if (next != std::string::npos && next > at &&
                ParseEncodedWord(text, next, &following)) {
                at = next;
                continue;
            }
        }
        size_t runEnd = text.find("=?", at + 1);
        if (runEnd == std::string::npos) runEnd = text.size();
        joiner.Plain(text.substr(at, runEnd - at));
        at = runEnd;
        afterWord = false;
    }
    return joiner.Done();
}

std::string FieldWithParameters::Parameter(const std::string& name) const {
    auto found = parameters.find(name);
    return found == parameters.end() ? std::string() : found->second;
}

FieldWithParameters ParseParameters(const std::string& field) {
    FieldWithParameters parsed;
    std::vector<std::string> pieces = SplitAtSemicolons(field);
    std::string value = Trim(pieces[0]);
    parsed.value = Lower(value.substr(0, value.find_first_of(" \t(")));
    std::map<std::string, std::map<int, Section>> extended;
    for (size_t i = 1; i < pieces.size(); ++i) {
        size_t equals = pieces[i].find('=');
        if (equals == std::string::npos) continue;
        std::string name = Lower(Trim(pieces[i].substr(0, equals)));
        std::string text = Unquote(Trim(pieces[i].substr(equals + 1)));
        std::string base;
        int section;
        bool encoded;
        if (ParseExtendedName(name, &base, &section, &encoded)) {
            Section& entry = extended[base][section];
            entry.encoded = encoded;
            entry.text = text;
        } else if (!name.empty() && !parsed.parameters.count(name)) {
            parsed.parameters[name] = DecodeWords(text);
        }
    }
    for (const auto& entry : extended) {
        std::string joined = JoinSections(entry.second);
        if (!joined.empty()) parsed.parameters[entry.first] = joined;
    }
    return parsed;
}

}  // namespace mail
