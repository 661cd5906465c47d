#include "protocol/qxrequest.h"

#include <stdint.h>
#include <string.h>

#include <atomic>

#include "protocol/owl_const.h"
#include "protocol/packetcipher.h"

namespace {

std::atomic<PacketDebugSink> g_debugSink{nullptr};

// One debug line about peer to the installed sink, if any.
void Debug(in_addr peer, const char* format, int value = 0) {
    PacketDebugSink sink = g_debugSink.load(std::memory_order_relaxed);
    if (sink != nullptr) sink(peer, format, value);
}

}  // namespace

void SetPacketDebugSink(PacketDebugSink sink) { g_debugSink.store(sink); }

QXRequest& QXRequest::operator=(const String& text) {
    String::operator=(text);
    return *this;
}

QXRequest& QXRequest::operator=(const char* text) {
    String::operator=(text);
    return *this;
}

int QXRequest::WholePacket() const {
    if (Length() < SIZELEN_MINIMUM) return 0;
    int32_t whole = (int32_t)((uint32_t)DecodeLength(Data(), 4) + 4u);
    return whole <= Length();
}

int QXRequest::PacketTooLarge() const {
    if (Length() < 4) return 0;
    return (uint32_t)DecodeLength(Data(), 4) > (uint32_t)MAX_PACKET_LENGTH;
}

// What is wrong with the start of a packet that is still arriving.
enum PacketStartFault { START_OK, START_INVALID, START_WRONG_PASSWORD };

static PacketStartFault FindStartFault(const QXRequest& q, const String& password, int& proven) {
    if (q.PacketTooLarge()) return START_INVALID;
    if (proven) return START_OK;
    const int length = q.Length();
    const unsigned char* p = (const unsigned char*)q.Data();
    if (length >= 6 && (p[4] != AUTH_BYTE1 || p[5] != AUTH_BYTE2)) return START_INVALID;
    if (length < 8) return START_OK;
    const int P = DecodeLength(q.Data() + 6, 2);
    String digest = EncodePswd(password);
    bool wrong = P != digest.Length();
    if (!wrong && length < 8 + P) return START_OK;
    if (!wrong && P > 0) wrong = memcmp(digest.Data(), p + 8, P) != 0;
    if (wrong) return START_WRONG_PASSWORD;
    proven = 1;
    return START_OK;
}

int QXRequest::CheckPacketStart(const String& password, in_addr peer, int& proven) const {
    PacketStartFault fault = FindStartFault(*this, password, proven);
    if (fault == START_OK) return 1;
    // The sizes known so far, as a whole packet would show them.
    Debug(peer, "<-- TCP packet size: %d\n", Length());
    if (Length() >= 4) Debug(peer, "<-- OWL packet size: %d\n", DecodeLength(Data(), 4));
    if (Length() >= 8) Debug(peer, "<-- Pswd size: %d\n", DecodeLength(Data() + 6, 2));
    if (fault == START_WRONG_PASSWORD) Debug(peer, "<-- Wrong password or MD5 error\n");
    return 0;
}

int QXRequest::ParseInitRequest(const String& password, in_addr peer) {
    SessionKey = "";
    const int64_t length = Length();
    Debug(peer, "<-- TCP packet size: %d\n", Length());
    if (length < SIZELEN_MINIMUM) return 0;

    const char* p = Data();
    const int64_t L = (uint32_t)DecodeLength(p, 4);
    Debug(peer, "<-- OWL packet size: %d\n", (int)L);
    if (L + 4 != length) return 0;

    const int64_t P = (uint32_t)DecodeLength(p + 6, 2);
    Debug(peer, "<-- Pswd size: %d\n", (int)P);
    if (14 + P > length) return 0;

    const int64_t K = (uint32_t)DecodeLength(p + 8 + P, 2);
    Debug(peer, "<-- Key size: %d\n", (int)K);
    if (14 + P + K > length) return 0;

    const int64_t R = (uint32_t)DecodeLength(p + 10 + P + K, 4);
    Debug(peer, "<-- Req size: %d\n", (int)R);
    if (14 + P + K + R > length) return 0;

    if ((unsigned char)p[4] != AUTH_BYTE1 || (unsigned char)p[5] != AUTH_BYTE2) return 0;

    String digest = EncodePswd(password);
    if (digest.Length() != P || (P > 0 && memcmp(digest.Data(), p + 8, P) != 0)) {
        Debug(peer, "<-- Wrong password or MD5 error\n");
        return 0;
    }

    String key;
    key.CopyData(p + 10 + P, (int)K);
    SessionKey = DecodeData(key, password);
    String text;
    text.CopyData(p + 14 + P + K, (int)R);
    String plain = DecodeData(text, SessionKey);
    String::operator=(plain);
    return 1;
}

int QXRequest::GetParamsCount() const {
    int count = 0;
    for (int i = 0; i < Length(); i++)
        if (Data()[i] == '\n') count++;
    return count;
}

String QXRequest::GetParam(int index, int trim) const {
    const char* p = Data();
    int remaining = Length();
    int line = 1;
    while (line < index && remaining > 0) {
        if (*p == '\n') line++;
        p++;
        remaining--;
    }
    String result;
    if (remaining <= 0) return result;
    const void* lf = memchr(p, '\n', remaining);
    int n = lf ? (int)((const char*)lf - p) : remaining;
    result.CopyData(p, n);
    if (trim) result.Trim();
    return result;
}
