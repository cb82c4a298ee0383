#pragma once

#include <cstdint>

// The CRC-32/JAMCRC register (reflected polynomial 0xEDB88320, starting at all ones,
// no final inversion) over `length` bytes; 0xFFFFFFFF when `length` is 0 or less.
uint32_t Crc32(const unsigned char* data, int32_t length);
