// Looks up the two resources the program cares about in arbitrary bytes. A
// resource that is found is read from end to end, so that AddressSanitizer
// checks the whole reported range against the input buffer.
#include <cstddef>
#include <cstdint>

#include "platform/posix/pe_resource.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const uint16_t lookups[2][2] = {{10, 102}, {16, 1}};
    for (const auto& lookup : lookups) {
        size_t offset = 0;
        uint32_t length = 0;
        if (FindPeResource(data, size, lookup[0], lookup[1], &offset, &length) !=
            PE_RESOURCE_FOUND) {
            continue;
        }
        if (offset > size || length > size - offset) __builtin_trap();
        uint32_t sum = 0;
        for (uint32_t i = 0; i < length; ++i) sum += data[offset + i];
        volatile uint32_t sink = sum;
        (void)sink;
    }
    return 0;
}
