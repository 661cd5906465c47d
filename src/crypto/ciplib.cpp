#include "crypto/ciplib.h"

#include <string.h>

#include "crypto/bytes.h"
#include "text/owl_assert.h"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define OWL_CRC_CLMUL 1
#endif

namespace {

using cryptobytes::Load32BE;
using cryptobytes::Load32LE;
using cryptobytes::Rol;
using cryptobytes::Wipe;

// ---- CRC-32 ----------------------------------------------------------------

constexpr uint32_t kCrcPoly = 0xEDB88320u;

// Reflected CRC of the single byte i with a zero register: eight steps of
// shift right, XOR with the polynomial when a 1 falls out.
constexpr uint32_t CrcOfByte(uint32_t i) {
    for (int k = 0; k < 8; ++k) i = (i & 1) ? (i >> 1) ^ kCrcPoly : i >> 1;
    return i;
}

// Slicing tables: row s, entry i is the register change caused by byte i
// followed by s zero bytes. Row 0 is the ordinary byte table.
struct CrcSliceTables {
    uint32_t row[16][256];
};

constexpr CrcSliceTables MakeSliceTables() {
    CrcSliceTables t{};
    for (uint32_t i = 0; i < 256; ++i) t.row[0][i] = CrcOfByte(i);
    for (int s = 1; s < 16; ++s)
        for (int i = 0; i < 256; ++i)
            t.row[s][i] = (t.row[s - 1][i] >> 8) ^ t.row[0][t.row[s - 1][i] & 0xFF];
    return t;
}

constexpr CrcSliceTables kSlice = MakeSliceTables();

#ifdef OWL_CRC_CLMUL
// Folding constants. A 128-bit lane loaded little-endian holds the message
// bits reflected: bit i is the coefficient of x^(127-i), so its low qword is
// the high-degree half. Moving a lane D bits further down the message
// multiplies it by x^D; each half is multiplied by x^D (high qword) or
// x^(D+64) (low qword) reduced modulo the CRC polynomial. A carry-less
// product of two reflected qwords comes out multiplied by an extra x, so the
// constants are x^(D-1) and x^(D+63) mod P, bit-reversed into a qword.
constexpr uint64_t XPowModP(int e) {
    uint64_t r = 1;
    for (int i = 0; i < e; ++i) {
        r <<= 1;
        if (r & 0x100000000ull) r ^= 0x104C11DB7ull;
    }
    return r;
}

constexpr uint64_t Reverse64(uint64_t v) {
    uint64_t r = 0;
    for (int i = 0; i < 64; ++i) r |= ((v >> i) & 1) << (63 - i);
    return r;
}

constexpr uint64_t kFold512Lo = Reverse64(XPowModP(512 + 63));
constexpr uint64_t kFold512Hi = Reverse64(XPowModP(512 - 1));
constexpr uint64_t kFold128Lo = Reverse64(XPowModP(128 + 63));
constexpr uint64_t kFold128Hi = Reverse64(XPowModP(128 - 1));

__attribute__((target("sse2,pclmul"))) inline __m128i Fold(__m128i x, __m128i y, __m128i k) {
    __m128i lo = _mm_clmulepi64_si128(x, k, 0x00);
    __m128i hi = _mm_clmulepi64_si128(x, k, 0x11);
    return _mm_xor_si128(y, _mm_xor_si128(lo, hi));
}

__attribute__((target("sse2"))) inline __m128i Load128(const unsigned char* p) {
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
}

// Folds four lanes 64 bytes at a time, then the lanes into one and further
// 16-byte blocks into it. The remaining 128-bit value is congruent to the
// whole prefix, so its CRC with a zero register is the prefix's CRC; the
// table path finishes it and the tail.
__attribute__((target("sse2,pclmul"))) uint32_t ClmulUpdate(uint32_t reg, const unsigned char* p,
                                                            size_t n) {
    if (n < 64) return UpdateCRC32Sliced(reg, p, n);
    const __m128i k512 = _mm_set_epi64x((long long)kFold512Hi, (long long)kFold512Lo);
    const __m128i k128 = _mm_set_epi64x((long long)kFold128Hi, (long long)kFold128Lo);
    __m128i x0 = _mm_xor_si128(Load128(p), _mm_cvtsi32_si128((int)reg));
    __m128i x1 = Load128(p + 16);
    __m128i x2 = Load128(p + 32);
    __m128i x3 = Load128(p + 48);
    p += 64;
    n -= 64;
    while (n >= 64) {
        x0 = Fold(x0, Load128(p), k512);
        x1 = Fold(x1, Load128(p + 16), k512);
        x2 = Fold(x2, Load128(p + 32), k512);
        x3 = Fold(x3, Load128(p + 48), k512);
        p += 64;
        n -= 64;
    }
    __m128i x = Fold(Fold(Fold(x0, x1, k128), x2, k128), x3, k128);
    while (n >= 16) {
        x = Fold(x, Load128(p), k128);
        p += 16;
        n -= 16;
    }
    unsigned char folded[16];
    _mm_storeu_si128(reinterpret_cast<__m128i*>(folded), x);
    return UpdateCRC32Sliced(UpdateCRC32Sliced(0, folded, 16), p, n);
}
#endif

// ---- SHA-1 -----------------------------------------------------------------

inline uint32_t Ch(uint32_t b, uint32_t c, uint32_t d) { return d ^ (b & (c ^ d)); }
inline uint32_t Parity(uint32_t b, uint32_t c, uint32_t d) { return b ^ c ^ d; }
inline uint32_t Maj(uint32_t b, uint32_t c, uint32_t d) { return (b & c) | (d & (b | c)); }

// Message word t of the schedule, kept in a 16-word ring.
inline uint32_t Schedule(uint32_t* w, int t) {
    if (t < 16) return w[t];
    uint32_t v = Rol(w[(t + 13) & 15] ^ w[(t + 8) & 15] ^ w[(t + 2) & 15] ^ w[t & 15], 1);
    w[t & 15] = v;
    return v;
}

// Five rounds from t with the variables rotated by hand, so the compiler
// sees no moves between rounds.
template <uint32_t (*F)(uint32_t, uint32_t, uint32_t), uint32_t K>
inline void FiveRounds(uint32_t& a, uint32_t& b, uint32_t& c, uint32_t& d, uint32_t& e, uint32_t* w,
                       int t) {
    e += Rol(a, 5) + F(b, c, d) + K + Schedule(w, t);
    b = Rol(b, 30);
    d += Rol(e, 5) + F(a, b, c) + K + Schedule(w, t + 1);
    a = Rol(a, 30);
    c += Rol(d, 5) + F(e, a, b) + K + Schedule(w, t + 2);
    e = Rol(e, 30);
    b += Rol(c, 5) + F(d, e, a) + K + Schedule(w, t + 3);
    d = Rol(d, 30);
    a += Rol(b, 5) + F(c, d, e) + K + Schedule(w, t + 4);
    c = Rol(c, 30);
}

void Sha1Block(uint32_t* h, const unsigned char* block) {
    uint32_t w[16];
    for (int i = 0; i < 16; ++i) w[i] = Load32BE(block + 4 * i);
    uint32_t a = h[0], b = h[1], c = h[2], d = h[3], e = h[4];
    for (int t = 0; t < 20; t += 5) FiveRounds<Ch, 0x5A827999u>(a, b, c, d, e, w, t);
    for (int t = 20; t < 40; t += 5) FiveRounds<Parity, 0x6ED9EBA1u>(a, b, c, d, e, w, t);
    for (int t = 40; t < 60; t += 5) FiveRounds<Maj, 0x8F1BBCDCu>(a, b, c, d, e, w, t);
    for (int t = 60; t < 80; t += 5) FiveRounds<Parity, 0xCA62C1D6u>(a, b, c, d, e, w, t);
    h[0] += a;
    h[1] += b;
    h[2] += c;
    h[3] += d;
    h[4] += e;
    Wipe(w, sizeof w);
}

}  // namespace

