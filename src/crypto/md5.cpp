#include "crypto/md5.h"

#include <string.h>

#include "crypto/bytes.h"

namespace {

using cryptobytes::Load32LE;
using cryptobytes::Rol;
using cryptobytes::Store32LE;
using cryptobytes::Wipe;

const unsigned char kPadding[64] = {0x80};

inline uint32_t F(uint32_t x, uint32_t y, uint32_t z) { return z ^ (x & (y ^ z)); }
inline uint32_t G(uint32_t x, uint32_t y, uint32_t z) { return y ^ (z & (x ^ y)); }
inline uint32_t H(uint32_t x, uint32_t y, uint32_t z) { return x ^ y ^ z; }
inline uint32_t I(uint32_t x, uint32_t y, uint32_t z) { return y ^ (x | ~z); }

// One step: a = b + ((a + f(b, c, d) + x + t) <<< s).
template <uint32_t (*Fn)(uint32_t, uint32_t, uint32_t)>
inline void Step(uint32_t& a, uint32_t b, uint32_t c, uint32_t d, uint32_t x, int s, uint32_t t) {
    a = b + Rol(a + Fn(b, c, d) + x + t, s);
}

}  // namespace

void MD5Open(MD5* ctx) {
    ctx->count[0] = 0;
    ctx->count[1] = 0;
    ctx->state[0] = 0x67452301u;
    ctx->state[1] = 0xEFCDAB89u;
    ctx->state[2] = 0x98BADCFEu;
    ctx->state[3] = 0x10325476u;
}

void MD5Digest(MD5* ctx, void const* data, unsigned int n) {
    if (data == nullptr || n == 0) return;
    const unsigned char* input = static_cast<const unsigned char*>(data);
    unsigned int index = (ctx->count[0] >> 3) & 63;
    uint32_t bits = (uint32_t)n << 3;
    ctx->count[0] += bits;
    if (ctx->count[0] < bits) ++ctx->count[1];
    ctx->count[1] += n >> 29;

    unsigned int room = 64 - index;
    unsigned int i = 0;
    if (n >= room) {
        memcpy(ctx->buffer + index, input, room);
        MD5Transform(ctx->state, ctx->buffer);
        for (i = room; n - i >= 64; i += 64) MD5Transform(ctx->state, input + i);
        index = 0;
    }
    memcpy(ctx->buffer + index, input + i, n - i);
}

void MD5Close(MD5* ctx, unsigned char* digest) {
    unsigned char bits[8];
    Store32LE(bits, ctx->count[0]);
    Store32LE(bits + 4, ctx->count[1]);
    unsigned int index = (ctx->count[0] >> 3) & 63;
    unsigned int padLen = index < 56 ? 56 - index : 120 - index;
    MD5Digest(ctx, kPadding, padLen);
    MD5Digest(ctx, bits, 8);
    for (int i = 0; i < 4; ++i) Store32LE(digest + 4 * i, ctx->state[i]);
    Wipe(ctx, sizeof *ctx);
}

