// twofish: the Twofish block cipher (128-bit blocks, 16 rounds, keys of 0 to
// 32 bytes) with its one-time table set-up and start-up self-test. Owns the
// expanded key type Twofish_key and the Twofish_* functions; no mode of
// operation lives here. Internal inconsistencies and caller errors end the
// process through Twofish_fatal with exit status 3.
// Threads: Twofish_initialise must complete before other threads use the
// module; afterwards its tables are read-only and any number of threads may
// expand keys and encrypt or decrypt at once, each with its own key.
#pragma once

#include <stdint.h>

// An expanded key: plain data owned by the caller. The keyed S-box tables
// already include the MDS multiplication, so the round function g is four
// lookups.
struct Twofish_key {
    uint32_t s[4][256];  // keyed S-boxes through the MDS matrix
    uint32_t K[40];      // 8 whitening and 32 round subkeys
};

// Checks the platform primitives, builds the fixed tables (once per process)
// and runs the self-test: known answers, 49-step chains and odd-sized keys.
// Returns only if everything passed; any failure ends the process with its
// message and exit status 3.
void Twofish_initialise();

// Expands keyLength bytes of key (0 to 32; shorter keys count as padded with
// zero bytes to 16, 24 or 32) into *xkey. Ends the process when the module is
// not initialised or keyLength is out of range. The key copy used during the
// expansion is wiped before returning.
void Twofish_prepare_key(unsigned char* key, int keyLength, Twofish_key* xkey);

// Encrypts the 16-byte block p into c under xkey; p and c may be the same
// buffer. Every block and key are valid.
void Twofish_encrypt(Twofish_key* xkey, unsigned char* p, unsigned char* c);

// The first byte of what Twofish_encrypt gives for the block p: all that a
// cipher feedback of one byte uses, in less time (the last round and a half
// only change the other bytes).
unsigned char Twofish_encrypt_first_byte(const Twofish_key* k, const unsigned char* p);

// The first bytes of four independent blocks p[0..3] into first[0..3], as
// four calls of Twofish_encrypt_first_byte would, in less time (the four
// overlap).
void Twofish_encrypt_first_bytes_x4(const Twofish_key* k, const unsigned char* const p[4],
                                    unsigned char first[4]);

// Decrypts the 16-byte block c into p under xkey; c and p may be the same
// buffer. The inverse of Twofish_encrypt.
void Twofish_decrypt(Twofish_key* xkey, unsigned char* c, unsigned char* p);

// Writes "\nTwofish fatal error: <msg>\nProcess terminated\n" to standard
// error and ends the process with exit status 3. Never returns.
[[noreturn]] void Twofish_fatal(char const* msg);
