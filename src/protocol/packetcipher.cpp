#include "protocol/packetcipher.h"

#include <string.h>

#include <string>
#include <vector>

#include "crypto/ciplib.h"
#include "crypto/twofish.h"
#include "protocol/owl_const.h"

namespace {

// One expanded key: the text it was made from, the Twofish key and the
// shift register it starts from.
struct TCipherKey {
    std::string text;
    Twofish_key expanded;
    unsigned char start[16];
    unsigned long lastUse = 0;  // 0: empty
};

void ExpandKey(const char* key, int keyLen, TCipherKey& k) {
    // The SHA-1 of the key text keys Twofish; an empty key hashes the empty
    // message through a valid pointer.
    static const char kEmpty[1] = {0};
    THash_SHA sha;
    const char* digest = sha.GetHash(key != nullptr ? key : kEmpty, keyLen);
    unsigned char keyBytes[20];
    memcpy(keyBytes, digest, sizeof keyBytes);
    Twofish_prepare_key(keyBytes, sha.GetHashSize(), &k.expanded);
    memset(keyBytes, 0, sizeof keyBytes);
    memset(k.start, 0xFF, sizeof k.start);
    Twofish_encrypt(&k.expanded, k.start, k.start);
    k.text.assign(key != nullptr ? key : kEmpty, keyLen);
}

// The expanded key of a key text. Each thread keeps its last two: the
// password serves every request and a session key both its request and its
// reply, so a request expands one key instead of three.
TCipherKey& ExpandedKey(const char* key, int keyLen) {
    thread_local TCipherKey cache[2];
    thread_local unsigned long uses = 0;
    TCipherKey* oldest = &cache[0];
    for (TCipherKey& k : cache) {
        if (k.lastUse != 0 && (int)k.text.size() == keyLen &&
            (keyLen == 0 || memcmp(k.text.data(), key, keyLen) == 0)) {
            k.lastUse = ++uses;
            return k;
        }
        if (k.lastUse < oldest->lastUse) oldest = &k;
    }
    ExpandKey(key, keyLen, *oldest);
    oldest->lastUse = ++uses;
    return *oldest;
}

// Decryption knows every shift register beforehand: register i is bytes
// i to i+15 of the start register followed by the ciphertext. So the block
// encryptions are independent and go four at a time.
void DecryptStream(TCipherKey& k, const char* in, char* out, int n) {
    unsigned char small[1024];
    std::vector<unsigned char> large;
    unsigned char* regs = small;
    if ((size_t)n + 16 > sizeof small) {
        large.resize((size_t)n + 16);
        regs = large.data();
    }
    memcpy(regs, k.start, 16);
    memcpy(regs + 16, in, n);  // in may be out
    const unsigned char* cipher = regs + 16;
    unsigned char first[4];
    int i = 0;
    for (; i + 4 <= n; i += 4) {
        const unsigned char* next[4] = {regs + i, regs + i + 1, regs + i + 2, regs + i + 3};
        Twofish_encrypt_first_bytes_x4(&k.expanded, next, first);
        for (int j = 0; j < 4; j++) out[i + j] = (char)(first[j] ^ cipher[i + j]);
    }
    for (; i < n; i++)
        out[i] = (char)(Twofish_encrypt_first_byte(&k.expanded, regs + i) ^ cipher[i]);
}

}  // namespace

void CipherStream(const char* key, int keyLen, const char* in, char* out, int n, bool encrypt) {
    TCipherKey& k = ExpandedKey(key, keyLen);
    if (!encrypt) {
        DecryptStream(k, in, out, n);
        return;
    }
    // The shift register is the 16 bytes at window + at; each output byte
    // goes behind it, and the register moves back to the front once in 48
    // bytes instead of shifting at every byte.
    unsigned char window[64];
    memcpy(window, k.start, 16);
    for (int i = 0, at = 0; i < n; i++, at++) {
        if (at == 48) {
            memcpy(window, window + 48, 16);
            at = 0;
        }
        unsigned char output =
            Twofish_encrypt_first_byte(&k.expanded, window + at) ^ (unsigned char)in[i];
        out[i] = (char)output;
        window[at + 16] = output;
    }
}

String EncodeData(const String& data, const String& password, int digits) {
    String result;
    const int n = data.Length();
    if (n == 0) return result;
    // The length field and the cipher text in one buffer.
    result.SetLength(digits + n);
    PutLength(result.Data(), n, digits);
    CipherStream(password.Data(), password.Length(), data.Data(), result.Data() + digits, n, true);
    return result;
}

String DecodeData(const String& data, const String& password) {
    String result;
    if (data.Length() == 0) return result;
    result.SetLength(data.Length());
    CipherStream(password.Data(), password.Length(), data.Data(), result.Data(), data.Length(),
                 false);
    return result;
}
