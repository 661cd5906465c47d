#include "crypto/twofish.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <atomic>
#include <mutex>

namespace {

// ---- platform primitives ---------------------------------------------------

// Blocks and key words are little-endian whatever the host order.
inline uint32_t GET32(const unsigned char* p) {
    return (uint32_t)p[0] | ((uint32_t)p[1] << 8) | ((uint32_t)p[2] << 16) | ((uint32_t)p[3] << 24);
}

inline void PUT32(uint32_t v, unsigned char* p) {
    p[0] = (unsigned char)v;
    p[1] = (unsigned char)(v >> 8);
    p[2] = (unsigned char)(v >> 16);
    p[3] = (unsigned char)(v >> 24);
}

inline uint32_t ROL32(uint32_t x, int n) { return (x << n) | (x >> ((32 - n) & 31)); }
inline uint32_t ROR32(uint32_t x, int n) { return (x >> n) | (x << ((32 - n) & 31)); }
inline uint32_t BSWAP(uint32_t x) { return __builtin_bswap32(x); }
inline unsigned SELECT_BYTE(uint32_t x, int b) { return (x >> (8 * b)) & 0xFF; }

void test_platform() {
    static const unsigned char pattern[] = {0x12, 0x34, 0x56, 0x78, 0x9A, 0xBC, 0xDE};
    static const uint32_t loads[] = {0x78563412u, 0x9A785634u, 0xBC9A7856u, 0xDEBC9A78u};
    for (int i = 0; i < 4; ++i)
        if (GET32(pattern + i) != loads[i])
            Twofish_fatal("Twofish code: GET32 not implemented properly");

    unsigned char stored[4];
    PUT32(3u * 0x78563412u, stored);
    if (GET32(stored) != 0x69029C36u) Twofish_fatal("Twofish code: PUT32 not implemented properly");

    const uint32_t x = 0x78563412u;
    for (int n = 1; n < 32; ++n)
        if (ROL32(x, n) != ((x << n) | (x >> (32 - n))) ||
            ROR32(x, n) != ((x >> n) | (x << (32 - n))))
            Twofish_fatal("Twofish ROL or ROR not properly defined.");

    if (BSWAP(x) != 0x12345678u) Twofish_fatal("BSWAP not properly defined.");

    if (SELECT_BYTE(x, 0) != 0x12 || SELECT_BYTE(x, 1) != 0x34 || SELECT_BYTE(x, 2) != 0x56 ||
        SELECT_BYTE(x, 3) != 0x78)
        Twofish_fatal("Twofish code: SELECT_BYTE not implemented properly");
}

// ---- fixed tables ----------------------------------------------------------

// The 4-bit permutations t0..t3 from which q0 and q1 are built.
const unsigned char kQt[2][4][16] = {
    {{0x8, 0x1, 0x7, 0xD, 0x6, 0xF, 0x3, 0x2, 0x0, 0xB, 0x5, 0x9, 0xE, 0xC, 0xA, 0x4},
     {0xE, 0xC, 0xB, 0x8, 0x1, 0x2, 0x3, 0x5, 0xF, 0x4, 0xA, 0x6, 0x7, 0x0, 0x9, 0xD},
     {0xB, 0xA, 0x5, 0xE, 0x6, 0xD, 0x9, 0x0, 0xC, 0x8, 0xF, 0x3, 0x2, 0x4, 0x7, 0x1},
     {0xD, 0x7, 0xF, 0x4, 0x1, 0x2, 0x6, 0xE, 0x9, 0xB, 0x3, 0x0, 0x8, 0x5, 0xC, 0xA}},
    {{0x2, 0x8, 0xB, 0xD, 0xF, 0x7, 0x6, 0xE, 0x3, 0x1, 0x9, 0x4, 0x0, 0xA, 0xC, 0x5},
     {0x1, 0xE, 0x2, 0xB, 0x4, 0xC, 0x3, 0x7, 0x6, 0xD, 0xA, 0x5, 0xF, 0x9, 0x0, 0x8},
     {0x4, 0xC, 0x7, 0x5, 0x1, 0x6, 0x9, 0xA, 0x0, 0xE, 0xD, 0x8, 0x2, 0xB, 0x3, 0xF},
     {0xB, 0x9, 0x5, 0x1, 0xC, 0x3, 0xD, 0xE, 0x6, 0x4, 0x7, 0xF, 0x2, 0x0, 0x8, 0xA}}};

// The MDS matrix over GF(2^8) modulo x^8+x^6+x^5+x^3+1, by row.
const unsigned char kMds[4][4] = {{0x01, 0xEF, 0x5B, 0x5B},
                                  {0x5B, 0xEF, 0xEF, 0x01},
                                  {0xEF, 0x5B, 0x01, 0xEF},
                                  {0xEF, 0x01, 0xEF, 0x5B}};

// The Reed-Solomon matrix over GF(2^8) modulo x^8+x^6+x^3+x^2+1, by row.
const unsigned char kRs[4][8] = {{0x01, 0xA4, 0x55, 0x87, 0x5A, 0x58, 0xDB, 0x9E},
                                 {0xA4, 0x56, 0x82, 0xF3, 0x1E, 0xC6, 0x68, 0xE5},
                                 {0x02, 0xA1, 0xFC, 0xC1, 0x47, 0xAE, 0x3D, 0x19},
                                 {0xA4, 0x55, 0x87, 0x5A, 0x58, 0xDB, 0x9E, 0x03}};

unsigned char q_table[2][256];  // q0, q1
// Column j of the MDS matrix applied to the last q permutation of byte lane
// j (q1, q0, q1, q0): the tail of h for one input byte.
uint32_t mds_table[4][256];
// Column j of the Reed-Solomon matrix times every byte value, the four
// products packed as the key word's bytes: rs_encode is eight lookups.
uint32_t rs_table[8][256];

std::atomic<int> Twofish_initialised{0};
std::once_flag tables_once;

inline unsigned char Q0(unsigned x) { return q_table[0][x]; }
inline unsigned char Q1(unsigned x) { return q_table[1][x]; }

unsigned GfMul(unsigned a, unsigned b, unsigned poly) {
    unsigned r = 0;
    for (; b != 0; b >>= 1) {
        if (b & 1) r ^= a;
        a <<= 1;
        if (a & 0x100) a ^= poly;
    }
    return r;
}

void make_q_table(const unsigned char t[4][16], unsigned char* q) {
    for (unsigned x = 0; x < 256; ++x) {
        unsigned a = x >> 4, b = x & 15;
        unsigned a1 = a ^ b, b1 = (a ^ ((b >> 1) | ((b << 3) & 8)) ^ (a << 3)) & 15;
        unsigned a2 = t[0][a1], b2 = t[1][b1];
        unsigned a3 = a2 ^ b2, b3 = (a2 ^ ((b2 >> 1) | ((b2 << 3) & 8)) ^ (a2 << 3)) & 15;
        q[x] = (unsigned char)((t[3][b3] << 4) | t[2][a3]);
    }
}

void initialise_q_boxes() {
    make_q_table(kQt[0], q_table[0]);
    make_q_table(kQt[1], q_table[1]);
}

void initialise_mds_tables() {
    static const int lastQ[4] = {1, 0, 1, 0};
    for (int j = 0; j < 4; ++j)
        for (unsigned x = 0; x < 256; ++x) {
            unsigned y = q_table[lastQ[j]][x];
            uint32_t w = 0;
            for (int i = 0; i < 4; ++i) w |= (uint32_t)GfMul(y, kMds[i][j], 0x169) << (8 * i);
            mds_table[j][x] = w;
        }
}

void initialise_rs_tables() {
    for (int j = 0; j < 8; ++j)
        for (unsigned x = 0; x < 256; ++x) {
            uint32_t w = 0;
            for (int i = 0; i < 4; ++i) w |= (uint32_t)GfMul(x, kRs[i][j], 0x14D) << (8 * i);
            rs_table[j][x] = w;
        }
}

// ---- key schedule ----------------------------------------------------------

// The function h of X under the key words L[0..k-1].
uint32_t h(int k, uint32_t X, const uint32_t* L) {
    unsigned y0 = SELECT_BYTE(X, 0), y1 = SELECT_BYTE(X, 1), y2 = SELECT_BYTE(X, 2),
             y3 = SELECT_BYTE(X, 3);
    if (k < 2 || k > 4) Twofish_fatal("Twofish h(): Illegal argument");
    if (k == 4) {
        y0 = Q1(y0) ^ SELECT_BYTE(L[3], 0);
        y1 = Q0(y1) ^ SELECT_BYTE(L[3], 1);
        y2 = Q0(y2) ^ SELECT_BYTE(L[3], 2);
        y3 = Q1(y3) ^ SELECT_BYTE(L[3], 3);
    }
    if (k >= 3) {
        y0 = Q1(y0) ^ SELECT_BYTE(L[2], 0);
        y1 = Q1(y1) ^ SELECT_BYTE(L[2], 1);
        y2 = Q0(y2) ^ SELECT_BYTE(L[2], 2);
        y3 = Q0(y3) ^ SELECT_BYTE(L[2], 3);
    }
    y0 = Q0(Q0(y0) ^ SELECT_BYTE(L[1], 0)) ^ SELECT_BYTE(L[0], 0);
    y1 = Q0(Q1(y1) ^ SELECT_BYTE(L[1], 1)) ^ SELECT_BYTE(L[0], 1);
    y2 = Q1(Q0(y2) ^ SELECT_BYTE(L[1], 2)) ^ SELECT_BYTE(L[0], 2);
    y3 = Q1(Q1(y3) ^ SELECT_BYTE(L[1], 3)) ^ SELECT_BYTE(L[0], 3);
    return mds_table[0][y0] ^ mds_table[1][y1] ^ mds_table[2][y2] ^ mds_table[3][y3];
}

// Fills the keyed S-boxes: entry x of table j is lane j of h(x, S) for all
// four lanes at once, so g needs four lookups.
void fill_keyed_sboxes(const uint32_t* S, int k, Twofish_key* xkey) {
    unsigned char b[4][4];  // b[i][j]: byte j of S[i]
    for (int i = 0; i < k && i < 4; ++i)
        for (int j = 0; j < 4; ++j) b[i][j] = (unsigned char)SELECT_BYTE(S[i], j);
    switch (k) {
        case 2:
            for (unsigned x = 0; x < 256; ++x) {
                xkey->s[0][x] = mds_table[0][Q0(Q0(x) ^ b[1][0]) ^ b[0][0]];
                xkey->s[1][x] = mds_table[1][Q0(Q1(x) ^ b[1][1]) ^ b[0][1]];
                xkey->s[2][x] = mds_table[2][Q1(Q0(x) ^ b[1][2]) ^ b[0][2]];
                xkey->s[3][x] = mds_table[3][Q1(Q1(x) ^ b[1][3]) ^ b[0][3]];
            }
            break;
        case 3:
            for (unsigned x = 0; x < 256; ++x) {
                xkey->s[0][x] = mds_table[0][Q0(Q0(Q1(x) ^ b[2][0]) ^ b[1][0]) ^ b[0][0]];
                xkey->s[1][x] = mds_table[1][Q0(Q1(Q1(x) ^ b[2][1]) ^ b[1][1]) ^ b[0][1]];
                xkey->s[2][x] = mds_table[2][Q1(Q0(Q0(x) ^ b[2][2]) ^ b[1][2]) ^ b[0][2]];
                xkey->s[3][x] = mds_table[3][Q1(Q1(Q0(x) ^ b[2][3]) ^ b[1][3]) ^ b[0][3]];
            }
            break;
        case 4:
            for (unsigned x = 0; x < 256; ++x) {
                xkey->s[0][x] =
                    mds_table[0][Q0(Q0(Q1(Q1(x) ^ b[3][0]) ^ b[2][0]) ^ b[1][0]) ^ b[0][0]];
                xkey->s[1][x] =
                    mds_table[1][Q0(Q1(Q1(Q0(x) ^ b[3][1]) ^ b[2][1]) ^ b[1][1]) ^ b[0][1]];
                xkey->s[2][x] =
                    mds_table[2][Q1(Q0(Q0(Q0(x) ^ b[3][2]) ^ b[2][2]) ^ b[1][2]) ^ b[0][2]];
                xkey->s[3][x] =
                    mds_table[3][Q1(Q1(Q0(Q1(x) ^ b[3][3]) ^ b[2][3]) ^ b[1][3]) ^ b[0][3]];
            }
            break;
        default:
            Twofish_fatal("Twofish fill_keyed_sboxes(): Illegal argument");
    }
    memset(b, 0, sizeof b);
    __asm__ __volatile__("" : : "r"(b) : "memory");
}

// The Reed-Solomon code of the 8 key bytes m: one S-box key word.
uint32_t rs_encode(const unsigned char* m) {
    uint32_t w = 0;
    for (int j = 0; j < 8; ++j) w ^= rs_table[j][m[j]];
    return w;
}

// ---- block functions -------------------------------------------------------

inline uint32_t G0(const Twofish_key* k, uint32_t x) {
    return k->s[0][x & 0xFF] ^ k->s[1][(x >> 8) & 0xFF] ^ k->s[2][(x >> 16) & 0xFF] ^
           k->s[3][x >> 24];
}

// g of x rotated left by 8.
inline uint32_t G1(const Twofish_key* k, uint32_t x) {
    return k->s[0][x >> 24] ^ k->s[1][x & 0xFF] ^ k->s[2][(x >> 8) & 0xFF] ^
           k->s[3][(x >> 16) & 0xFF];
}

// One encryption round: F of (a, b) changes (c, d) with round keys K[r], K[r+1].
inline void EncRound(const Twofish_key* k, uint32_t a, uint32_t b, uint32_t& c, uint32_t& d,
                     int r) {
    uint32_t t0 = G0(k, a), t1 = G1(k, b);
    c = ROR32(c ^ (t0 + t1 + k->K[r]), 1);
    d = ROL32(d, 1) ^ (t0 + 2 * t1 + k->K[r + 1]);
}

// The inverse of EncRound.
inline void DecRound(const Twofish_key* k, uint32_t a, uint32_t b, uint32_t& c, uint32_t& d,
                     int r) {
    uint32_t t0 = G0(k, a), t1 = G1(k, b);
    c = ROL32(c, 1) ^ (t0 + t1 + k->K[r]);
    d = ROR32(d ^ (t0 + 2 * t1 + k->K[r + 1]), 1);
}

// ---- self-test -------------------------------------------------------------

void test_vector(const unsigned char* key, int keyLength, const unsigned char* p,
                 const unsigned char* c) {
    Twofish_key xkey;
    unsigned char in[16], out[16];
    Twofish_prepare_key(const_cast<unsigned char*>(key), keyLength, &xkey);
    for (int i = 0; i < 2; ++i) {
        memcpy(in, p, 16);
        Twofish_encrypt(&xkey, in, out);
        if (memcmp(out, c, 16) != 0) Twofish_fatal("Twofish encryption failure");
        memcpy(in, c, 16);
        Twofish_decrypt(&xkey, in, out);
        if (memcmp(out, p, 16) != 0) Twofish_fatal("Twofish decryption failure");
    }
}

void test_vectors() {
    static const unsigned char k128[] = {0x9F, 0x58, 0x9F, 0x5C, 0xF6, 0x12, 0x2C, 0x32,
                                         0xB6, 0xBF, 0xEC, 0x2F, 0x2A, 0xE8, 0xC3, 0x5A};
    static const unsigned char p128[] = {0xD4, 0x91, 0xDB, 0x16, 0xE7, 0xB1, 0xC3, 0x9E,
                                         0x86, 0xCB, 0x08, 0x6B, 0x78, 0x9F, 0x54, 0x19};
    static const unsigned char c128[] = {0x01, 0x9F, 0x98, 0x09, 0xDE, 0x17, 0x11, 0x85,
                                         0x8F, 0xAA, 0xC3, 0xA3, 0xBA, 0x20, 0xFB, 0xC3};
    static const unsigned char k192[] = {0x88, 0xB2, 0xB2, 0x70, 0x6B, 0x10, 0x5E, 0x36,
                                         0xB4, 0x46, 0xBB, 0x6D, 0x73, 0x1A, 0x1E, 0x88,
                                         0xEF, 0xA7, 0x1F, 0x78, 0x89, 0x65, 0xBD, 0x44};
    static const unsigned char p192[] = {0x39, 0xDA, 0x69, 0xD6, 0xBA, 0x49, 0x97, 0xD5,
                                         0x85, 0xB6, 0xDC, 0x07, 0x3C, 0xA3, 0x41, 0xB2};
    static const unsigned char c192[] = {0x18, 0x2B, 0x02, 0xD8, 0x14, 0x97, 0xEA, 0x45,
                                         0xF9, 0xDA, 0xAC, 0xDC, 0x29, 0x19, 0x3A, 0x65};
    static const unsigned char k256[] = {0xD4, 0x3B, 0xB7, 0x55, 0x6E, 0xA3, 0x2E, 0x46,
                                         0xF2, 0xA2, 0x82, 0xB7, 0xD4, 0x5B, 0x4E, 0x0D,
                                         0x57, 0xFF, 0x73, 0x9D, 0x4D, 0xC9, 0x2C, 0x1B,
                                         0xD7, 0xFC, 0x01, 0x70, 0x0C, 0xC8, 0x21, 0x6F};
    static const unsigned char p256[] = {0x90, 0xAF, 0xE9, 0x1B, 0xB2, 0x88, 0x54, 0x4F,
                                         0x2C, 0x32, 0xDC, 0x23, 0x9B, 0x26, 0x35, 0xE6};
    static const unsigned char c256[] = {0x6C, 0xB4, 0x56, 0x1C, 0x40, 0xBF, 0x0A, 0x97,
                                         0x05, 0x93, 0x1C, 0xB6, 0xD4, 0x08, 0xE7, 0xFA};
    test_vector(k128, 16, p128, c128);
    test_vector(k192, 24, p192, c192);
    test_vector(k256, 32, p256, c256);
}

// 49 chained encryptions: each plaintext is the previous ciphertext and each
// key the previous plaintext followed by the previous key.
void test_sequence(int keyLength, const unsigned char* final49) {
    unsigned char buf[49 * 16 + 48];
    unsigned char tmp[16];
    Twofish_key xkey;
    memset(buf, 0, sizeof buf);
    unsigned char* p = buf + 49 * 16;
    for (int i = 0; i < 49; ++i) {
        Twofish_prepare_key(p + 16, keyLength, &xkey);
        Twofish_encrypt(&xkey, p, p - 16);
        Twofish_decrypt(&xkey, p - 16, tmp);
        if (memcmp(tmp, p, 16) != 0) Twofish_fatal("Twofish decryption failure in sequence");
        p -= 16;
    }
    if (memcmp(p, final49, 16) != 0) Twofish_fatal("Twofish encryption failure in sequence");
}

void test_sequences() {
    static const unsigned char r128[] = {0x5D, 0x9D, 0x4E, 0xEF, 0xFA, 0x91, 0x51, 0x57,
                                         0x55, 0x24, 0xF1, 0x15, 0x81, 0x5A, 0x12, 0xE0};
    static const unsigned char r192[] = {0xE7, 0x54, 0x49, 0x21, 0x2B, 0xEE, 0xF9, 0xF4,
                                         0xA3, 0x90, 0xBD, 0x86, 0x0A, 0x64, 0x09, 0x41};
    static const unsigned char r256[] = {0x37, 0xFE, 0x26, 0xFF, 0x1C, 0xF6, 0x61, 0x75,
                                         0xF5, 0xDD, 0xF4, 0xC3, 0x3B, 0x97, 0xA2, 0x05};
    test_sequence(16, r128);
    test_sequence(24, r192);
    test_sequence(32, r256);
}

// A key of n bytes must expand exactly like the same bytes padded with
// zeros to 16, 24 or 32.
void test_odd_sized_keys() {
    unsigned char buf[32];
    Twofish_key xkey, xkeyPadded;
    memset(buf, 0, sizeof buf);
    Twofish_prepare_key(buf, 16, &xkey);
    Twofish_encrypt(&xkey, buf, buf);
    Twofish_encrypt(&xkey, buf, buf + 16);
    for (int n = 31; n >= 0; --n) {
        buf[n] = 0;
        Twofish_prepare_key(buf, n, &xkey);
        Twofish_prepare_key(buf, n <= 16 ? 16 : n <= 24 ? 24 : 32, &xkeyPadded);
        if (memcmp(&xkey, &xkeyPadded, sizeof xkey) != 0)
            Twofish_fatal("Odd sized keys do not expand properly");
    }
}

void self_test() {
    test_vectors();
    test_sequences();
    test_odd_sized_keys();
}

}  // namespace

