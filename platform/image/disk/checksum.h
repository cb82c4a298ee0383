#pragma once

#include <cstddef>
#include <cstdint>

// The CRC-32 of GPT headers and entries (and of zlib): reflected polynomial 0xEDB88320,
// initial and final inversion. `crc` is the result over the bytes before, to go on.
uint32_t Crc32Ieee(const void* data, size_t length, uint32_t crc = 0);
