// md5: the MD5 message digest of RFC 1321 in the open/digest/close style.
// Owns the context type MD5 and MD5Open, MD5Digest, MD5Close, MD5Transform.
// Threads: the functions are reentrant; a context belongs to its caller and
// to one thread at a time.
#pragma once

#include <stdint.h>

// The digest context: plain data (88 bytes) that the caller owns and may copy.
struct MD5 {
    uint32_t state[4];         // chaining words A, B, C, D
    uint32_t count[2];         // number of message bits, low word first
    unsigned char buffer[64];  // message bytes not yet transformed
};

// Starts a digest: zero bit count and the RFC 1321 initial state.
void MD5Open(MD5* ctx);
// Adds n bytes of message; every length, 0 included, is valid. A null data
// pointer adds nothing.
void MD5Digest(MD5* ctx, void const* data, unsigned int n);
// Pads the message, writes the 16 digest bytes (standard MD5 byte order) to
// digest and overwrites the whole context with zeros; open it again before
// reusing it.
void MD5Close(MD5* ctx, unsigned char* digest);
// The RFC 1321 compression of one 64-byte block, added into the four state
// words.
void MD5Transform(unsigned int* state, unsigned char const* block);