void Twofish_fatal(char const* msg) {
    fflush(stdout);
    fprintf(stderr, "\nTwofish fatal error: %s\nProcess terminated\n", msg);
    exit(3);
}

void Twofish_initialise() {
    std::call_once(tables_once, [] {
        test_platform();
        initialise_q_boxes();
        initialise_mds_tables();
        initialise_rs_tables();
        Twofish_initialised.store(1, std::memory_order_release);
    });
    self_test();
}

void Twofish_prepare_key(unsigned char* key, int keyLength, Twofish_key* xkey) {
    if (!Twofish_initialised.load(std::memory_order_acquire))
        Twofish_fatal("Twofish implementation was not initialised.");
    if (keyLength < 0 || keyLength > 32) Twofish_fatal("Twofish_prepare_key: illegal key length");

    unsigned char K[32];
    uint32_t A, B, T;
    uint32_t Me[4], Mo[4], S[4];
    memset(K, 0, sizeof K);
    if (keyLength > 0) memcpy(K, key, (size_t)keyLength);

    int kCycles = (keyLength + 7) / 8;
    if (kCycles < 2) kCycles = 2;
    for (int i = 0; i < kCycles; ++i) {
        Me[i] = GET32(K + 8 * i);
        Mo[i] = GET32(K + 8 * i + 4);
        // The S-box key words are used in reverse order.
        S[kCycles - 1 - i] = rs_encode(K + 8 * i);
    }
    for (int i = 0; i < 40; i += 2) {
        A = h(kCycles, (uint32_t)i * 0x01010101u, Me);
        B = ROL32(h(kCycles, (uint32_t)(i + 1) * 0x01010101u, Mo), 8);
        T = A + B;
        xkey->K[i] = T;
        xkey->K[i + 1] = ROL32(T + B, 9);
    }
    fill_keyed_sboxes(S, kCycles, xkey);

    memset(K, 0, sizeof K);
    memset(Me, 0, sizeof Me);
    memset(Mo, 0, sizeof Mo);
    memset(S, 0, sizeof S);
    A = B = T = 0;
    __asm__ __volatile__("" : : "r"(K), "r"(Me), "r"(Mo), "r"(S) : "memory");
}

