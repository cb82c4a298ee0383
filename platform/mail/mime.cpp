#include "platform/mail/mime.h"

#include <algorithm>
#include <cstring>
#include <functional>
#include <set>
#include <string>

#include "platform/mail/decode.h"

namespace mail {
namespace {

// A header field's value is kept up to this many bytes; a longer one is no real header.
const size_t kMostFieldValue = 65536;
// RFC 2046 allows 70 characters; a longer boundary would make the search for it slow.
const size_t kMostBoundary = 200;

const char* const kMessageFieldNames[] = {"from",       "to",           "date",     "subject",
                                          "message-id", "mime-version", "received", "return-path"};

struct Range {
    const unsigned char* begin;
    const unsigned char* end;
};

// The header fields the reader needs, unfolded; the first of each name counts.
struct Fields {
    std::string from, subject, messageId, contentType, encoding, disposition;
    bool hasContentType = false;

    std::string* Slot(const std::string& name) {
        std::string* slot = name == "from"                        ? &from
                            : name == "subject"                   ? &subject
                            : name == "message-id"                ? &messageId
                            : name == "content-type"              ? &contentType
                            : name == "content-transfer-encoding" ? &encoding
                            : name == "content-disposition"       ? &disposition
                                                                  : nullptr;
        if (!slot || seen_.count(name)) return nullptr;
        seen_.insert(name);
        if (slot == &contentType) hasContentType = true;
        return slot;
    }

  private:
    std::set<std::string> seen_;
};

bool StartsWith(const unsigned char* begin, const unsigned char* end, const char* text) {
    size_t length = std::strlen(text);
    return size_t(end - begin) >= length && std::memcmp(begin, text, length) == 0;
}

// Printable ASCII but ':'.
bool IsFieldNameByte(unsigned char c) {
    return c > ' ' && c < 127 && c != ':';
}

// The length of the name of the field that the line starts with ("Name:"), or 0.
size_t FieldNameLength(const unsigned char* line, const unsigned char* end) {
    const unsigned char* p = line;
    while (p < end && IsFieldNameByte(*p)) ++p;
    return p > line && p < end && *p == ':' ? size_t(p - line) : 0;
}

void AppendCapped(std::string* value, const unsigned char* begin, const unsigned char* end) {
    size_t room = kMostFieldValue - std::min(kMostFieldValue, value->size());
    value->append(begin, begin + std::min(room, size_t(end - begin)));
}

// Reads the header at the start of `range` into `fields`; gives where the body starts:
// after the blank line, or at the first line that belongs to no header field. A message
// may begin with the "From " line of an mbox, which is no part of its header.
const unsigned char* ReadHeader(Range range, bool isMessage, Fields* fields) {
    const unsigned char* line = range.begin;
    if (isMessage && StartsWith(line, range.end, "From "))
        line = NextLine(LineEnd(line, range.end), range.end);
    std::string* value = nullptr;  // the field being unfolded, when it is one to keep
    bool inField = false;
    while (line < range.end) {
        const unsigned char* lineEnd = LineEnd(line, range.end);
        const unsigned char* textEnd = WithoutCr(line, lineEnd);
        if (textEnd == line) return NextLine(lineEnd, range.end);
        size_t nameLength;
        if (IsBlank(*line) && inField) {
            if (value) AppendCapped(value, line, textEnd);
        } else if ((nameLength = FieldNameLength(line, textEnd)) != 0) {
            value = fields->Slot(Lower(std::string(line, line + nameLength)));
            inField = true;
            if (value) AppendCapped(value, line + nameLength + 1, textEnd);
        } else {
            return line;
        }
        line = NextLine(lineEnd, range.end);
    }
    return range.end;
}

// A delimiter line of a multipart body: "--boundary" or "--boundary--" at the start of a
// line, then nothing but white space.
struct Delimiter {
    const unsigned char* lineStart;
    const unsigned char* next;  // the line after it
    bool closing;
};

class DelimiterFinder {
  public:
    DelimiterFinder(Range body, const std::string& boundary)
        : body_(body), text_("--" + boundary), searcher_(text_.begin(), text_.end()) {}

    bool Next(const unsigned char* from, Delimiter* found) const {
        for (const unsigned char* p = from; p < body_.end; ++p) {
            p = std::search(p, body_.end, searcher_);
            if (p == body_.end) return false;
            if (p != body_.begin && p[-1] != '\n') continue;
            const unsigned char* lineEnd = LineEnd(p, body_.end);
            const unsigned char* q = p + text_.size();
            bool closing = StartsWith(q, lineEnd, "--");
            if (closing) q += 2;
            while (q < lineEnd && (IsBlank(*q) || *q == '\r')) ++q;
            if (q != lineEnd) continue;
            *found = {p, NextLine(lineEnd, body_.end), closing};
            return true;
        }
        return false;
    }

