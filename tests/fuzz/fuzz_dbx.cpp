// Arbitrary bytes as an Outlook Express folder (.dbx). Reading must end, give indexes in
// rising order and messages within the limit, and refuse a file without the signature.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "platform/mail/dbx.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    mail::Limits limits;
    limits.maxTotal = 1 << 20;
    mail::ReadAt read = [data, size](int64_t offset, void* buffer, size_t count) -> int64_t {
        if (offset < 0 || uint64_t(offset) > size) return -1;
        size_t got = std::min(count, size - size_t(offset));
        if (got) std::memcpy(buffer, data + offset, got);
        return int64_t(got);
    };
    int last = -1;
    std::vector<std::string> problems;
    std::string error;
    bool readWhole = mail::ReadDbx(
        read, int64_t(size), limits,
        [&last, &limits](int index, const std::vector<unsigned char>& raw) {
            if (index <= last || raw.size() > limits.maxTotal) __builtin_trap();
            last = index;
            return true;
        },
        &problems, &error);
    if (readWhole && !mail::LooksLikeDbx(data, size)) __builtin_trap();
    if (!readWhole && error.empty()) __builtin_trap();
    return 0;
}
