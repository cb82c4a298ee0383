// The encodings of mail: transfer encodings of bodies (base64, quoted-printable,
// uuencode), encoded words and parameters of header fields (RFC 2047, RFC 2231) and the
// few character sets that names come in. Every decoder takes any bytes.
#pragma once

#include <cstddef>
#include <map>
#include <string>
#include <vector>

namespace mail {

typedef std::vector<unsigned char> Bytes;

// The decoders append to *out until it holds `most` bytes; false when they stopped there
// with input left to decode.
bool DecodeBase64(const unsigned char* begin, const unsigned char* end, size_t most, Bytes* out);
bool DecodeQuotedPrintable(const unsigned char* begin, const unsigned char* end, size_t most,
                           Bytes* out);

// A uuencoded block: the line "begin MODE NAME", encoded lines, "end".
struct UuBlock {
    std::string name;                      // as the "begin" line has it
    const unsigned char* lines = nullptr;  // the first encoded line
};

// The first "begin MODE NAME" line at the start of a line in [begin, end); false if none.
bool FindUuBlock(const unsigned char* begin, const unsigned char* end, UuBlock* block);

struct UuDecoded {
    const unsigned char* next = nullptr;  // just past the block ("end" line) or where it stopped
    bool ended = false;                   // its "end" line was found
    bool whole = true;                    // false: cut short at `most` bytes
};

// Decodes the encoded lines that start at `lines` up to the "end" line, or up to the first
// line that is not uuencoded.
UuDecoded DecodeUuLines(const unsigned char* lines, const unsigned char* end, size_t most,
                        Bytes* out);

// A header field's text with its encoded words (RFC 2047) decoded, in UTF-8. Bytes outside
// encoded words are taken as UTF-8 when they are, else as Windows-1252.
std::string DecodeWords(const std::string& text);

// `bytes` in `charset` as UTF-8. UTF-8, US-ASCII, ISO-8859-1 and -15 and Windows-1252 are
// known; other bytes are kept when they are UTF-8 and read as Windows-1252 otherwise.
std::string ToUtf8(const std::string& bytes, const std::string& charset);

// A structured field such as Content-Type: `value` ("text/plain", lower case) and its
// parameters by lower-case name, unquoted; RFC 2231 values (name*=, name*0*=, ...) joined
// and decoded, other values RFC 2047 decoded; all in UTF-8.
struct FieldWithParameters {
    std::string value;
    std::map<std::string, std::string> parameters;

    std::string Parameter(const std::string& name) const;
};
FieldWithParameters ParseParameters(const std::string& field);

// Lines of any bytes: where the line at `line` ends (its '\n', or `end`), where the next
// one starts, and where its text ends (before a '\r' ahead of the '\n').
const unsigned char* LineEnd(const unsigned char* line, const unsigned char* end);
const unsigned char* NextLine(const unsigned char* lineEnd, const unsigned char* end);
const unsigned char* WithoutCr(const unsigned char* line, const unsigned char* lineEnd);

bool IsBlank(unsigned char c);  // space or tab
std::string Trim(const std::string& text);
std::string Lower(std::string text);

}  // namespace mail