void MD5Transform(unsigned int* state, unsigned char const* block) {
    uint32_t x[16];
    for (int i = 0; i < 16; ++i) x[i] = Load32LE(block + 4 * i);
    uint32_t a = state[0], b = state[1], c = state[2], d = state[3];

    Step<F>(a, b, c, d, x[0], 7, 0xd76aa478u);
    Step<F>(d, a, b, c, x[1], 12, 0xe8c7b756u);
    Step<F>(c, d, a, b, x[2], 17, 0x242070dbu);
    Step<F>(b, c, d, a, x[3], 22, 0xc1bdceeeu);
    Step<F>(a, b, c, d, x[4], 7, 0xf57c0fafu);
    Step<F>(d, a, b, c, x[5], 12, 0x4787c62au);
    Step<F>(c, d, a, b, x[6], 17, 0xa8304613u);
    Step<F>(b, c, d, a, x[7], 22, 0xfd469501u);
    Step<F>(a, b, c, d, x[8], 7, 0x698098d8u);
    Step<F>(d, a, b, c, x[9], 12, 0x8b44f7afu);
    Step<F>(c, d, a, b, x[10], 17, 0xffff5bb1u);
    Step<F>(b, c, d, a, x[11], 22, 0x895cd7beu);
    Step<F>(a, b, c, d, x[12], 7, 0x6b901122u);
    Step<F>(d, a, b, c, x[13], 12, 0xfd987193u);
    Step<F>(c, d, a, b, x[14], 17, 0xa679438eu);
    Step<F>(b, c, d, a, x[15], 22, 0x49b40821u);

    Step<G>(a, b, c, d, x[1], 5, 0xf61e2562u);
    Step<G>(d, a, b, c, x[6], 9, 0xc040b340u);
    Step<G>(c, d, a, b, x[11], 14, 0x265e5a51u);
    Step<G>(b, c, d, a, x[0], 20, 0xe9b6c7aau);
    Step<G>(a, b, c, d, x[5], 5, 0xd62f105du);
    Step<G>(d, a, b, c, x[10], 9, 0x02441453u);
    Step<G>(c, d, a, b, x[15], 14, 0xd8a1e681u);
    Step<G>(b, c, d, a, x[4], 20, 0xe7d3fbc8u);
    Step<G>(a, b, c, d, x[9], 5, 0x21e1cde6u);
    Step<G>(d, a, b, c, x[14], 9, 0xc33707d6u);
    Step<G>(c, d, a, b, x[3], 14, 0xf4d50d87u);
    Step<G>(b, c, d, a, x[8], 20, 0x455a14edu);
    Step<G>(a, b, c, d, x[13], 5, 0xa9e3e905u);
    Step<G>(d, a, b, c, x[2], 9, 0xfcefa3f8u);
    Step<G>(c, d, a, b, x[7], 14, 0x676f02d9u);
    Step<G>(b, c, d, a, x[12], 20, 0x8d2a4c8au);

    Step<H>(a, b, c, d, x[5], 4, 0xfffa3942u);
    Step<H>(d, a, b, c, x[8], 11, 0x8771f681u);
    Step<H>(c, d, a, b, x[11], 16, 0x6d9d6122u);
    Step<H>(b, c, d, a, x[14], 23, 0xfde5380cu);
    Step<H>(a, b, c, d, x[1], 4, 0xa4beea44u);
    Step<H>(d, a, b, c, x[4], 11, 0x4bdecfa9u);
    Step<H>(c, d, a, b, x[7], 16, 0xf6bb4b60u);
    Step<H>(b, c, d, a, x[10], 23, 0xbebfbc70u);
    Step<H>(a, b, c, d, x[13], 4, 0x289b7ec6u);
    Step<H>(d, a, b, c, x[0], 11, 0xeaa127fau);
    Step<H>(c, d, a, b, x[3], 16, 0xd4ef3085u);
    Step<H>(b, c, d, a, x[6], 23, 0x04881d05u);
    Step<H>(a, b, c, d, x[9], 4, 0xd9d4d039u);
    Step<H>(d, a, b, c, x[12], 11, 0xe6db99e5u);
    Step<H>(c, d, a, b, x[15], 16, 0x1fa27cf8u);
    Step<H>(b, c, d, a, x[2], 23, 0xc4ac5665u);

    Step<I>(a, b, c, d, x[0], 6, 0xf4292244u);
    Step<I>(d, a, b, c, x[7], 10, 0x432aff97u);
    Step<I>(c, d, a, b, x[14], 15, 0xab9423a7u);
    Step<I>(b, c, d, a, x[5], 21, 0xfc93a039u);
    Step<I>(a, b, c, d, x[12], 6, 0x655b59c3u);
    Step<I>(d, a, b, c, x[3], 10, 0x8f0ccc92u);
    Step<I>(c, d, a, b, x[10], 15, 0xffeff47du);
    Step<I>(b, c, d, a, x[1], 21, 0x85845dd1u);
    Step<I>(a, b, c, d, x[8], 6, 0x6fa87e4fu);
    Step<I>(d, a, b, c, x[15], 10, 0xfe2ce6e0u);
    Step<I>(c, d, a, b, x[6], 15, 0xa3014314u);
    Step<I>(b, c, d, a, x[13], 21, 0x4e0811a1u);
    Step<I>(a, b, c, d, x[4], 6, 0xf7537e82u);
    Step<I>(d, a, b, c, x[11], 10, 0xbd3af235u);
    Step<I>(c, d, a, b, x[2], 15, 0x2ad7d2bbu);
    Step<I>(b, c, d, a, x[9], 21, 0xeb86d391u);

    state[0] += a;
    state[1] += b;
    state[2] += c;
    state[3] += d;
    Wipe(x, sizeof x);
}
