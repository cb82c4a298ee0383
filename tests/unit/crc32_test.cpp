#include "engine/crc32.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

// The plain byte-at-a-time definition, bit by bit: the oracle for the fast version.
uint32_t Crc32Reference(const unsigned char* data, int32_t length) {
    uint32_t crc = 0xFFFFFFFFu;
    for (int32_t i = 0; i < length; ++i) {
        crc ^= data[i];
        for (int k = 0; k < 8; ++k) crc = (crc & 1) ? (crc >> 1) ^ 0xEDB88320u : crc >> 1;
    }
    return crc;
}

TEST(Crc32, MatchesTheCatalogueCheckValue) {
    const unsigned char check[] = "123456789";
    EXPECT_EQ(Crc32(check, 9), 0x340BC6D9u);
}

TEST(Crc32, NothingToReadGivesTheInitialRegister) {
    const unsigned char byte = 0x55;
    EXPECT_EQ(Crc32(&byte, 0), 0xFFFFFFFFu);
    EXPECT_EQ(Crc32(&byte, -1), 0xFFFFFFFFu);
    EXPECT_EQ(Crc32(nullptr, INT32_MIN), 0xFFFFFFFFu);
}

TEST(Crc32, FastPathEqualsTheByteLoopAtEveryLengthAndAlignment) {
    std::vector<unsigned char> data(40000);
    uint32_t state = 12345;
    for (unsigned char& b : data) {
        state = state * 1103515245u + 12345u;
        b = static_cast<unsigned char>(state >> 16);
    }
    for (int32_t offset = 0; offset < 8; ++offset) {
        for (int32_t length = 0; length <= 300; ++length)
            ASSERT_EQ(Crc32(&data[offset], length), Crc32Reference(&data[offset], length))
                << "offset " << offset << " length " << length;
        for (int32_t length : {717, 28672, 32767, 32768, 32769, 35504})
            ASSERT_EQ(Crc32(&data[offset], length), Crc32Reference(&data[offset], length))
                << "offset " << offset << " length " << length;
    }
}

}  // namespace
