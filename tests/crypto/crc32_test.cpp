#include <gtest/gtest.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <random>
#include <vector>

#include "crypto/ciplib.h"

namespace {

// The textbook loop: one lookup per byte, table built bit by bit.
uint32_t PlainCrc(uint32_t reg, const unsigned char* p, size_t n) {
    static uint32_t table[256];
    if (table[1] == 0)
        for (uint32_t i = 0; i < 256; ++i) {
            uint32_t r = i;
            for (int k = 0; k < 8; ++k) r = (r & 1) ? (r >> 1) ^ 0xEDB88320u : r >> 1;
            table[i] = r;
        }
    while (n-- > 0) reg = table[(reg ^ *p++) & 0xFF] ^ (reg >> 8);
    return reg;
}

// Check values of CRC-32/JAMCRC from the published catalogue of CRC
// parameter sets (reveng, "CRC-32/JAMCRC": check = 0x340BC6D9).
TEST(Crc32, KnownAnswers) {
    const struct {
        const char* data;
        int n;
        uint32_t crc;
    } cases[] = {
        {"123456789", 9, 0x340BC6D9u},
        {"", 0, 0xFFFFFFFFu},
        {"\x80\xFF", 2, 0xA8A79AC6u},
        {"123456789", -1, 0x340BC6D9u},
        {"1234\0"
         "56789",
         -1, 0x641C1F5Cu},  // length -1 stops at the zero byte
    };
    TCRC32 crc;
    for (const auto& c : cases) EXPECT_EQ(c.crc, crc.GetBlockCRC(c.data, c.n)) << c.data;
}

TEST(Crc32, NullPointerAndBadLengthLeaveRegister) {
    TCRC32 crc;
    crc.UpdateCRC("12345", 5);
    uint32_t before = crc.GetCRC();
    crc.UpdateCRC(nullptr, 5);
    crc.UpdateCRC(nullptr, -1);
    crc.UpdateCRC("abc", -7);
    crc.UpdateCRC("abc", 0);
    EXPECT_EQ(before, crc.GetCRC());
    EXPECT_EQ(0xFFFFFFFFu, crc.GetBlockCRC(nullptr, 3));
}

TEST(Crc32, StreamedEqualsBlockAndSingleBytes) {
    std::vector<char> data(5000);
    std::mt19937 rng(7);
    for (char& c : data) c = (char)rng();
    TCRC32 whole, blocks, bytes;
    uint32_t expected = whole.GetBlockCRC(data.data(), (int)data.size());
    for (size_t i = 0; i < data.size(); i += 1021)
        blocks.UpdateCRC(data.data() + i, (int)std::min<size_t>(1021, data.size() - i));
    for (char c : data) bytes.UpdateCRC((unsigned char)c);
    EXPECT_EQ(expected, blocks.GetCRC());
    EXPECT_EQ(expected, bytes.GetCRC());
    EXPECT_EQ(PlainCrc(0xFFFFFFFFu, (const unsigned char*)data.data(), data.size()), expected);
}

// Every fast path against the plain loop, for every length 0..300 at every
// alignment 0..15 and with a random starting register, plus a few long runs
// that go through the folding loop many times.
TEST(Crc32, FastPathsMatchPlainLoop) {
    std::vector<unsigned char> buf(70000 + 16);
    std::mt19937 rng(12345);
    for (auto& b : buf) b = (unsigned char)rng();
    std::vector<size_t> lengths;
    for (size_t n = 0; n <= 300; ++n) lengths.push_back(n);
    for (size_t n : {1000u, 4096u + 7, 65536u + 13, 70000u}) lengths.push_back(n);
    for (size_t n : lengths)
        for (size_t off = 0; off < 16; ++off) {
            const unsigned char* p = buf.data() + off;
            uint32_t reg = (uint32_t)rng();
            uint32_t want = PlainCrc(reg, p, n);
            ASSERT_EQ(want, UpdateCRC32Sliced(reg, p, n)) << "n=" << n << " off=" << off;
            ASSERT_EQ(want, UpdateCRC32Clmul(reg, p, n)) << "n=" << n << " off=" << off;
            ASSERT_EQ(want, UpdateCRC32(reg, p, n)) << "n=" << n << " off=" << off;
        }
    if (!CRC32ClmulAvailable())
        std::printf("note: no PCLMULQDQ here, only the portable path ran\n");
}

}  // namespace
