// Value encodings of the wire protocol: the CR/LF escapes of string values
// ("%0D", "%0A") and the decoders of boolean and integer parameters. All
// functions work on their arguments only and may run on any thread.
#pragma once

#include "text/vtstring.h"

// n bytes of text (n = 0 or negative: up to the zero byte) with LF as "%0A"
// and CR as "%0D". A null text gives an empty String.
String owlEncodeStrings(const char* text, int n);
String owlEncodeStrings(const String& text);
// The inverse: "%0D" and "%0A" (upper case only) become CR and LF.
String owlDecodeStrings(const char* text, int n);
String owlDecodeStrings(const String& text);

// A text of the host (a file name, a path) that goes out unencoded as one
// reply line: each CR and LF becomes '?', as "ls -q" shows them, so that
// no name can add lines of its own to a reply. Every other byte is kept.
String owlOneLine(const String& text);

// 1 when the text is exactly "1", else 0.
int owlDecodeBool(const char* text);
int owlDecodeBool(String text);

// atoi of the text; 0 when there is no number.
int owlDecodeInt(const char* text);
int owlDecodeInt(String text);
// Checking forms: when the text holds only digits and '-' (the empty text
// included) stores atoi of it in *out and returns 1; otherwise returns 0 and
// leaves *out unchanged.
int owlDecodeInt(const char* text, int* out);
int owlDecodeInt(String text, int* out);

// The 64-bit twins, built on atoll.
long long owlDecodeInt64(const char* text);
long long owlDecodeInt64(String text);
int owlDecodeInt64(const char* text, long long* out);
int owlDecodeInt64(String text, long long* out);
