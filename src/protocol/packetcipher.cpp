#include "protocol/packetcipher.h"

#include <string.h>

#include <string>

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

}  // namespace

void CipherStream(const char* key, int keyLen, const char* in, char* out, int n, bool encrypt) {
    TCipherKey& k = ExpandedKey(key, keyLen);
    unsigned char reg[16];
    memcpy(reg, k.start, sizeof reg);
    unsigned char block[16];
    for (int i = 0; i < n; i++) {
        Twofish_encrypt(&k.expanded, reg, block);
        unsigned char input = (unsigned char)in[i];
        unsigned char output = block[0] ^ input;
        out[i] = (char)output;
        memmove(reg, reg + 1, 15);
        reg[15] = encrypt ? output : input;
    }
}

String EncodeData(const String& data, const String& password, int digits) {
    String result;
    if (data.Length() == 0) return result;
    String cipher;
    cipher.SetLength(data.Length());
    CipherStream(password.Data(), password.Length(), data.Data(), cipher.Data(), data.Length(),
                 true);
    if (digits != 0) result = EncodeLength(cipher, digits);
    result += cipher;
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
