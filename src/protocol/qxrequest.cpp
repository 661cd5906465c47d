#include "protocol/qxrequest.h"

#include <stdint.h>
#include <string.h>

#include <atomic>

#include "protocol/owl_const.h"
#include "protocol/packetcipher.h"

namespace {

std::atomic<PacketDebugSink> g_debugSink{nullptr};

// Where the fields of a packet start (from 0). The digest, the session key
// and the request text each follow their length field, so what comes after
// them moves with their lengths P and K.
const int kAuthAt = OFFSET_AUTH - OFFSET_PACKET;
const int kDigestSizeAt = OFFSET_PSWD - OFFSET_PACKET;
const int kDigestAt = kDigestSizeAt + SIZELEN_PSWD;
int KeySizeAt(int64_t P) { return OFFSET_KEY - OFFSET_PACKET + (int)P; }
int KeyAt(int64_t P) { return KeySizeAt(P) + SIZELEN_KEY; }
int RequestSizeAt(int64_t P, int64_t K) { return OFFSET_REQUEST - OFFSET_PACKET + (int)(P + K); }
int64_t RequestAt(int64_t P, int64_t K) { return RequestSizeAt(P, K) + SIZELEN_REQUEST; }

bool AuthBytesRight(const char* p) {
    return (unsigned char)p[kAuthAt] == AUTH_BYTE1 && (unsigned char)p[kAuthAt + 1] == AUTH_BYTE2;
}

// How the password digest of a packet (P bytes announced, length bytes of
// the packet here) compares with the password's.
enum DigestCheck { DIGEST_WRONG, DIGEST_INCOMPLETE, DIGEST_MATCHES };

DigestCheck CheckDigest(const char* p, int64_t length, int64_t P, const String& password) {
    String digest = EncodePswd(password);
    if (P != digest.Length()) return DIGEST_WRONG;
    if (length < kDigestAt + P) return DIGEST_INCOMPLETE;
    if (P > 0 && memcmp(digest.Data(), p + kDigestAt, P) != 0) return DIGEST_WRONG;
    return DIGEST_MATCHES;
}

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
    if (length >= kDigestSizeAt && !AuthBytesRight(q.Data())) return START_INVALID;
    if (length < kDigestAt) return START_OK;
    const int P = DecodeLength(q.Data() + kDigestSizeAt, SIZELEN_PSWD);
    DigestCheck digest = CheckDigest(q.Data(), length, P, password);
    if (digest == DIGEST_INCOMPLETE) return START_OK;
    if (digest == DIGEST_WRONG) return START_WRONG_PASSWORD;
    proven = 1;
    return START_OK;
}

int QXRequest::CheckPacketStart(const String& password, in_addr peer, int& proven) const {
    PacketStartFault fault = FindStartFault(*this, password, proven);
    if (fault == START_OK) return 1;
    // The sizes known so far, as a whole packet would show them.
    Debug(peer, "<-- TCP packet size: %d\n", Length());
    if (Length() >= kAuthAt) Debug(peer, "<-- OWL packet size: %d\n", DecodeLength(Data(), 4));
    if (Length() >= kDigestAt)
        Debug(peer, "<-- Pswd size: %d\n", DecodeLength(Data() + kDigestSizeAt, SIZELEN_PSWD));
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
    if (L + kAuthAt != length) return 0;

    const int64_t P = (uint32_t)DecodeLength(p + kDigestSizeAt, SIZELEN_PSWD);
    Debug(peer, "<-- Pswd size: %d\n", (int)P);
    if (RequestAt(P, 0) > length) return 0;

    const int64_t K = (uint32_t)DecodeLength(p + KeySizeAt(P), SIZELEN_KEY);
    Debug(peer, "<-- Key size: %d\n", (int)K);
    if (RequestAt(P, K) > length) return 0;

    const int64_t R = (uint32_t)DecodeLength(p + RequestSizeAt(P, K), SIZELEN_REQUEST);
    Debug(peer, "<-- Req size: %d\n", (int)R);
    if (RequestAt(P, K) + R > length) return 0;

    if (!AuthBytesRight(p)) return 0;
    if (CheckDigest(p, length, P, password) != DIGEST_MATCHES) {
        Debug(peer, "<-- Wrong password or MD5 error\n");
        return 0;
    }

    String key;
    key.CopyData(p + KeyAt(P), (int)K);
    SessionKey = DecodeData(key, password);
    String text;
    text.CopyData(p + RequestAt(P, K), (int)R);
    String plain = DecodeData(text, SessionKey);
    String::operator=(plain);
    return 1;
}
