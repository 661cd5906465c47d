// The message digests (SHA-1, MD5), the CRC-32 and the Twofish block cipher
// against published vectors and against plain reference loops.
#include <gtest/gtest.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "crypto/ciplib.h"
#include "crypto/md5.h"
#include "crypto/twofish.h"

namespace {

// The bytes written in hex, and the bytes of s for the block functions.
std::string FromHex(const char* hex) {
    std::string out;
    for (size_t i = 0; hex[i] && hex[i + 1]; i += 2)
        out += (char)std::stoi(std::string(hex + i, 2), nullptr, 16);
    return out;
}
unsigned char* Block(std::string& s) { return reinterpret_cast<unsigned char*>(&s[0]); }

std::string Sha1(const std::string& msg) {
    THash_SHA sha;
    return std::string(sha.GetHash(msg.data(), (long)msg.size()), 20);
}

std::string Md5(const std::string& msg) {
    MD5 ctx;
    unsigned char digest[16];
    MD5Open(&ctx);
    MD5Digest(&ctx, msg.data(), (unsigned)msg.size());
    MD5Close(&ctx, digest);
    return std::string(reinterpret_cast<char*>(digest), 16);
}

struct Vector {
    std::string msg;
    const char* digest;
};

// FIPS 180-1 appendices A, B and C (the second ends 56 bytes into a block,
// where the length needs a block of its own); the empty message from the
// NIST SHAVS SHA1ShortMsg file (Len = 0). The 55-byte run, the longest that
// leaves room for the length, was computed with GNU coreutils sha1sum.
TEST(Sha1, KnownAnswers) {
    const Vector cases[] = {
        {"abc", "a9993e364706816aba3e25717850c26c9cd0d89d"},
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
         "84983e441c3bd26ebaae4aa1f95129e5e54670f1"},
        {std::string(1000000, 'a'), "34aa973cd4c4daa4f61eeb2bdbad27316534016f"},
        {"", "da39a3ee5e6b4b0d3255bfef95601890afd80709"},
        {std::string(55, 'a'), "c1c8bbdc22796e28c0e15163d20899b65621d65a"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(FromHex(c.digest), Sha1(c.msg)) << "length " << c.msg.size();
}

// RFC 1321 appendix A.5 (the 62-byte message needs a block of its own for
// the length, the 80-byte one spans two); the 55-byte run was computed with
// GNU coreutils md5sum.
TEST(Md5, KnownAnswers) {
    const Vector cases[] = {
        {"", "d41d8cd98f00b204e9800998ecf8427e"},
        {"abc", "900150983cd24fb0d6963f7d28e17f72"},
        {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789",
         "d174ab98d277d9f5a5611c2c9f419d9f"},
        {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
         "57edf4a22be3c955ac49da2e2107b67a"},
        {std::string(55, 'a'), "ef1772b6dff9a122358552954ad0df65"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(FromHex(c.digest), Md5(c.msg)) << "length " << c.msg.size();
}

// Splitting the message into pieces of any size must not change the digest;
// closing wipes the MD5 context.
TEST(Digests, SplitFeedingEqualsOneShot) {
    static_assert(sizeof(MD5) == 88, "the context is 88 bytes");
    std::mt19937 rng(4);
    std::string msg(777, '\0');
    for (char& c : msg) c = (char)rng();
    for (size_t piece : {1u, 7u, 55u, 63u, 64u, 65u, 128u, 0u}) {
        THash_SHA sha;
        MD5 ctx, zero = {};
        MD5Open(&ctx);
        for (size_t i = 0; i < msg.size();) {
            size_t n = std::min(piece ? piece : 1 + rng() % 150, msg.size() - i);
            sha.Update(msg.data() + i, (long)n);
            MD5Digest(&ctx, msg.data() + i, (unsigned)n);
            i += n;
        }
        sha.Final();
        unsigned char md5[16];
        MD5Close(&ctx, md5);
        EXPECT_EQ(Sha1(msg), std::string(sha.GetHash(nullptr, 0), 20)) << "piece " << piece;
        EXPECT_EQ(Md5(msg), std::string(reinterpret_cast<char*>(md5), 16)) << "piece " << piece;
        EXPECT_EQ(0, memcmp(&ctx, &zero, sizeof ctx));
    }
}

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

// The check value of CRC-32/JAMCRC from the published catalogue of CRC
// parameter sets (reveng, "CRC-32/JAMCRC": check = 0x340BC6D9), whole or
// byte by byte; length -1 stops at the zero byte; a null pointer or a length
// below -1 leaves the register as it was.
TEST(Crc32, KnownAnswers) {
    const struct {
        const char* data;
        int n;
        uint32_t crc;
    } cases[] = {
        {"123456789", 9, 0x340BC6D9u},
        {"\x80\xFF", 2, 0xA8A79AC6u},
        {"1234\0"
         "56789",
         -1, 0x641C1F5Cu},
        {nullptr, 3, 0xFFFFFFFFu},
        {"abc", -7, 0xFFFFFFFFu},
    };
    TCRC32 crc, bytes;
    for (const auto& c : cases) EXPECT_EQ(c.crc, crc.GetBlockCRC(c.data, c.n)) << c.data;
    for (const char* p = "123456789"; *p; p++) bytes.UpdateCRC((unsigned char)*p);
    EXPECT_EQ(0x340BC6D9u, bytes.GetCRC());
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

// Twofish_initialise returns only when its self-test passed: the known
// answers below, the 49-step chains of the same document and the expansion
// of keys of every length from 0 to 32 as if padded with zeros.
class TwofishTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { Twofish_initialise(); }
};

// Known answers from "Twofish: A 128-Bit Block Cipher" (Schneier, Kelsey,
// Whiting, Wagner, Hall, Ferguson; AES submission, 1998), file ECB_TBL.TXT.
TEST_F(TwofishTest, KnownAnswers) {
    const struct {
        const char *key, *plain, *cipher;
    } cases[] = {
        {"9F589F5CF6122C32B6BFEC2F2AE8C35A", "D491DB16E7B1C39E86CB086B789F5419",
         "019F9809DE1711858FAAC3A3BA20FBC3"},
        {"88B2B2706B105E36B446BB6D731A1E88EFA71F788965BD44", "39DA69D6BA4997D585B6DC073CA341B2",
         "182B02D81497EA45F9DAACDC29193A65"},
        {"D43BB7556EA32E46F2A282B7D45B4E0D57FF739D4DC92C1BD7FC01700CC8216F",
         "90AFE91BB288544F2C32DC239B2635E6", "6CB4561C40BF0A9705931CB6D408E7FA"},
    };
    for (const auto& c : cases) {
        std::string key = FromHex(c.key), plain = FromHex(c.plain), cipher = FromHex(c.cipher);
        Twofish_key xkey;
        Twofish_prepare_key(Block(key), (int)key.size(), &xkey);
        std::string out(16, '\0');
        Twofish_encrypt(&xkey, Block(plain), Block(out));
        EXPECT_EQ(out, cipher) << c.key;
        Twofish_decrypt(&xkey, Block(cipher), Block(out));
        EXPECT_EQ(out, plain) << c.key;
        // The first byte alone, and four at once in every lane.
        EXPECT_EQ(Twofish_encrypt_first_byte(&xkey, Block(plain)), (unsigned char)cipher[0]);
        const unsigned char* lanes[4] = {Block(cipher), Block(plain), Block(plain), Block(cipher)};
        unsigned char four[4];
        Twofish_encrypt_first_bytes_x4(&xkey, lanes, four);
        EXPECT_EQ(four[1], (unsigned char)cipher[0]) << c.key;
        EXPECT_EQ(four[2], (unsigned char)cipher[0]) << c.key;
    }
}

}  // namespace
