#include "protocol/owlreply.h"

#include <stdarg.h>
#include <stdio.h>

#include "protocol/packetcipher.h"
#include "text/codecs.h"

OWLReply& OWLReply::operator=(const String& text) {
    String::operator=(text);
    return *this;
}

OWLReply& OWLReply::operator=(const char* text) {
    String::operator=(text);
    return *this;
}

void OWLReply::InitPacket(const char* text, const String& key) {
    String::operator=(text);
    if (text != nullptr) AddChar('\n');
    SessionKey = key;
}

String& OWLReply::SetResult(const char* code) {
    String::operator=(code);
    if (code != nullptr) AddChar('\n');
    return *this;
}

void OWLReply::CommandSeparatorCheck() {
    if (Length() > 0 && (*this)[Length()] != '\n') AddChar('\n');
}

void OWLReply::AddIntParam(int value) { AddVarParams("%d", value); }

void OWLReply::AddIntParam(long long value) { AddVarParams("%6lld", value); }

void OWLReply::AddRealParam(double value) {
    char buffer[35];
    snprintf(buffer, sizeof buffer, "%6.4f", value);
    AddStringParam(buffer, VALUE_AS_IS);
}

void OWLReply::AddBoolParam(int value) { AddStringParam(value ? "1" : "0", VALUE_AS_IS); }

void OWLReply::AddTimeParam(const struct tm& t) {
    AddVarParams("%2.2d%2.2d%4.4d%2.2d%2.2d%2.2d", t.tm_mday, t.tm_mon + 1, t.tm_year + 1900,
                 t.tm_hour, t.tm_min, t.tm_sec);
}

void OWLReply::AddTimeParam(const long& t) {
    time_t when = (time_t)t;
    struct tm local;
    localtime_r(&when, &local);
    AddTimeParam(local);
}

void OWLReply::AddStringParam(const char* text, int encode) {
    CommandSeparatorCheck();
    if (text != nullptr) {
        if (encode)
            *this += owlEncodeStrings(text, 0);
        else
            AddData(text, -1);
    }
    AddChar('\n');
}

void OWLReply::AddStringParam(const String& s, int encode) {
    CommandSeparatorCheck();
    if (encode)
        *this += owlEncodeStrings(s);
    else
        *this += s;
    AddChar('\n');
}

void OWLReply::AddVarParams(const char* format, ...) {
    char buffer[2048];
    va_list args;
    va_start(args, format);
    int n = vsnprintf(buffer, sizeof buffer, format, args);
    va_end(args);
    if (n < 0 || n > (int)sizeof buffer) return;
    AddStringParam(buffer, VALUE_AS_IS);
}

void OWLReply::FinalizePacket() {
    CommandSeparatorCheck();
    AddChar('\r');
    String packet = EncodeData(*this, SessionKey, 4);
    String::operator=(packet);
}