// ---- TCRC32 ----------------------------------------------------------------

TCRC32::TCRC32() {
    for (uint32_t i = 0; i < 256; ++i) crcTable[i] = CrcOfByte(i);
    InitCRC();
}

void TCRC32::InitCRC() { crcReg = 0xFFFFFFFFu; }

void TCRC32::UpdateCRC(unsigned char b) { crcReg = crcTable[(crcReg ^ b) & 0xFF] ^ (crcReg >> 8); }

void TCRC32::UpdateCRC(const char* data, int n) {
    if (data == nullptr || n < -1) return;
    size_t len = n == -1 ? strlen(data) : (size_t)n;
    crcReg = UpdateCRC32(crcReg, reinterpret_cast<const unsigned char*>(data), len);
}

uint32_t TCRC32::GetBlockCRC(const char* data, int n) {
    InitCRC();
    UpdateCRC(data, n);
    return GetCRC();
}

uint32_t UpdateCRC32Sliced(uint32_t reg, const unsigned char* p, size_t n) {
    const auto& t = kSlice.row;
    while (n >= 16) {
        uint32_t a = Load32LE(p) ^ reg;
        uint32_t b = Load32LE(p + 4);
        uint32_t c = Load32LE(p + 8);
        uint32_t d = Load32LE(p + 12);
        reg = t[15][a & 0xFF] ^ t[14][(a >> 8) & 0xFF] ^ t[13][(a >> 16) & 0xFF] ^ t[12][a >> 24] ^
              t[11][b & 0xFF] ^ t[10][(b >> 8) & 0xFF] ^ t[9][(b >> 16) & 0xFF] ^ t[8][b >> 24] ^
              t[7][c & 0xFF] ^ t[6][(c >> 8) & 0xFF] ^ t[5][(c >> 16) & 0xFF] ^ t[4][c >> 24] ^
              t[3][d & 0xFF] ^ t[2][(d >> 8) & 0xFF] ^ t[1][(d >> 16) & 0xFF] ^ t[0][d >> 24];
        p += 16;
        n -= 16;
    }
    while (n-- > 0) reg = t[0][(reg ^ *p++) & 0xFF] ^ (reg >> 8);
    return reg;
}

