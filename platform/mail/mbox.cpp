#include "platform/mail/mbox.h"

#include <algorithm>
#include <cstring>

#include "platform/mail/decode.h"

namespace mail {
namespace {

const size_t kChunk = 1 << 16;
const char kPostmark[] = "From ";
const size_t kPostmarkLength = sizeof kPostmark - 1;

bool IsDigit(unsigned char c) {
    return c >= '0' && c <= '9';
}

// "12:34" or a year of four digits somewhere in the text.
bool HoldsTimeOrYear(const unsigned char* begin, const unsigned char* end) {
    for (const unsigned char* p = begin; p < end; ++p) {
        if (end - p >= 4 && IsDigit(p[0]) && p[1] == ':' && IsDigit(p[2]) && IsDigit(p[3]))
            return true;
        if (end - p >= 4 && (p == begin || !IsDigit(p[-1])) && IsDigit(p[0]) && IsDigit(p[1]) &&
            IsDigit(p[2]) && IsDigit(p[3]) && (end - p == 4 || !IsDigit(p[4])))
            return true;
    }
    return false;
}

// Follows the lines of an mbox across the chunks it is read in: only the start of each
// line is looked at, the rest is skipped to its '\n'.
class Splitter {
  public:
    explicit Splitter(std::vector<MboxMessage>* messages) : messages_(messages) {}

    void Feed(int64_t offset, const unsigned char* bytes, size_t count) {
        if (offset == 0 && count) Begin(0);  // with its "From " line, or text before the first one
        size_t at = 0;
        while (at < count) {
            if (atLineStart_) StartLine(offset + int64_t(at));
            at = MatchPostmark(bytes, count, at);
            const void* found = std::memchr(bytes + at, '\n', count - at);
            size_t lineEnd =
                found ? size_t(static_cast<const unsigned char*>(found) - bytes) : count;
            for (size_t i = at; i < lineEnd && lineEmpty_; ++i) lineEmpty_ = bytes[i] == '\r';
            if (!found) return;
            previousEmpty_ = lineEmpty_;
            atLineStart_ = true;
            at = lineEnd + 1;
        }
    }

    void Finish(int64_t size) {
        if (!messages_->empty()) messages_->back().length = size - messages_->back().offset;
    }

  private:
    void StartLine(int64_t offset) {
        lineStart_ = offset;
        matched_ = 0;
        lineEmpty_ = true;
        atLineStart_ = false;
    }

    // Goes on matching "From " at the start of the line; gives where matching stopped.
    size_t MatchPostmark(const unsigned char* bytes, size_t count, size_t at) {
        while (at < count && matched_ >= 0 && size_t(matched_) < kPostmarkLength) {
            if (bytes[at] != static_cast<unsigned char>(kPostmark[matched_])) {
                matched_ = -1;
                break;
            }
            lineEmpty_ = false;
            ++at;
            if (size_t(++matched_) == kPostmarkLength && lineStart_ != 0 && previousEmpty_)
                Begin(lineStart_);
        }
        return at;
    }

    void Begin(int64_t offset) {
        if (!messages_->empty()) messages_->back().length = offset - messages_->back().offset;
        messages_->push_back({offset, 0});
    }

    std::vector<MboxMessage>* messages_;
    bool atLineStart_ = true, lineEmpty_ = true, previousEmpty_ = false;
    int64_t lineStart_ = 0;
    int matched_ = 0;
};

}  // namespace

bool LooksLikeMbox(const unsigned char* head, size_t size) {
    const unsigned char* end = head + size;
    if (size < kPostmarkLength || std::memcmp(head, kPostmark, kPostmarkLength) != 0) return false;
    const unsigned char* lineEnd = WithoutCr(head, LineEnd(head, end));
    const unsigned char* sender = head + kPostmarkLength;
    const unsigned char* p = sender;
    while (p < lineEnd && !IsBlank(*p)) ++p;
    if (p == sender || p == lineEnd) return false;
    return HoldsTimeOrYear(p, lineEnd);
}

bool SplitMbox(const ReadAt& read, int64_t size, std::vector<MboxMessage>* messages,
               std::string* error) {
    messages->clear();
    Splitter splitter(messages);
    std::vector<unsigned char> chunk(size_t(std::clamp<int64_t>(size, 0, int64_t(kChunk))));
    for (int64_t offset = 0; offset < size;) {
        size_t want = size_t(std::min<int64_t>(int64_t(chunk.size()), size - offset));
        int64_t got = read(offset, chunk.data(), want);
        if (got < 0) {
            *error = "cannot read at offset " + std::to_string(offset);
            return false;
        }
        if (got == 0) {
            *error = "the file ends at offset " + std::to_string(offset) + ", before its size of " +
                     std::to_string(size);
            return false;
        }
        splitter.Feed(offset, chunk.data(), size_t(std::min<int64_t>(got, int64_t(want))));
        offset += std::min<int64_t>(got, int64_t(want));
    }
    splitter.Finish(size);
    return true;
}

size_t MboxHeaderStart(const unsigned char* message, size_t size) {
    if (size < kPostmarkLength || std::memcmp(message, kPostmark, kPostmarkLength) != 0) return 0;
    return size_t(NextLine(LineEnd(message, message + size), message + size) - message);
}

}  // namespace mail
