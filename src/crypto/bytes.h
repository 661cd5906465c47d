// Byte-level helpers shared by the digests: little- and big-endian word
// loads and stores, rotation, and a wipe the compiler cannot drop.
// All are reentrant.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <string.h>

namespace cryptobytes {

// Zeroes n bytes at p; the barrier keeps the stores although nothing reads
// them afterwards.
inline void Wipe(void* p, size_t n) {
    memset(p, 0, n);
    __asm__ __volatile__("" : : "r"(p) : "memory");
}

inline uint32_t Rol(uint32_t x, int n) { return (x << n) | (x >> (32 - n)); }

inline uint32_t Load32LE(const unsigned char* p) {
    uint32_t v;
    memcpy(&v, p, 4);
#if __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    v = __builtin_bswap32(v);
#endif
    return v;
}

inline uint32_t Load32BE(const unsigned char* p) {
    uint32_t v;
    memcpy(&v, p, 4);
#if __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    v = __builtin_bswap32(v);
#endif
    return v;
}

inline void Store32LE(unsigned char* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = (unsigned char)(v >> (8 * i));
}

}  // namespace cryptobytes
