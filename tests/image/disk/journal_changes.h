// The changes journal_writer makes to a disk, round by round (one Flush each), and what
// the disk holds after them: shared by the writer and the test that kills it.
#pragma once

#include <algorithm>
#include <cstdint>
#include <vector>

namespace journaltest {

struct Change {
    uint64_t offset;
    std::vector<uint8_t> bytes;
};

inline std::vector<uint8_t> Filled(size_t length, uint8_t seed) {
    std::vector<uint8_t> bytes(length);
    for (size_t i = 0; i < length; ++i) bytes[i] = uint8_t(seed + i * 7 + (i >> 9));
    return bytes;
}

constexpr int kRounds = 2;

// Writes inside sectors and across blocks, the second round over part of the first.
// Bytes 446-509 of the first sector are left alone: they tell a raw disk.
inline std::vector<Change> RoundChanges(int round, uint64_t diskSize) {
    if (round == 1) {
        return {{5000, Filled(100, 1)},
                {12288, Filled(8192, 2)},
                {(1 << 20) - 1, Filled(2, 3)},
                {diskSize - 10, Filled(10, 4)}};
    }
    return {{5050, Filled(100, 5)}, {200000, Filled(70000, 6)}, {100, Filled(300, 7)}};
}

inline void Apply(const std::vector<Change>& changes, std::vector<uint8_t>* disk) {
    for (const Change& change : changes)
        std::copy(change.bytes.begin(), change.bytes.end(), disk->begin() + long(change.offset));
}

}  // namespace journaltest
