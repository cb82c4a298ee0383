// Little-endian fields of on-disk structures.
#pragma once

#include <cstdint>

inline uint16_t Le16(const uint8_t* p) {
    return uint16_t(p[0] | p[1] << 8);
}

inline uint32_t Le32(const uint8_t* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

inline uint64_t Le64(const uint8_t* p) {
    return uint64_t(Le32(p)) | uint64_t(Le32(p + 4)) << 32;
}

inline void PutLe32(uint8_t* p, uint32_t value) {
    for (int i = 0; i < 4; ++i) p[i] = uint8_t(value >> (8 * i));
}

inline void PutLe64(uint8_t* p, uint64_t value) {
    PutLe32(p, uint32_t(value));
    PutLe32(p + 4, uint32_t(value >> 32));
}
