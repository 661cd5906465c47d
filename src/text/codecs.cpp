#include "text/codecs.h"

#include <stdlib.h>
#include <string.h>

String owlEncodeStrings(const char* text, int n) {
    String result;
    if (text == nullptr) return result;
    if (n <= 0) n = (int)strlen(text);  // -1, as elsewhere, also means "up to the zero"
    int start = 0;
    for (int i = 0; i < n; i++) {
        if (text[i] != '\r' && text[i] != '\n') continue;
        result.AddData(text + start, i - start);
        result.AddData(text[i] == '\r' ? "%0D" : "%0A", 3);
        start = i + 1;
    }
    result.AddData(text + start, n - start);
    return result;
}

String owlEncodeStrings(const String& text) {
    if (text.Length() == 0) return String();
    return owlEncodeStrings(text.Data(), text.Length());
}

String owlDecodeStrings(const char* text, int n) {
    String result;
    if (text == nullptr) return result;
    if (n <= 0) n = (int)strlen(text);  // -1, as elsewhere, also means "up to the zero"
    int start = 0;
    int i = 0;
    while (i < n) {
        if (text[i] == '%' && i + 2 < n && text[i + 1] == '0' &&
            (text[i + 2] == 'D' || text[i + 2] == 'A')) {
            result.AddData(text + start, i - start);
            result.AddChar(text[i + 2] == 'D' ? '\r' : '\n');
            i += 3;
            start = i;
        } else {
            i++;
        }
    }
    result.AddData(text + start, n - start);
    return result;
}

String owlDecodeStrings(const String& text) {
    if (text.Length() == 0) return String();
    return owlDecodeStrings(text.Data(), text.Length());
}

int owlDecodeBool(const char* text) { return text != nullptr && strcmp(text, "1") == 0; }

int owlDecodeBool(String text) { return owlDecodeBool(text.SetZero().Data()); }

int owlDecodeInt(const char* text) { return text ? atoi(text) : 0; }

int owlDecodeInt(String text) { return owlDecodeInt(text.SetZero().Data()); }

int owlDecodeInt(const char* text, int* out) {
    if (text == nullptr || !isdecimalnum(text)) return 0;
    *out = atoi(text);
    return 1;
}

int owlDecodeInt(String text, int* out) { return owlDecodeInt(text.SetZero().Data(), out); }

long long owlDecodeInt64(const char* text) { return text ? atoll(text) : 0; }

long long owlDecodeInt64(String text) { return owlDecodeInt64(text.SetZero().Data()); }

int owlDecodeInt64(const char* text, long long* out) {
    if (text == nullptr || !isdecimalnum(text)) return 0;
    *out = atoll(text);
    return 1;
}

int owlDecodeInt64(String text, long long* out) {
    return owlDecodeInt64(text.SetZero().Data(), out);
}

String owlOneLine(const String& text) {
    String line = text;
    char* p = line.Data();
    for (int i = 0; i < line.Length(); i++)
        if (p[i] == '\r' || p[i] == '\n') p[i] = '?';
    return line;
}
