// Slicing-by-8: eight table lookups per eight input bytes, words assembled byte by
// byte so that neither alignment nor byte order of the host matters.
#include "engine/crc32.h"

#include <array>
#include <cstddef>

namespace {

typedef std::array<std::array<uint32_t, 256>, 8> CrcTables;

constexpr CrcTables MakeTables() {
    CrcTables t{};
    for (uint32_t n = 0; n < 256; ++n) {
        uint32_t c = n;
        for (int k = 0; k < 8; ++k) c = (c & 1) ? (c >> 1) ^ 0xEDB88320u : c >> 1;
        t[0][n] = c;
    }
    for (uint32_t n = 0; n < 256; ++n) {
        for (int k = 1; k < 8; ++k) t[k][n] = (t[k - 1][n] >> 8) ^ t[0][t[k - 1][n] & 0xFF];
    }
    return t;
}

constexpr CrcTables kTables = MakeTables();

inline uint32_t Load32(const unsigned char* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

}  // namespace

uint32_t Crc32(const unsigned char* data, int32_t length) {
    uint32_t crc = 0xFFFFFFFFu;
    if (length <= 0) return crc;
    const auto& t = kTables;
    size_t n = size_t(length);
    for (; n >= 8; n -= 8, data += 8) {
        uint32_t lo = crc ^ Load32(data);
        uint32_t hi = Load32(data + 4);
        crc = t[7][lo & 0xFF] ^ t[6][(lo >> 8) & 0xFF] ^ t[5][(lo >> 16) & 0xFF] ^ t[4][lo >> 24] ^
              t[3][hi & 0xFF] ^ t[2][(hi >> 8) & 0xFF] ^ t[1][(hi >> 16) & 0xFF] ^ t[0][hi >> 24];
    }
    for (; n > 0; --n) crc = (crc >> 8) ^ t[0][(crc ^ *data++) & 0xFF];
    return crc;
}
