// Throughput of the digests and the cipher, each beside a baseline measured
// in the same run. Every figure is the best of a few repetitions.
#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include <random>
#include <vector>

#include "bench_support.h"
#include "crypto/ciplib.h"
#include "crypto/md5.h"
#include "crypto/twofish.h"
#include "protocol/packetcipher.h"

namespace {

volatile uint32_t g_sink;  // keeps results alive

void Report(const char* name, double value, const char* unit, const char* baseName,
            double baseValue, bool higherIsBetter, double target) {
    double ratio = value / baseValue;
    printf("%s: %.2f %s (baseline %s: %.2f %s, ratio %.2fx)", name, value, unit, baseName,
           baseValue, unit, ratio);
    if (target > 0) {
        bool met = higherIsBetter ? value >= target : value <= target;
        printf(" target %s %.0f %s: %s", higherIsBetter ? ">=" : "<=", target, unit,
               bench::Verdict(met));
    }
    printf("\n");
}

// The plain loop: one lookup per byte.
uint32_t PlainCrc(const uint32_t* table, uint32_t reg, const unsigned char* p, size_t n) {
    while (n-- > 0) reg = table[(reg ^ *p++) & 0xFF] ^ (reg >> 8);
    return reg;
}

}  // namespace

int main() {
    const double MB = 1e6, GB = 1e9;
    Twofish_initialise();
    std::mt19937 rng(1);

    // CRC-32 over 256 MiB.
    const size_t crcSize = 256u << 20;
    std::vector<unsigned char> big(crcSize);
    for (size_t i = 0; i < crcSize; i += 4) {
        uint32_t r = rng();
        memcpy(&big[i], &r, 4);
    }
    uint32_t table[256];
    for (uint32_t i = 0; i < 256; ++i) {
        uint32_t r = i;
        for (int k = 0; k < 8; ++k) r = (r & 1) ? (r >> 1) ^ 0xEDB88320u : r >> 1;
        table[i] = r;
    }
    uint32_t plain = 0, sliced = 0, fast = 0;
    double tPlain =
        bench::BestOf(2, [&] { plain = PlainCrc(table, 0xFFFFFFFFu, big.data(), crcSize); });
    double tSliced =
        bench::BestOf(3, [&] { sliced = UpdateCRC32Sliced(0xFFFFFFFFu, big.data(), crcSize); });
    double tFast = bench::BestOf(3, [&] {
        TCRC32 crc;
        crc.UpdateCRC(reinterpret_cast<const char*>(big.data()), (int)crcSize);
        fast = crc.GetCRC();
    });
    double plainRate = crcSize / tPlain / GB;
    printf("crc32 over 256 MiB, values %s (plain %08X, sliced %08X, fast %08X); fast path: %s\n",
           plain == sliced && plain == fast ? "identical" : "DIFFERENT", plain, sliced, fast,
           CRC32ClmulAvailable() ? "PCLMULQDQ folding" : "slicing-by-16");
    Report("crc32 slicing-by-16", crcSize / tSliced / GB, "GB/s", "plain loop", plainRate, true, 2);
    Report("crc32 fast (TCRC32::UpdateCRC)", crcSize / tFast / GB, "GB/s", "plain loop", plainRate,
           true, 2);

    // SHA-1 and MD5 over 64 MiB; baseline: the plain CRC loop over the same
    // bytes (also the baseline of the Twofish block figure below).
    const size_t hashSize = 64u << 20;
    double tPlainSmall =
        bench::BestOf(3, [&] { g_sink = PlainCrc(table, 0, big.data(), hashSize); });
    double plainSmallRate = hashSize / tPlainSmall / MB;
    double tSha = bench::BestOf(3, [&] {
        THash_SHA sha;
        g_sink = (uint8_t)sha.GetHash(reinterpret_cast<const char*>(big.data()), (long)hashSize)[0];
    });
    double tMd5 = bench::BestOf(3, [&] {
        MD5 ctx;
        unsigned char digest[16];
        MD5Open(&ctx);
        MD5Digest(&ctx, big.data(), (unsigned)hashSize);
        MD5Close(&ctx, digest);
        g_sink = digest[0];
    });
    Report("sha1", hashSize / tSha / MB, "MB/s", "plain crc loop", plainSmallRate, true, 300);
    Report("md5", hashSize / tMd5 / MB, "MB/s", "plain crc loop", plainSmallRate, true, 400);

    // Twofish, one 16-byte block per call over 16 MiB.
    const size_t tfSize = 16u << 20;
    unsigned char key[20];
    for (auto& b : key) b = (unsigned char)rng();
    Twofish_key xkey;
    Twofish_prepare_key(key, 20, &xkey);
    std::vector<unsigned char> out(tfSize);
    double tBlocks = bench::BestOf(3, [&] {
        for (size_t i = 0; i < tfSize; i += 16) Twofish_encrypt(&xkey, &big[i], &out[i]);
    });
    g_sink = out[tfSize - 1];
    double blockRate = tfSize / tBlocks / MB;
    Report("twofish block encrypt", blockRate, "MB/s", "plain crc loop", plainSmallRate, true, 0);

    // The agent's CFB-8 (one block encryption per byte, keyed with the SHA-1
    // of a password: the way request and reply text is sealed) over 1 MiB;
    // baseline: the block encryption above (16 bytes per block, so the
    // ideal CFB-8 rate is a sixteenth of it).
    const size_t cfbSize = 1u << 20;
    double tCfb = bench::BestOf(3, [&] {
        CipherStream("password", 8, (const char*)big.data(), (char*)out.data(), (int)cfbSize, true);
    });
    Report("twofish cfb-8 stream", cfbSize / tCfb / MB, "MB/s", "block encrypt", blockRate, true,
           8);

    // Key set-up: SHA-1 of a password plus Twofish_prepare_key; baseline:
    // the SHA-1 of the password alone.
    const int keys = 20000;
    const char* password = "a console password";
    double tKey = bench::BestOf(3, [&] {
        for (int i = 0; i < keys; ++i) {
            THash_SHA sha;
            unsigned char k[20];
            memcpy(k, sha.GetHash(password, (long)strlen(password)), 20);
            Twofish_prepare_key(k, sha.GetHashSize(), &xkey);
        }
    });
    double tHashOnly = bench::BestOf(3, [&] {
        for (int i = 0; i < keys; ++i) {
            THash_SHA sha;
            g_sink = (uint8_t)sha.GetHash(password, (long)strlen(password))[0];
        }
    });
    Report("key set-up (sha1 + Twofish_prepare_key)", tKey / keys * 1e6, "us",
           "sha1 of password alone", tHashOnly / keys * 1e6, false, 30);
    return plain == sliced && plain == fast ? 0 : 1;
}
