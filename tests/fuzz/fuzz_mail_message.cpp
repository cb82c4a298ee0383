// Arbitrary bytes as one mail message, as the head of a file and as an mbox. The message
// must be read within its limits; the mbox's messages must cover it in order, each after
// the first beginning with "From ", and each is read as a message too.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "platform/mail/mbox.h"
#include "platform/mail/mime.h"

namespace {

const size_t kHead = 4096;

mail::Limits SmallLimits() {
    mail::Limits limits;
    limits.maxPartSize = 1 << 16;
    limits.maxTotal = 1 << 18;
    limits.maxParts = 300;
    return limits;
}

// Decoded bytes and items (parts and attached messages) of a message and those inside it.
void Count(const mail::Message& message, size_t* bytes, size_t* items) {
    for (const mail::Attachment& part : message.parts) {
        if (part.data.size() > SmallLimits().maxPartSize || part.name.empty()) __builtin_trap();
        *bytes += part.data.size();
    }
    *items += message.parts.size() + message.attached.size();
    for (const mail::Message& attached : message.attached) {
        if (attached.raw.size() > SmallLimits().maxPartSize) __builtin_trap();
        *bytes += attached.raw.size();
        Count(attached, bytes, items);
    }
}

void ReadMessage(const uint8_t* data, size_t size) {
    mail::Message message = mail::ParseMessage(data, size, SmallLimits());
    size_t bytes = 0, items = 0;
    Count(message, &bytes, &items);
    if (bytes > SmallLimits().maxTotal || items > SmallLimits().maxParts) __builtin_trap();
}

void SplitAsMbox(const uint8_t* data, size_t size) {
    mail::ReadAt read = [data, size](int64_t offset, void* buffer, size_t count) -> int64_t {
        if (offset < 0 || uint64_t(offset) > size) return -1;
        size_t got = std::min(count, size - size_t(offset));
        if (got) std::memcpy(buffer, data + offset, got);
        return int64_t(got);
    };
    std::vector<mail::MboxMessage> messages;
    std::string error;
    if (!mail::SplitMbox(read, int64_t(size), &messages, &error)) __builtin_trap();
    int64_t next = 0;
    for (const mail::MboxMessage& message : messages) {
        if (message.offset != next || message.length <= 0) __builtin_trap();
        if (next != 0 && std::memcmp(data + next, "From ", 5) != 0) __builtin_trap();
        next += message.length;
        const uint8_t* bytes = data + message.offset;
        size_t start = mail::MboxHeaderStart(bytes, size_t(message.length));
        if (start > size_t(message.length)) __builtin_trap();
        if (messages.size() > 1) ReadMessage(bytes + start, size_t(message.length) - start);
    }
    if (next != int64_t(size)) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    ReadMessage(data, size);
    volatile bool looks = mail::LooksLikeMessage(data, std::min(size, kHead)) ||
                          mail::LooksLikeMbox(data, std::min(size, kHead));
    (void)looks;
    SplitAsMbox(data, size);
    return 0;
}