void Twofish_encrypt(Twofish_key* xkey, unsigned char* p, unsigned char* c) {
    const Twofish_key* k = xkey;
    uint32_t x0 = GET32(p) ^ k->K[0];
    uint32_t x1 = GET32(p + 4) ^ k->K[1];
    uint32_t x2 = GET32(p + 8) ^ k->K[2];
    uint32_t x3 = GET32(p + 12) ^ k->K[3];
    EncRound(k, x0, x1, x2, x3, 8);
    EncRound(k, x2, x3, x0, x1, 10);
    EncRound(k, x0, x1, x2, x3, 12);
    EncRound(k, x2, x3, x0, x1, 14);
    EncRound(k, x0, x1, x2, x3, 16);
    EncRound(k, x2, x3, x0, x1, 18);
    EncRound(k, x0, x1, x2, x3, 20);
    EncRound(k, x2, x3, x0, x1, 22);
    EncRound(k, x0, x1, x2, x3, 24);
    EncRound(k, x2, x3, x0, x1, 26);
    EncRound(k, x0, x1, x2, x3, 28);
    EncRound(k, x2, x3, x0, x1, 30);
    EncRound(k, x0, x1, x2, x3, 32);
    EncRound(k, x2, x3, x0, x1, 34);
    EncRound(k, x0, x1, x2, x3, 36);
    EncRound(k, x2, x3, x0, x1, 38);
    // The last swap is undone: the halves leave in the opposite order.
    PUT32(x2 ^ k->K[4], c);
    PUT32(x3 ^ k->K[5], c + 4);
    PUT32(x0 ^ k->K[6], c + 8);
    PUT32(x1 ^ k->K[7], c + 12);
}

