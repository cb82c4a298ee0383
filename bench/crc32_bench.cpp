// Crc32 throughput on the region sizes the scanner reads, beside the byte loop and zlib.
#include <benchmark/benchmark.h>
#include <zlib.h>

#include <array>
#include <vector>

#include "engine/crc32.h"

namespace {

std::array<uint32_t, 256> MakeTable() {
    std::array<uint32_t, 256> table{};
    for (uint32_t n = 0; n < 256; ++n) {
        uint32_t c = n;
        for (int k = 0; k < 8; ++k) c = (c & 1) ? (c >> 1) ^ 0xEDB88320u : c >> 1;
        table[n] = c;
    }
    return table;
}

uint32_t Crc32ByteLoop(const unsigned char* data, int32_t length) {
    static const std::array<uint32_t, 256> table = MakeTable();
    uint32_t crc = 0xFFFFFFFFu;
    for (int32_t i = 0; i < length; ++i) crc = (crc >> 8) ^ table[(crc ^ data[i]) & 0xFF];
    return crc;
}

std::vector<unsigned char> Buffer(size_t size) {
    std::vector<unsigned char> data(size);
    for (size_t i = 0; i < size; ++i) data[i] = static_cast<unsigned char>(i * 131 + 7);
    return data;
}

template <typename Crc>
void Run(benchmark::State& state, Crc crc) {
    std::vector<unsigned char> data = Buffer(size_t(state.range(0)));
    for (auto _ : state) benchmark::DoNotOptimize(crc(data.data(), int32_t(data.size())));
    state.SetBytesProcessed(int64_t(state.iterations()) * state.range(0));
}

void BM_Crc32(benchmark::State& state) {
    Run(state, Crc32);
}
void BM_ByteLoop(benchmark::State& state) {
    Run(state, Crc32ByteLoop);
}
// zlib's value is the bitwise NOT of ours.
void BM_Zlib(benchmark::State& state) {
    Run(state, [](const unsigned char* data, int32_t length) {
        return ~uint32_t(crc32(0L, data, uInt(length)));
    });
}

#define REGION_SIZES Arg(717)->Arg(28672)->Arg(35504)
BENCHMARK(BM_Crc32)->REGION_SIZES;
BENCHMARK(BM_ByteLoop)->REGION_SIZES;
BENCHMARK(BM_Zlib)->REGION_SIZES;

}  // namespace

BENCHMARK_MAIN();
