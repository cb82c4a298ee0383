#include "tools/samplegen/mail_samples.h"

#include <algorithm>
#include <cctype>
#include <cstddef>
#include <cstdint>

namespace mail_samples {
namespace {

const char kBase64Digits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
const char kHexDigits[] = "0123456789ABCDEF";
const size_t kBase64Line = 57;           // bytes per line of 76 characters
const size_t kQuotedPrintableLine = 72;  // characters before a soft line break
const size_t kUuencodeLine = 45;         // bytes per line
const size_t kWordBytes = 30;            // bytes of text per encoded word
const size_t kParameterSection = 40;     // characters per RFC 2231 section

// --- .dbx layout (see platform/mail/dbx.cpp) ---------------------------------------------
const size_t kDbxHeaderSize = 0x24BC;
const size_t kNodeSize = 0x27C;
const size_t kNodeHeader = 0x18;
const size_t kNodeEntry = 12;
const size_t kMostNodeEntries = 0x33;
const size_t kBlockHeader = 0x10;
const size_t kBlockData = 0x200;
const uint8_t kDirectValue = 0x80;
const uint8_t kIndexOfMessage = 0x00;
const uint8_t kIndexOfFirstBlock = 0x04;
const unsigned char kDbxSignature[] = {0xCF, 0xAD, 0x12, 0xFE, 0xC5, 0xFD, 0x74, 0x6F, 0x66, 0xE3,
                                       0xD1, 0x11, 0x9A, 0x4E, 0x00, 0xC0, 0x4F, 0xA3, 0x09, 0xD4,
                                       0x05, 0x00, 0x00, 0x00, 0x05, 0x00, 0x00, 0x00};

void Append(Bytes& out, const std::string& text) {
    out.insert(out.end(), text.begin(), text.end());
}

void Append(Bytes& out, const Bytes& bytes) {
    out.insert(out.end(), bytes.begin(), bytes.end());
}

void Set32(Bytes& out, size_t at, uint32_t value) {
    for (int i = 0; i < 4; ++i) out[at + size_t(i)] = uint8_t(value >> (8 * i));
}

void Put32(Bytes& out, uint32_t value) {
    out.resize(out.size() + 4);
    Set32(out, out.size() - 4, value);
}

bool IsAscii(const std::string& text) {
    return std::all_of(text.begin(), text.end(),
                       [](char c) { return c >= ' ' && static_cast<unsigned char>(c) < 127; });
}

std::string Base64(const unsigned char* data, size_t size) {
    std::string out;
    for (size_t i = 0; i < size; i += 3) {
        uint32_t bits = uint32_t(data[i]) << 16;
        if (i + 1 < size) bits |= uint32_t(data[i + 1]) << 8;
        if (i + 2 < size) bits |= data[i + 2];
        out += kBase64Digits[bits >> 18];
        out += kBase64Digits[bits >> 12 & 63];
        out += i + 1 < size ? kBase64Digits[bits >> 6 & 63] : '=';
        out += i + 2 < size ? kBase64Digits[bits & 63] : '=';
    }
    return out;
}

std::string Hex(unsigned char byte) {
    return std::string(1, kHexDigits[byte >> 4]) + kHexDigits[byte & 15];
}

// Pieces of at most `most` bytes, not cutting a UTF-8 sequence.
std::vector<std::string> Utf8Pieces(const std::string& text, size_t most) {
    std::vector<std::string> pieces;
    size_t at = 0;
    while (at < text.size()) {
        size_t end = std::min(text.size(), at + most);
        while (end < text.size() && end > at + 1 && (text[end] & 0xC0) == 0x80) --end;
        pieces.push_back(text.substr(at, end - at));
        at = end;
    }
    return pieces;
}

// RFC 2047: "=?UTF-8?B?...?=" words, folded onto lines of their own.
std::string BWords(const std::string& text, const std::string& eol) {
    std::string out;
    for (const std::string& piece : Utf8Pieces(text, kWordBytes)) {
        if (!out.empty()) out += eol + " ";
        out += "=?UTF-8?B?" +
               Base64(reinterpret_cast<const unsigned char*>(piece.data()), piece.size()) + "?=";
    }
    return out;
}

// RFC 2047 "Q" words: letters and digits as they are, a space as '_', the rest as =XX.
std::string QWords(const std::string& text, const std::string& eol) {
    std::string out;
    for (const std::string& piece : Utf8Pieces(text, kWordBytes)) {
        if (!out.empty()) out += eol + " ";
        out += "=?UTF-8?Q?";
        for (char c : piece) {
            unsigned char byte = static_cast<unsigned char>(c);
            if (isalnum(byte) && byte < 127) {
                out += c;
            } else if (c == ' ') {
                out += '_';
            } else {
                out += "=" + Hex(byte);
            }
        }
        out += "?=";
    }
    return out;
}

std::string Quoted(const std::string& text) {
    std::string out = "\"";
    for (char c : text) {
        if (c == '"' || c == '\\') out += '\\';
        out += c;
    }
    return out + "\"";
}

// A name parameter: quoted ASCII, or RFC 2047 words in quotes, or RFC 2231 sections.
std::string NameParameter(const std::string& parameter, const std::string& name, bool rfc2231,
                          const std::string& eol) {
    if (IsAscii(name)) return parameter + "=" + Quoted(name);
    if (!rfc2231) return parameter + "=\"" + BWords(name, eol) + "\"";
    std::string encoded = "UTF-8''";
    for (char c : name) {
        unsigned char byte = static_cast<unsigned char>(c);
        encoded += isalnum(byte) && byte < 127 ? std::string(1, c) : "%" + Hex(byte);
    }
    if (encoded.size() <= kParameterSection) return parameter + "*=" + encoded;
    std::string out;
    for (size_t at = 0, section = 0; at < encoded.size(); ++section) {
        size_t end = std::min(encoded.size(), at + kParameterSection);
        size_t percent = encoded.rfind('%', end - 1);
        if (end < encoded.size() && percent != std::string::npos && percent > at &&
            percent + 3 > end)
            end = percent;  // "%XX" kept whole
        if (section) out += ";" + eol + " ";
        out += parameter + "*" + std::to_string(section) + "*=" + encoded.substr(at, end - at);
        at = end;
    }
    return out;
}

std::string Base64Lines(const Bytes& data, const std::string& eol) {
    std::string out;
    for (size_t at = 0; at < data.size(); at += kBase64Line) {
        out += Base64(data.data() + at, std::min(kBase64Line, data.size() - at)) + eol;
    }
    return out;
}

// Every byte but printable ASCII and white space inside a line as =XX (line breaks of the
// data too, so that any bytes come back whole); white space before a soft line break or at
// the end as =XX.
std::string QuotedPrintableLines(const Bytes& data, const std::string& eol) {
    std::string out, line;
    auto encodeTrailingBlank = [&line]() {
        if (!line.empty() && (line.back() == ' ' || line.back() == '\t')) {
            unsigned char blank = static_cast<unsigned char>(line.back());
            line.back() = '=';
            line += Hex(blank);
        }
    };
    for (unsigned char byte : data) {
        bool literal = (byte >= 33 && byte <= 126 && byte != '=') || byte == ' ' || byte == '\t';
        std::string piece = literal ? std::string(1, char(byte)) : "=" + Hex(byte);
        if (line.size() + piece.size() > kQuotedPrintableLine) {
            encodeTrailingBlank();
            out += line + "=" + eol;
            line.clear();
        }
        line += piece;
    }
    encodeTrailingBlank();
    return out + line;
}

char UuDigit(uint32_t value) {
    return value ? char(value + 32) : '`';
}

std::string UuencodedBlock(const NamedFile& file, const std::string& eol) {
    std::string out = "begin 644 " + file.name + eol;
    for (size_t at = 0; at < file.data.size(); at += kUuencodeLine) {
        size_t count = std::min(kUuencodeLine, file.data.size() - at);
        out += UuDigit(uint32_t(count));
        for (size_t i = 0; i < count; i += 3) {
            uint32_t bits = uint32_t(file.data[at + i]) << 16;
            if (i + 1 < count) bits |= uint32_t(file.data[at + i + 1]) << 8;
            if (i + 2 < count) bits |= file.data[at + i + 2];
            for (int shift = 18; shift >= 0; shift -= 6) out += UuDigit(bits >> shift & 63);
        }
        out += eol;
    }
    return out + "`" + eol + "end" + eol;
}

bool Holds(const Bytes& data, const std::string& text) {
    return std::search(data.begin(), data.end(), text.begin(), text.end()) != data.end();
}

// A boundary that none of the bodies holds.
std::string Boundary(const MimeMessage& message) {
    for (unsigned number = 1;; ++number) {
        std::string boundary = "=_torvo_sample_" + std::to_string(number);
        std::string delimiter = "--" + boundary;
        bool used = false;
        for (const NamedFile& file : message.attachments)
            used = used || Holds(file.data, delimiter);
        for (const Bytes& attached : message.messages) used = used || Holds(attached, delimiter);
        if (!used) return boundary;
    }
}

std::string TextSection(const MimeMessage& message, const std::string& eol) {
    std::string text = "Content-Type: text/plain; charset=us-ascii" + eol +
                       "Content-Transfer-Encoding: 7bit" + eol + eol +
                       "This is a harmless synthetic test message. It holds no program code." + eol;
    if (message.encoding == Encoding::kUuencode) {
        for (const NamedFile& file : message.attachments) text += eol + UuencodedBlock(file, eol);
    }
    return text;
}

std::string AttachmentSection(const NamedFile& file, const MimeMessage& message,
                              const std::string& eol) {
    bool base64 = message.encoding == Encoding::kBase64;
    std::string part = "Content-Type: application/octet-stream";
    if (!message.rfc2231Names) part += "; " + NameParameter("name", file.name, false, eol);
    part += eol + "Content-Transfer-Encoding: " + (base64 ? "base64" : "quoted-printable") + eol;
    part += "Content-Disposition: attachment;" + eol + " " +
            NameParameter("filename", file.name, message.rfc2231Names, eol) + eol + eol;
    return part + (base64 ? Base64Lines(file.data, eol) : QuotedPrintableLines(file.data, eol));
}

// --- .dbx ------------------------------------------------------------------------------

struct TreeNode {
    size_t firstChild = 0;  // node number + 1; 0 for none
    size_t firstChildValues = 0;
    size_t parent = 0;  // node number + 1
    uint8_t id = 0;
    std::vector<size_t> values;                       // message numbers
    std::vector<std::pair<size_t, size_t>> children;  // node number + 1, values below
};

// Lays out messages [first, first + count) in order: up to 0x33 in the node itself, the
// rest shared out among the subtrees below its first child and below each entry.
size_t BuildTree(std::vector<TreeNode>& nodes, size_t first, size_t count, size_t parent,
                 uint8_t id) {
    size_t number = nodes.size();
    nodes.emplace_back();
    nodes[number].parent = parent;
    nodes[number].id = id;
    size_t entries = std::min(count, kMostNodeEntries);
    size_t rest = count - entries, subtrees = entries + 1;
    std::vector<size_t> sizes(subtrees, rest / subtrees);
    for (size_t i = 0; i < rest % subtrees; ++i) ++sizes[i];
    size_t next = first;
    auto subtree = [&](size_t size, uint8_t childId) -> size_t {
        if (!size) return 0;
        size_t child = BuildTree(nodes, next, size, number + 1, childId) + 1;
        next += size;
        return child;
    };
    nodes[number].firstChild = subtree(sizes[0], 0);
    nodes[number].firstChildValues = sizes[0];
    for (size_t i = 0; i < entries; ++i) {
        nodes[number].values.push_back(next++);
        size_t child = subtree(sizes[i + 1], uint8_t(i));
        nodes[number].children.push_back({child, sizes[i + 1]});
    }
    return number;
}

uint32_t NodeOffset(size_t numberPlusOne) {
    return numberPlusOne ? uint32_t(kDbxHeaderSize + (numberPlusOne - 1) * kNodeSize) : 0;
}

Bytes TreeNodeBytes(const TreeNode& node, size_t number) {
    Bytes out(kNodeSize, 0);
    Set32(out, 0, NodeOffset(number + 1));
    Set32(out, 8, NodeOffset(node.firstChild));
    Set32(out, 12, NodeOffset(node.parent));
    out[16] = node.id;
    out[17] = uint8_t(node.values.size());
    Set32(out, 20, uint32_t(node.firstChildValues));
    return out;
}

size_t BlockCount(const Bytes& message) {
    return std::max<size_t>(1, (message.size() + kBlockData - 1) / kBlockData);
}

// A message info with index 0x00 (the message's number) and 0x04 (its first data block):
// the block's offset stands in the index entry itself for odd numbers below 2^24, in the
// data after the entries otherwise.
Bytes MessageInfo(uint32_t offset, uint32_t number, uint32_t firstBlock) {
    bool direct = number % 2 == 1 && firstBlock < (1u << 24);
    Bytes body;
    Put32(body, uint32_t(kDirectValue | kIndexOfMessage) | (number & 0xFFFFFF) << 8);
    Put32(body, direct ? uint32_t(kDirectValue | kIndexOfFirstBlock) | firstBlock << 8
                       : kIndexOfFirstBlock);
    Put32(body, direct ? 0 : firstBlock);  // padding when direct: every info is one size
    Bytes info;
    Put32(info, offset);
    Put32(info, uint32_t(body.size()));
    info.push_back(uint8_t(body.size() + 12));
    info.push_back(0);
    info.push_back(2);  // index entries
    info.push_back(1);  // changes
    Append(info, body);
    return info;
}

}  // namespace

Bytes MimeMessageFile(const MimeMessage& message) {
    std::string eol = message.lineFeeds ? "\n" : "\r\n";
    std::string boundary = Boundary(message);
    std::string from = message.from;
    if (!IsAscii(from)) from = BWords(from, eol);
    std::string subject = IsAscii(message.subject) ? message.subject : QWords(message.subject, eol);
    Bytes out;
    Append(out, "From: " + from + eol + "To: <tester@example.invalid>" + eol +
                    "Subject: " + subject + eol + "Date: Thu, 01 Jan 1998 00:00:00 +0000" + eol +
                    "Message-ID: " + message.messageId + eol + "MIME-Version: 1.0" + eol +
                    "Content-Type: multipart/mixed;" + eol + " boundary=\"" + boundary + "\"" +
                    eol + eol + "This is a multi-part message in MIME format." + eol);
    Append(out, eol + "--" + boundary + eol + TextSection(message, eol));
    if (message.encoding != Encoding::kUuencode) {
        for (const NamedFile& file : message.attachments)
            Append(out, eol + "--" + boundary + eol + AttachmentSection(file, message, eol));
    }
    for (const Bytes& attached : message.messages) {
        Append(out, eol + "--" + boundary + eol + "Content-Type: message/rfc822" + eol + eol);
        Append(out, attached);
    }
    Append(out, eol + "--" + boundary + "--" + eol);
    return out;
}

Bytes DbxFolder(const std::vector<Bytes>& messages) {
    std::vector<TreeNode> nodes;
    if (!messages.empty()) BuildTree(nodes, 0, messages.size(), 0, 0);
    // Message infos after the nodes, then the blocks of each message in turn.
    size_t infoSize = MessageInfo(0, 0, 0).size();
    uint32_t infos = uint32_t(kDbxHeaderSize + nodes.size() * kNodeSize);
    uint32_t blocks = uint32_t(infos + messages.size() * infoSize);
    std::vector<uint32_t> firstBlocks;
    uint32_t next = blocks;
    for (const Bytes& message : messages) {
        firstBlocks.push_back(next);
        next += uint32_t(BlockCount(message) * (kBlockHeader + kBlockData));
    }

    Bytes out(kDbxHeaderSize, 0);
    std::copy(std::begin(kDbxSignature), std::end(kDbxSignature), out.begin());
    Set32(out, 0x5C, uint32_t(messages.size()));  // the last index given out
    Set32(out, 0x64, 1);
    Set32(out, 0x7C, next);  // the file's length
    Set32(out, 0x80, 2);
    Set32(out, 0xC4, uint32_t(messages.size()));
    Set32(out, 0xE4, NodeOffset(nodes.empty() ? 0 : 1));
    for (size_t number = 0; number < nodes.size(); ++number) {
        Bytes node = TreeNodeBytes(nodes[number], number);
        for (size_t i = 0; i < nodes[number].values.size(); ++i) {
            size_t at = kNodeHeader + i * kNodeEntry;
            Set32(node, at, uint32_t(infos + nodes[number].values[i] * infoSize));
            Set32(node, at + 4, NodeOffset(nodes[number].children[i].first));
            Set32(node, at + 8, uint32_t(nodes[number].children[i].second));
        }
        Append(out, node);
    }
    for (size_t i = 0; i < messages.size(); ++i)
        Append(out, MessageInfo(uint32_t(out.size()), uint32_t(i), firstBlocks[i]));
    for (const Bytes& message : messages) {
        size_t count = BlockCount(message);
        for (size_t block = 0; block < count; ++block) {
            size_t at = block * kBlockData;
            size_t used = std::min(kBlockData, message.size() - std::min(at, message.size()));
            uint32_t self = uint32_t(out.size());
            Put32(out, self);
            Put32(out, uint32_t(kBlockData));
            Put32(out, uint32_t(used));
            Put32(out, block + 1 < count ? self + uint32_t(kBlockHeader + kBlockData) : 0);
            auto data = message.begin() + std::ptrdiff_t(at);
            out.insert(out.end(), data, data + std::ptrdiff_t(used));
            out.resize(out.size() + kBlockData - used, 0);
        }
    }
    return out;
}

}  // namespace mail_samples
