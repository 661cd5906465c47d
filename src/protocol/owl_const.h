// owl_const: the request packet's constants and the byte-level helpers shared
// by requests, replies and the upgrade transfer: the password digest and the
// little-endian length fields (the cipher is in packetcipher). No shared
// state: any thread may call these.
#pragma once

#include "text/vtstring.h"

// Positions are 1-based: the packet's first byte is position 1.
const int OFFSET_PACKET = 1;
const int SIZELEN_AUTH = 2;
const int SIZELEN_PSWD = 2;
const int SIZELEN_KEY = 2;
const int SIZELEN_REQUEST = 4;
const int OFFSET_AUTH = OFFSET_PACKET + 4;
const int OFFSET_PSWD = OFFSET_AUTH + SIZELEN_AUTH;
const int OFFSET_KEY = OFFSET_PSWD + SIZELEN_PSWD;
const int OFFSET_REQUEST = OFFSET_KEY + SIZELEN_KEY;
const int SIZELEN_MINIMUM = SIZELEN_PSWD + 4 + SIZELEN_KEY + SIZELEN_REQUEST + SIZELEN_AUTH;

// The two auth bytes that follow the packet length.
const unsigned char AUTH_BYTE1 = 0x03;
const unsigned char AUTH_BYTE2 = 0x12;

// The 16 raw bytes of the MD5 digest of password; empty for an empty one.
String EncodePswd(const String& password);

// The low digits bytes of s's length, little-endian. digits above 4 is a
// programming error (assertion).
String EncodeLength(const String& s, int digits);
// The same bytes for a length len, written to dst.
void PutLength(char* dst, int len, int digits);
// A little-endian number of 4, 2 or 1 bytes at p; other digits up to 4 give
// 0; digits above 4 is a programming error (assertion).
int DecodeLength(const char* p, int digits);
