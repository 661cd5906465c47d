#include "protocol/owl_const.h"

#include <string.h>

#include "crypto/md5.h"
#include "text/owl_assert.h"

String EncodePswd(const String& password) {
    String result;
    if (password.Length() == 0) return result;
    MD5 context;
    unsigned char digest[16];
    MD5Open(&context);
    MD5Digest(&context, password.Data(), (unsigned)password.Length());
    MD5Close(&context, digest);
    result.CopyData((const char*)digest, 16);
    return result;
}

void PutLength(char* dst, int len, int digits) {
    OWL_ASSERT_TEXT(digits <= (int)sizeof(len), "digits<=sizeof(len)");
    for (int i = 0; i < digits; i++) dst[i] = (char)(((unsigned int)len >> (8 * i)) & 0xFF);
}

String EncodeLength(const String& s, int digits) {
    String result;
    result.SetLength(digits);
    PutLength(result.Data(), s.Length(), digits);
    return result;
}

int DecodeLength(const char* p, int digits) {
    OWL_ASSERT_TEXT(digits <= (int)sizeof(int), "digits<=sizeof(int)");
    const unsigned char* b = (const unsigned char*)p;
    switch (digits) {
        case 4:
            return (int)((unsigned)b[0] | (unsigned)b[1] << 8 | (unsigned)b[2] << 16 |
                         (unsigned)b[3] << 24);
        case 2:
            return (int)((unsigned)b[0] | (unsigned)b[1] << 8);
        case 1:
            return (int)b[0];
        default:
            return 0;
    }
}
