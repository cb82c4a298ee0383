// Reads Internet mail messages (RFC 822 and MIME) into their attachments, for scanning
// what a mailbox holds. Nothing here trusts the message: every limit below is kept, and
// whatever cannot be read is told in `problems` instead of failing the whole message.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace mail {

struct Limits {
    int maxDepth = 10;               // message/rfc822 and multipart nesting
    size_t maxPartSize = 100 << 20;  // a decoded part larger than this is cut short (reported)
    size_t maxTotal = 400 << 20;     // all decoded parts of one message together; also the
                                     // most raw bytes of one message of a .dbx folder
    size_t maxParts = 10000;         // parts and attached messages of one message together
};

struct Attachment {
    // The filename (Content-Disposition filename=, or Content-Type name=), RFC 2047 /
    // RFC 2231 decoded to UTF-8; "part<N>" (1-based leaf index, e.g. "part2") when it has
    // none; for a uuencoded block, the name on its "begin" line.
    std::string name;
    // Decoded (base64, quoted-printable, 7bit/8bit/binary, uuencode).
    std::vector<unsigned char> data;
    // A text part without a file name that is not marked as an attachment: the message's
    // own words, not something attached to it.
    bool isBody = false;
};

struct Message {
    // Unfolded header values, RFC 2047 decoded to UTF-8; empty if absent.
    std::string messageId, subject, from;
    // Every leaf part, text bodies included, in order; after a text part, each uuencoded
    // block found in it ("begin 644 name" ... "end").
    std::vector<Attachment> parts;
    // The message/rfc822 parts, parsed as messages, in order.
    std::vector<Message> attached;
    // Of an attached message: its bytes, transfer encoding undone, for what looks at whole
    // messages; they count as a part towards the limits. Empty for the message that
    // ParseMessage gives (its bytes are the caller's).
    std::vector<unsigned char> raw;
    // What could not be read or was cut short by a limit, each a short English phrase
    // (e.g. "part 3: larger than the limit of a part"); empty when all was read whole.
    // The problems of an attached message are repeated here after "attached message N: ",
    // so that this list alone tells whether anything inside went unread.
    std::vector<std::string> problems;
};

// Parses one RFC 822/MIME message (header, blank line, body; CRLF or LF line ends).
// Never fails on malformed input: it reads what it can and records problems.
Message ParseMessage(const unsigned char* data, size_t size, const Limits& limits);

// Whether the start of a file looks like one message (a Maildir/MH/.eml file): its first
// line is a header field ("Name: value", a name of printable ASCII without ':' or space;
// a leading "From " line is not a message but an mbox), and among the header fields before
// the first blank line within `size` bytes are at least two of From, To, Date, Subject,
// Message-ID, MIME-Version, Received, Return-Path. `head` is the first up to 4096 bytes.
bool LooksLikeMessage(const unsigned char* head, size_t size);

}  // namespace mail