  private:
    Range body_;
    std::string text_;
    std::boyer_moore_horspool_searcher<std::string::const_iterator> searcher_;
};

// The part that ends at a delimiter line: the line break before the line is the
// delimiter's.
const unsigned char* EndBeforeDelimiter(const unsigned char* partBegin,
                                        const unsigned char* lineStart) {
    const unsigned char* end = lineStart;
    if (end > partBegin && end[-1] == '\n') --end;
    if (end > partBegin && end[-1] == '\r') --end;
    return end;
}

bool IsText(const FieldWithParameters& type) {
    return type.value.compare(0, 5, "text/") == 0;
}

bool IsUuencoding(const std::string& encoding) {
    return encoding == "x-uuencode" || encoding == "uuencode" || encoding == "x-uue" ||
           encoding == "uue";
}

// What one message and the messages attached to it may still take.
struct Budget {
    explicit Budget(const Limits& given) : limits(given) {}
    const Limits& limits;
    size_t total = 0;  // decoded bytes handed out
    size_t items = 0;  // parts and attached messages
    bool itemsTold = false;
};

class MessageReader {
  public:
    MessageReader(Budget& budget, Message* message) : budget_(budget), message_(message) {}

    void Read(Range raw, int depth) {
        Fields fields;
        Range body = {ReadHeader(raw, true, &fields), raw.end};
        message_->from = DecodeWords(Trim(fields.from));
        message_->subject = DecodeWords(Trim(fields.subject));
        message_->messageId = DecodeWords(Trim(fields.messageId));
        ReadEntity(fields, body, depth, "text/plain");
    }

  private:
    const Limits& limits() const { return budget_.limits; }

    void Problem(const std::string& text) { message_->problems.push_back(text); }

    void ReadEntity(const Fields& fields, Range body, int depth, const char* defaultType) {
        FieldWithParameters type =
            ParseParameters(fields.hasContentType ? fields.contentType : defaultType);
        size_t slash = type.value.find('/');
        if (slash == std::string::npos || slash == 0 || slash + 1 == type.value.size())
            type = ParseParameters("text/plain");
        if (type.value.compare(0, 10, "multipart/") == 0) {
            ReadMultipart(fields, type, body, depth);
        } else if (type.value == "message/rfc822" || type.value == "message/global") {
            ReadAttachedMessage(fields, body, depth);
        } else {
            ReadLeaf(fields, type, body);
        }
    }

    void ReadMultipart(const Fields& fields, const FieldWithParameters& type, Range body,
                       int depth) {
        std::string boundary = type.Parameter("boundary");
        DelimiterFinder finder(body, boundary);
        Delimiter delimiter;
        if (boundary.empty() || boundary.size() > kMostBoundary ||
            !finder.Next(body.begin, &delimiter)) {
            Problem("a multipart without its boundary, read as text");
            ReadLeaf(fields, ParseParameters("text/plain"), body);
            return;
        }
        if (depth >= limits().maxDepth) {  // told as a part, so that the telling has a limit
            if (TakeItem())
                Problem("parts nested deeper than the limit of " +
                        std::to_string(limits().maxDepth));
            return;
        }
        const char* partType = type.value == "multipart/digest" ? "message/rfc822" : "text/plain";
        while (!delimiter.closing && delimiter.next < body.end && !budget_.itemsTold) {
            const unsigned char* partBegin = delimiter.next;
            Delimiter following;
            bool found = finder.Next(partBegin, &following);
            Range part = {partBegin,
                          found ? EndBeforeDelimiter(partBegin, following.lineStart) : body.end};
            Fields partFields;
            Range partBody = {ReadHeader(part, false, &partFields), part.end};
            ReadEntity(partFields, partBody, depth + 1, partType);
            if (!found) break;
            delimiter = following;
        }
    }

    // Keeps the message's bytes (as a part, within the same limits) and reads them.
    void ReadAttachedMessage(const Fields& fields, Range body, int depth) {
        if (!TakeItem()) return;
        std::string label = "attached message " + std::to_string(message_->attached.size() + 1);
        Message attached;
        if (depth >= limits().maxDepth) {
            Problem(label + ": nested deeper than the limit of " +
                    std::to_string(limits().maxDepth));
            message_->attached.push_back(std::move(attached));
            return;
        }
        std::string encoding = Lower(Trim(fields.encoding));
        size_t most = Room();
        bool whole;
        if (encoding == "base64") {
            whole = DecodeBase64(body.begin, body.end, most, &attached.raw);
        } else if (encoding == "quoted-printable") {
            whole = DecodeQuotedPrintable(body.begin, body.end, most, &attached.raw);
        } else {
            size_t size = size_t(body.end - body.begin);
            whole = size <= most;
            attached.raw.assign(body.begin, body.begin + std::min(size, most));
        }
        Account(attached.raw.size(), whole, most, label);
        const unsigned char* raw = attached.raw.data();
        MessageReader(budget_, &attached).Read({raw, raw + attached.raw.size()}, depth + 1);
        for (const std::string& problem : attached.problems) Problem(label + ": " + problem);
        message_->attached.push_back(std::move(attached));
    }