bool CRC32ClmulAvailable() {
#ifdef OWL_CRC_CLMUL
    static const bool available = [] {
        __builtin_cpu_init();
        return __builtin_cpu_supports("sse2") && __builtin_cpu_supports("pclmul");
    }();
    return available;
#else
    return false;
#endif
}

uint32_t UpdateCRC32Clmul(uint32_t reg, const unsigned char* data, size_t n) {
#ifdef OWL_CRC_CLMUL
    if (CRC32ClmulAvailable()) return ClmulUpdate(reg, data, n);
#endif
    return UpdateCRC32Sliced(reg, data, n);
}

uint32_t UpdateCRC32(uint32_t reg, const unsigned char* data, size_t n) {
    return UpdateCRC32Clmul(reg, data, n);
}

// ---- THash_SHA -------------------------------------------------------------

THash_SHA::THash_SHA() : fInitialized(0), fHashSize(20) { Init(); }

THash_SHA::~THash_SHA() { Burn(); }

void THash_SHA::Burn() {
    LenHi = 0;
    LenLo = 0;
    Index = 0;
    Wipe(HashBuffer, sizeof HashBuffer);
    Wipe(CurrentHash, sizeof CurrentHash);
    fInitialized = 0;
}

void THash_SHA::Init() {
    Burn();
    CurrentHash[0] = 0x67452301u;
    CurrentHash[1] = 0xEFCDAB89u;
    CurrentHash[2] = 0x98BADCFEu;
    CurrentHash[3] = 0x10325476u;
    CurrentHash[4] = 0xC3D2E1F0u;
    fInitialized = 1;
}

void THash_SHA::UpdateLen(unsigned int n) {
    uint32_t bits = (uint32_t)n << 3;
    LenLo += bits;
    if (LenLo < bits) ++LenHi;
    LenHi += n >> 29;
}

void THash_SHA::Update(const char* data, long n) {
    if (!fInitialized) Init();
    if (data == nullptr || n <= 0) return;
    // The count takes at most 2^32 - 1 bytes per step.
    for (unsigned long left = (unsigned long)n; left > 0;) {
        unsigned int step = left > 0xFFFFFFFFul ? 0xFFFFFFFFu : (unsigned int)left;
        UpdateLen(step);
        left -= step;
    }
    const unsigned char* p = reinterpret_cast<const unsigned char*>(data);
    size_t left = (size_t)n;
    while (left > 0) {
        size_t take = 64 - (size_t)Index;
        if (take > left) take = left;
        memcpy(HashBuffer + Index, p, take);
        Index += (int32_t)take;
        p += take;
        left -= take;
        if (Index == 64) Compress();
    }
}

void THash_SHA::Compress() {
    Sha1Block(CurrentHash, HashBuffer);
    Index = 0;
    Wipe(HashBuffer, sizeof HashBuffer);
}

void THash_SHA::Final() {
    OWL_ASSERT(fInitialized);
    HashBuffer[Index] = 0x80;
    memset(HashBuffer + Index + 1, 0, 63 - (size_t)Index);
    if (Index > 55) Compress();
    for (int i = 0; i < 4; ++i) {
        HashBuffer[56 + i] = (unsigned char)(LenHi >> (24 - 8 * i));
        HashBuffer[60 + i] = (unsigned char)(LenLo >> (24 - 8 * i));
    }
    Compress();
#if __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    for (uint32_t& word : CurrentHash) word = REVERSE32(word);
#endif
    fInitialized = 0;
}

const char* THash_SHA::GetHash(const char* data, long n) {
    if (data != nullptr) {
        Init();
        Update(data, n);
        Final();
    } else {
        OWL_ASSERT(!fInitialized);
    }
    return reinterpret_cast<const char*>(CurrentHash);
}

unsigned int REVERSE32(unsigned int x) {
    return (x >> 24) | ((x >> 8) & 0xFF00u) | ((x << 8) & 0xFF0000u) | (x << 24);
}