// The rounds up to the one whose result holds the first output byte; that
// round only changes x2 (its d half and the last round change the others).
inline unsigned char FirstByteRounds(const Twofish_key* k, uint32_t x0, uint32_t x1, uint32_t x2,
                                     uint32_t x3) {
    for (int r = 8; r < 36; r += 4) {
        EncRound(k, x0, x1, x2, x3, r);
        EncRound(k, x2, x3, x0, x1, r + 2);
    }
    x2 = ROR32(x2 ^ (G0(k, x0) + G1(k, x1) + k->K[36]), 1);
    return (unsigned char)(x2 ^ k->K[4]);
}

unsigned char Twofish_encrypt_first_byte(const Twofish_key* k, const unsigned char* p) {
    return FirstByteRounds(k, GET32(p) ^ k->K[0], GET32(p + 4) ^ k->K[1], GET32(p + 8) ^ k->K[2],
                           GET32(p + 12) ^ k->K[3]);
}

// Four blocks at once: the same rounds on four independent states, so that
// the processor overlaps their lookups (one block alone waits on each
// round's loads).
void Twofish_encrypt_first_bytes_x4(const Twofish_key* k, const unsigned char* const p[4],
                                    unsigned char first[4]) {
    uint32_t x0[4], x1[4], x2[4], x3[4];
#pragma GCC unroll 4
    for (int j = 0; j < 4; j++) {
        x0[j] = GET32(p[j]) ^ k->K[0];
        x1[j] = GET32(p[j] + 4) ^ k->K[1];
        x2[j] = GET32(p[j] + 8) ^ k->K[2];
        x3[j] = GET32(p[j] + 12) ^ k->K[3];
    }
    for (int r = 8; r < 36; r += 4) {
#pragma GCC unroll 4
        for (int j = 0; j < 4; j++) EncRound(k, x0[j], x1[j], x2[j], x3[j], r);
#pragma GCC unroll 4
        for (int j = 0; j < 4; j++) EncRound(k, x2[j], x3[j], x0[j], x1[j], r + 2);
    }
#pragma GCC unroll 4
    for (int j = 0; j < 4; j++) {
        uint32_t c = ROR32(x2[j] ^ (G0(k, x0[j]) + G1(k, x1[j]) + k->K[36]), 1);
        first[j] = (unsigned char)(c ^ k->K[4]);
    }
}

