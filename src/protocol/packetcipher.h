// packetcipher: the cipher of requests, replies and the upgrade transfer, a
// Twofish CFB-8 stream cipher keyed by the SHA-1 of a password or session
// key. Any thread may call these once Twofish_initialise has run; each
// thread keeps its own cache of expanded keys.
#pragma once

#include "text/vtstring.h"

// data encrypted under password; with digits 1 to 4 the ciphertext is
// preceded by that many bytes of its length. Empty data gives an empty
// String without prefix.
String EncodeData(const String& data, const String& password, int digits);
// The inverse of EncodeData without prefix. Decrypting under another
// password gives text of the same length, not an error.
String DecodeData(const String& data, const String& password);

// The CFB-8 stream cipher over n bytes from in to out (in and out may be the
// same buffer), keyed with the SHA-1 of the key bytes. Each thread keeps the
// expanded form of its last two keys, so repeated keys cost no key set-up.
void CipherStream(const char* key, int keyLen, const char* in, char* out, int n, bool encrypt);