    void ReadLeaf(const Fields& fields, const FieldWithParameters& type, Range body) {
        if (!TakeItem()) return;
        size_t index = ++leaves_;
        std::string label = "part " + std::to_string(index);
        Attachment part;
        part.name = ParseParameters(fields.disposition).Parameter("filename");
        if (part.name.empty()) part.name = type.Parameter("name");
        std::string encoding = Lower(Trim(fields.encoding));
        size_t most = Room();
        bool whole = true;
        if (encoding == "base64") {
            whole = DecodeBase64(body.begin, body.end, most, &part.data);
        } else if (encoding == "quoted-printable") {
            whole = DecodeQuotedPrintable(body.begin, body.end, most, &part.data);
        } else if (IsUuencoding(encoding)) {
            whole = DecodeUuencodedBody(body, most, label, &part);
        } else {
            size_t size = size_t(body.end - body.begin);
            whole = size <= most;
            part.data.assign(body.begin, body.begin + std::min(size, most));
        }
        part.isBody = part.name.empty() && IsText(type) &&
                      Lower(Trim(fields.disposition)).compare(0, 10, "attachment") != 0;
        if (part.name.empty()) part.name = "part" + std::to_string(index);
        Account(part.data.size(), whole, most, label);
        std::vector<Attachment> blocks;
        if (IsText(type) && !IsUuencoding(encoding)) blocks = UuencodedBlocks(part.data);
        message_->parts.push_back(std::move(part));
        for (Attachment& block : blocks) message_->parts.push_back(std::move(block));
    }

    // A body sent as x-uuencode: its first block; the name on the "begin" line unless the
    // header named it.
    bool DecodeUuencodedBody(Range body, size_t most, const std::string& label, Attachment* part) {
        UuBlock block;
        if (!FindUuBlock(body.begin, body.end, &block)) {
            Problem(label + ": uuencoded without a \"begin\" line");
            return true;
        }
        if (part->name.empty()) part->name = ToUtf8(block.name, "");
        UuDecoded decoded = DecodeUuLines(block.lines, body.end, most, &part->data);
        if (!decoded.ended) Problem(label + ": its uuencoded data has no \"end\" line");
        return decoded.whole;
    }

    // The uuencoded blocks inside a text part. A "begin" line that no encoded line follows
    // is only text.
    std::vector<Attachment> UuencodedBlocks(const Bytes& text) {
        std::vector<Attachment> blocks;
        const unsigned char* at = text.data();
        const unsigned char* end = text.data() + text.size();
        UuBlock block;
        while (at < end && FindUuBlock(at, end, &block)) {
            Attachment attachment;
            attachment.name = ToUtf8(block.name, "");
            size_t most = Room();
            UuDecoded decoded = DecodeUuLines(block.lines, end, most, &attachment.data);
            at = decoded.next;
            if (!decoded.ended && attachment.data.empty()) continue;
            if (!TakeItem()) break;
            std::string label = "uuencoded " + attachment.name;
            if (!decoded.ended) Problem(label + ": no \"end\" line");
            Account(attachment.data.size(), decoded.whole, most, label);
            blocks.push_back(std::move(attachment));
        }
        return blocks;
    }

    // One more part or attached message, unless the limit of them is reached.
    bool TakeItem() {
        if (budget_.items < limits().maxParts) {
            ++budget_.items;
            return true;
        }
        if (!budget_.itemsTold) {
            Problem("more parts than the limit of " + std::to_string(limits().maxParts) +
                    "; the rest is not read");
            budget_.itemsTold = true;
        }
        return false;
    }

    // The most bytes the next part may decode to.
    size_t Room() const {
        return std::min(limits().maxPartSize, limits().maxTotal - budget_.total);
    }

    void Account(size_t size, bool whole, size_t most, const std::string& label) {
        budget_.total += size;
        if (whole) return;
        if (most == limits().maxPartSize) {
            Problem(label + ": larger than the limit of a part, cut short");
        } else {
            Problem(label + ": cut short at the limit of all parts of a message");
        }
    }

    Budget& budget_;
    Message* message_;
    size_t leaves_ = 0;
};

}  // namespace

Message ParseMessage(const unsigned char* data, size_t size, const Limits& limits) {
    Message message;
    Budget budget(limits);
    MessageReader(budget, &message).Read({data, data + size}, 0);
    return message;
}

bool LooksLikeMessage(const unsigned char* head, size_t size) {
    const unsigned char* end = head + size;
    unsigned seen = 0;
    bool first = true;
    for (const unsigned char* line = head; line < end;) {
        const unsigned char* lineEnd = LineEnd(line, end);
        const unsigned char* textEnd = WithoutCr(line, lineEnd);
        if (textEnd == line) break;
        if (!IsBlank(*line)) {
            size_t nameLength = FieldNameLength(line, textEnd);
            if (!nameLength) {
                if (first) return false;
                break;
            }
            std::string name = Lower(std::string(line, line + nameLength));
            for (size_t i = 0; i < sizeof kMessageFieldNames / sizeof *kMessageFieldNames; ++i) {
                if (name == kMessageFieldNames[i]) seen |= 1u << i;
            }
        } else if (first) {
            return false;
        }
        first = false;
        line = NextLine(lineEnd, end);
    }
    int count = 0;
    for (; seen; seen &= seen - 1) ++count;
    return count >= 2;
}

}  // namespace mail
