#include <gtest/gtest.h>
#include <string.h>

#include <random>
#include <string>
#include <vector>

#include "crypto/ciplib.h"
#include "crypto/md5.h"

namespace {

std::string Hex(const void* p, size_t n) {
    static const char digits[] = "0123456789abcdef";
    std::string s;
    for (size_t i = 0; i < n; ++i) {
        unsigned char b = static_cast<const unsigned char*>(p)[i];
        s += digits[b >> 4];
        s += digits[b & 15];
    }
    return s;
}

std::string Sha1Hex(const std::string& msg) {
    THash_SHA sha;
    return Hex(sha.GetHash(msg.data(), (long)msg.size()), 20);
}

std::string Md5Hex(const std::string& msg) {
    MD5 ctx;
    unsigned char digest[16];
    MD5Open(&ctx);
    MD5Digest(&ctx, msg.data(), (unsigned)msg.size());
    MD5Close(&ctx, digest);
    return Hex(digest, 16);
}

struct Vector {
    std::string msg;
    const char* digest;
};

std::string Repeat(const std::string& s, int n) {
    std::string r;
    for (int i = 0; i < n; ++i) r += s;
    return r;
}

// FIPS 180-1 appendices A, B and C; RFC 3174 section 7.3 TEST4; the empty
// message from the NIST SHAVS SHA1ShortMsg file (Len = 0). The 'a'-runs
// around the padding boundary were computed with GNU coreutils sha1sum.
TEST(Sha1, KnownAnswers) {
    const Vector cases[] = {
        {"abc", "a9993e364706816aba3e25717850c26c9cd0d89d"},
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
         "84983e441c3bd26ebaae4aa1f95129e5e54670f1"},
        {std::string(1000000, 'a'), "34aa973cd4c4daa4f61eeb2bdbad27316534016f"},
        {Repeat("0123456701234567012345670123456701234567012345670123456701234567", 10),
         "dea356a2cddd90c7a7ecedc5ebb563934f460452"},
        {"", "da39a3ee5e6b4b0d3255bfef95601890afd80709"},
        {std::string(55, 'a'), "c1c8bbdc22796e28c0e15163d20899b65621d65a"},
        {std::string(56, 'a'), "c2db330f6083854c99d4b5bfb6e8f29f201be699"},
        {std::string(63, 'a'), "03f09f5b158a7a8cdad920bddc29b81c18a551f5"},
        {std::string(64, 'a'), "0098ba824b5c16427bd7a1122a5a442a25ec644d"},
        {std::string(65, 'a'), "11655326c708d70319be2610e8a57d9a5b959d3b"},
        {std::string(119, 'a'), "ee971065aaa017e0632a8ca6c77bb3bf8b1dfc56"},
        {std::string(120, 'a'), "f34c1488385346a55709ba056ddd08280dd4c6d6"},
    };
    for (const auto& c : cases) EXPECT_EQ(c.digest, Sha1Hex(c.msg)) << "length " << c.msg.size();
}

// RFC 1321 appendix A.5; the 'a'-runs were computed with GNU coreutils md5sum.
TEST(Md5, KnownAnswers) {
    const Vector cases[] = {
        {"", "d41d8cd98f00b204e9800998ecf8427e"},
        {"a", "0cc175b9c0f1b6a831c399e269772661"},
        {"abc", "900150983cd24fb0d6963f7d28e17f72"},
        {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
        {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
        {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789",
         "d174ab98d277d9f5a5611c2c9f419d9f"},
        {Repeat("1234567890", 8), "57edf4a22be3c955ac49da2e2107b67a"},
        {std::string(55, 'a'), "ef1772b6dff9a122358552954ad0df65"},
        {std::string(56, 'a'), "3b0c8ac703f828b04c6c197006d17218"},
        {std::string(63, 'a'), "b06521f39153d618550606be297466d5"},
        {std::string(64, 'a'), "014842d480b571495a4a0363793f7367"},
        {std::string(65, 'a'), "c743a45e0d2e6a95cb859adae0248435"},
    };
    for (const auto& c : cases) EXPECT_EQ(c.digest, Md5Hex(c.msg)) << "length " << c.msg.size();
}

std::string RandomBytes(size_t n, unsigned seed) {
    std::mt19937 rng(seed);
    std::string s(n, '\0');
    for (char& c : s) c = (char)rng();
    return s;
}

// Splitting the message into pieces of any size must not change the digest.
TEST(Digests, SplitFeedingEqualsOneShot) {
    const std::string msg = RandomBytes(777, 3);
    std::mt19937 rng(4);
    for (size_t piece : {1u, 7u, 55u, 63u, 64u, 65u, 128u, 0u}) {
        THash_SHA sha;
        MD5 ctx;
        MD5Open(&ctx);
        for (size_t i = 0; i < msg.size();) {
            size_t n = piece ? piece : 1 + rng() % 150;
            n = std::min(n, msg.size() - i);
            sha.Update(msg.data() + i, (long)n);
            MD5Digest(&ctx, msg.data() + i, (unsigned)n);
            i += n;
        }
        sha.Final();
        unsigned char md5[16];
        MD5Close(&ctx, md5);
        EXPECT_EQ(Sha1Hex(msg), Hex(sha.GetHash(nullptr, 0), 20)) << "piece " << piece;
        EXPECT_EQ(Md5Hex(msg), Hex(md5, 16)) << "piece " << piece;
    }
}

TEST(Sha1, ObjectIsReusableAndKeepsLastDigest) {
    THash_SHA sha;
    EXPECT_EQ(20, sha.GetHashSize());
    std::string first = Hex(sha.GetHash("abc", 3), 20);
    sha.GetHash("something else", 14);
    EXPECT_EQ(first, Hex(sha.GetHash("abc", 3), 20));
    EXPECT_EQ(first, Hex(sha.GetHash(nullptr, 0), 20));
    // An empty message through a valid pointer is the empty digest.
    EXPECT_EQ("da39a3ee5e6b4b0d3255bfef95601890afd80709", Hex(sha.GetHash("", 0), 20));
    // Update after Final starts a new hash by itself; bad input adds nothing.
    sha.Update("ab", 2);
    sha.Update(nullptr, 5);
    sha.Update("c", -1);
    sha.Update("c", 1);
    sha.Final();
    EXPECT_EQ(first, Hex(sha.GetHash(nullptr, 0), 20));
}

// Final without a hash in progress, or the digest read during one.
TEST(Sha1DeathTest, MisuseStops) {
    EXPECT_DEATH(
        {
            THash_SHA sha;
            sha.GetHash("x", 1);
            sha.Final();
        },
        "ciplib.*THash_SHA::Final");
    EXPECT_DEATH(
        {
            THash_SHA sha;
            sha.Update("x", 1);
            sha.GetHash(nullptr, 0);
        },
        "ciplib.*THash_SHA::GetHash");
}

TEST(Md5, ContextIsZeroAfterClose) {
    static_assert(sizeof(MD5) == 88, "the context is 88 bytes");
    MD5 ctx;
    unsigned char digest[16];
    MD5Open(&ctx);
    MD5Digest(&ctx, "secret password", 15);
    MD5Close(&ctx, digest);
    MD5 zero;
    memset(&zero, 0, sizeof zero);
    EXPECT_EQ(0, memcmp(&ctx, &zero, sizeof ctx));
}

}  // namespace
