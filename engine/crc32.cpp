// Two ways to the same register: carry-less multiplication folding 64 bytes per step
// where the processor and the system support it, and slicing-by-8 (eight table lookups
// per eight bytes, words assembled byte by byte) everywhere else and for the ends.
#include "engine/crc32.h"

#include <array>
#include <cstddef>

#include "platform/platform.h"

#if defined(__i386__) || defined(__x86_64__)
#include <cpuid.h>
#include <immintrin.h>
#define TORVO_CRC_FOLDING 1
#endif

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

uint32_t Crc32Slicing(uint32_t crc, const unsigned char* data, size_t n) {
    const auto& t = kTables;
    for (; n >= 8; n -= 8, data += 8) {
        uint32_t lo = crc ^ Load32(data);
        uint32_t hi = Load32(data + 4);
        crc = t[7][lo & 0xFF] ^ t[6][(lo >> 8) & 0xFF] ^ t[5][(lo >> 16) & 0xFF] ^ t[4][lo >> 24] ^
              t[3][hi & 0xFF] ^ t[2][(hi >> 8) & 0xFF] ^ t[1][(hi >> 16) & 0xFF] ^ t[0][hi >> 24];
    }
    for (; n > 0; --n) crc = (crc >> 8) ^ t[0][(crc ^ *data++) & 0xFF];
    return crc;
}

#ifdef TORVO_CRC_FOLDING

bool CanFold() {
    unsigned int eax, ebx, ecx, edx;
    if (!__get_cpuid(1, &eax, &ebx, &ecx, &edx)) return false;
    const unsigned int pclmul = 1u << 1, sse41 = 1u << 19;
    return (ecx & pclmul) && (ecx & sse41) && PlatSystemSavesVectorRegisters();
}

__attribute__((target("pclmul,sse4.1"))) inline __m128i Fold(__m128i x, __m128i k, __m128i next) {
    __m128i low = _mm_clmulepi64_si128(x, k, 0x00);
    __m128i high = _mm_clmulepi64_si128(x, k, 0x11);
    return _mm_xor_si128(_mm_xor_si128(low, high), next);
}

__attribute__((target("pclmul,sse4.1"))) inline __m128i Load128(const unsigned char* p) {
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
}

// Folds `n` bytes (at least 64, a multiple of 16) into the register; the constants are
// powers of x modulo the polynomial (bit-reflected) and the Barrett reduction's pair.
// The stack is aligned again on entry: on 32-bit Windows a thread starts with 4-byte
// alignment only, and the vectors spilled to the stack need 16.
__attribute__((target("pclmul,sse4.1"), force_align_arg_pointer)) uint32_t Crc32Folding(
    uint32_t crc, const unsigned char* data, size_t n) {
    const __m128i k1k2 = _mm_set_epi64x(0x1c6e41596, 0x154442bd4);
    const __m128i k3k4 = _mm_set_epi64x(0x0ccaa009e, 0x1751997d0);
    const __m128i k5 = _mm_set_epi64x(0, 0x163cd6124);
    const __m128i barrett = _mm_set_epi64x(0x1f7011641, 0x1db710641);
    const __m128i low32 = _mm_setr_epi32(-1, 0, -1, 0);

    __m128i x1 = _mm_xor_si128(Load128(data), _mm_cvtsi32_si128(int(crc)));
    __m128i x2 = Load128(data + 16), x3 = Load128(data + 32), x4 = Load128(data + 48);
    for (data += 64, n -= 64; n >= 64; data += 64, n -= 64) {
        x1 = Fold(x1, k1k2, Load128(data));
        x2 = Fold(x2, k1k2, Load128(data + 16));
        x3 = Fold(x3, k1k2, Load128(data + 32));
        x4 = Fold(x4, k1k2, Load128(data + 48));
    }
    x1 = Fold(x1, k3k4, x2);
    x1 = Fold(x1, k3k4, x3);
    x1 = Fold(x1, k3k4, x4);
    for (; n >= 16; data += 16, n -= 16) x1 = Fold(x1, k3k4, Load128(data));

    // 128 bits to 64, then to 32 by Barrett reduction.
    __m128i x2b = _mm_clmulepi64_si128(x1, k3k4, 0x10);
    x1 = _mm_xor_si128(_mm_srli_si128(x1, 8), x2b);
    x2b = _mm_srli_si128(x1, 4);
    x1 = _mm_xor_si128(_mm_clmulepi64_si128(_mm_and_si128(x1, low32), k5, 0x00), x2b);
    x2b = _mm_clmulepi64_si128(_mm_and_si128(x1, low32), barrett, 0x10);
    x2b = _mm_clmulepi64_si128(_mm_and_si128(x2b, low32), barrett, 0x00);
    x1 = _mm_xor_si128(x1, x2b);
    return uint32_t(_mm_extract_epi32(x1, 1));
}

#endif

}  // namespace

uint32_t Crc32(const unsigned char* data, int32_t length) {
    uint32_t crc = 0xFFFFFFFFu;
    if (length <= 0) return crc;
    size_t n = size_t(length);
#ifdef TORVO_CRC_FOLDING
    static const bool canFold = CanFold();
    if (canFold && n >= 64) {
        size_t folded = n & ~size_t(15);
        crc = Crc32Folding(crc, data, folded);
        data += folded;
        n -= folded;
    }
#endif
    return Crc32Slicing(crc, data, n);
}
