// ciplib: the digest library. Owns TCRC32 (the CRC-32 of the file checksum
// test), THash_SHA (SHA-1, used to derive cipher keys), REVERSE32 and the
// bulk CRC-32 register updates behind TCRC32.
// Threads: a TCRC32 or THash_SHA object belongs to one thread at a time (each
// user makes its own); the free functions are reentrant and share only
// read-only tables that are built before main().
#pragma once

#include <stddef.h>
#include <stdint.h>

// CRC-32 with the reflected polynomial 0xEDB88320, register preset to
// 0xFFFFFFFF and no final inversion (the complement of the zlib CRC-32).
class TCRC32 {
  public:
    // Builds the lookup table and presets the register.
    TCRC32();

    // Presets the register to 0xFFFFFFFF.
    void InitCRC();
    // Feeds one byte: one table lookup.
    void UpdateCRC(unsigned char b);
    // Feeds n bytes of data (n = -1: up to the terminating zero byte). A null
    // pointer or any other negative n leaves the register unchanged.
    void UpdateCRC(const char* data, int n);
    // The register as it stands (no final inversion).
    uint32_t GetCRC() const { return crcReg; }
    // InitCRC, UpdateCRC(data, n), GetCRC.
    uint32_t GetBlockCRC(const char* data, int n);

  private:
    uint32_t crcTable[256];
    uint32_t crcReg;
};

// The CRC-32 register update over n bytes, as TCRC32::UpdateCRC does it:
// returns the register after feeding the bytes to reg. UpdateCRC32 picks the
// fastest path this CPU has; the other two are the individual paths, kept
// callable so that tests and benchmarks can compare them with each other.
uint32_t UpdateCRC32(uint32_t reg, const unsigned char* data, size_t n);
// Portable path: slicing-by-16 over sixteen 256-entry tables.
uint32_t UpdateCRC32Sliced(uint32_t reg, const unsigned char* data, size_t n);
// Carry-less multiplication folding (x86 PCLMULQDQ). On a CPU without it
// this falls back to the portable path, so it is always safe to call.
uint32_t UpdateCRC32Clmul(uint32_t reg, const unsigned char* data, size_t n);
// True when UpdateCRC32Clmul really uses carry-less multiplication here.
bool CRC32ClmulAvailable();

// SHA-1 (FIPS 180-1). The object alternates between idle and hashing; the
// working state is wiped after every block and by the destructor.
class THash_SHA {
  public:
    THash_SHA();
    ~THash_SHA();
    THash_SHA(const THash_SHA&) = delete;
    THash_SHA& operator=(const THash_SHA&) = delete;

    // Zeroes the bit count, block index, block buffer and chaining words and
    // ends any hash in progress.
    void Burn();
    // Burn, then starts a new hash from the SHA-1 initial values.
    void Init();
    // Adds n bytes of message, starting a hash first when none is in
    // progress. A null pointer or n <= 0 adds nothing.
    void Update(const char* data, long n);
    // Adds n bytes to the 64-bit bit count.
    void UpdateLen(unsigned int n);
    // Compresses the full block buffer into the chaining words, then wipes
    // the buffer and the message schedule and resets the block index.
    void Compress();
    // Pads, compresses and leaves the digest in the chaining words (standard
    // byte order); ends the hash. Calling it when no hash is in progress
    // stops the process with an assertion.
    void Final();
    // With data: hashes exactly those n bytes (Init, Update, Final). Returns
    // the 20 digest bytes, owned by the object and valid until its next
    // operation. With a null pointer it only returns the digest of the last
    // completed hash; asking while a hash is in progress stops the process
    // with an assertion.
    const char* GetHash(const char* data, long n);
    // The digest size in bytes: 20.
    int GetHashSize() const { return fHashSize; }

  private:
    int32_t fInitialized;
    int32_t fHashSize;
    uint32_t LenHi;
    uint32_t LenLo;
    int32_t Index;
    uint32_t CurrentHash[5];
    unsigned char HashBuffer[64];
};

// x with its four bytes in reverse order.
unsigned int REVERSE32(unsigned int x);