void Twofish_decrypt(Twofish_key* xkey, unsigned char* c, unsigned char* p) {
    const Twofish_key* k = xkey;
    uint32_t x2 = GET32(c) ^ k->K[4];
    uint32_t x3 = GET32(c + 4) ^ k->K[5];
    uint32_t x0 = GET32(c + 8) ^ k->K[6];
    uint32_t x1 = GET32(c + 12) ^ k->K[7];
    DecRound(k, x2, x3, x0, x1, 38);
    DecRound(k, x0, x1, x2, x3, 36);
    DecRound(k, x2, x3, x0, x1, 34);
    DecRound(k, x0, x1, x2, x3, 32);
    DecRound(k, x2, x3, x0, x1, 30);
    DecRound(k, x0, x1, x2, x3, 28);
    DecRound(k, x2, x3, x0, x1, 26);
    DecRound(k, x0, x1, x2, x3, 24);
    DecRound(k, x2, x3, x0, x1, 22);
    DecRound(k, x0, x1, x2, x3, 20);
    DecRound(k, x2, x3, x0, x1, 18);
    DecRound(k, x0, x1, x2, x3, 16);
    DecRound(k, x2, x3, x0, x1, 14);
    DecRound(k, x0, x1, x2, x3, 12);
    DecRound(k, x2, x3, x0, x1, 10);
    DecRound(k, x0, x1, x2, x3, 8);
    PUT32(x0 ^ k->K[0], p);
    PUT32(x1 ^ k->K[1], p + 4);
    PUT32(x2 ^ k->K[2], p + 8);
    PUT32(x3 ^ k->K[3], p + 12);
}
