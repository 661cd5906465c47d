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

PacketStart QXRequest::CheckPacketStart(const String& password, int& proven) const {
    if (PacketTooLarge()) return PACKET_START_INVALID;
    if (proven) return PACKET_START_OK;
    const int length = Length();
    if (length >= kDigestSizeAt && !AuthBytesRight(Data())) return PACKET_START_INVALID;
    if (length < kDigestAt) return PACKET_START_OK;
    const int P = DecodeLength(Data() + kDigestSizeAt, SIZELEN_PSWD);
    DigestCheck digest = CheckDigest(Data(), length, P, password);
    if (digest == DIGEST_INCOMPLETE) return PACKET_START_OK;
    if (digest == DIGEST_WRONG) return PACKET_START_WRONG_PASSWORD;
    proven = 1;
    return PACKET_START_OK;
}

int QXRequest::HeaderLength() const {
    if (Length() < kDigestAt) return kDigestAt;
    const int P = DecodeLength(Data() + kDigestSizeAt, SIZELEN_PSWD);
    if (Length() < KeyAt(P)) return KeyAt(P);
    return (int)RequestAt(P, DecodeLength(Data() + KeySizeAt(P), SIZELEN_KEY));
}

int64_t QXRequest::WholeLength() const {
    if (Length() < kAuthAt || PacketTooLarge()) return 0;
    const int64_t whole = (int64_t)(uint32_t)DecodeLength(Data(), 4) + kAuthAt;
    return whole < SIZELEN_MINIMUM ? SIZELEN_MINIMUM : whole;
}

namespace {

// The length fields of a packet.
struct PacketSizes {
    int64_t L = 0, P = 0, K = 0, R = 0;
};

// Reads the length fields of a packet of total bytes whose first have bytes
// are at p, logging each size as it is read. For a whole packet it stops at
// the first size that the packet cannot hold; for one still arriving, at the
// first field that has not come. true when every field was read and fits.
bool ReadSizes(const char* p, int64_t have, int64_t total, bool whole, in_addr peer,
               PacketSizes& f) {
    Debug(peer, "<-- TCP packet size: %d\n", (int)total);
    if (have < kAuthAt || (whole && total < SIZELEN_MINIMUM)) return false;
    f.L = (uint32_t)DecodeLength(p, 4);
    Debug(peer, "<-- OWL packet size: %d\n", (int)f.L);
    if (have < kDigestAt || (whole && f.L + kAuthAt != total)) return false;
    f.P = (uint32_t)DecodeLength(p + kDigestSizeAt, SIZELEN_PSWD);
    Debug(peer, "<-- Pswd size: %d\n", (int)f.P);
    if (have < KeyAt(f.P) || (whole && RequestAt(f.P, 0) > total)) return false;
    f.K = (uint32_t)DecodeLength(p + KeySizeAt(f.P), SIZELEN_KEY);
    Debug(peer, "<-- Key size: %d\n", (int)f.K);
    if (have < RequestAt(f.P, f.K) || (whole && RequestAt(f.P, f.K) > total)) return false;
    f.R = (uint32_t)DecodeLength(p + RequestSizeAt(f.P, f.K), SIZELEN_REQUEST);
    Debug(peer, "<-- Req size: %d\n", (int)f.R);
    return whole && RequestAt(f.P, f.K) + f.R <= total;
}

// The checks of a whole packet after its sizes: the auth bytes, then the
// digest (logged when wrong). have bytes are at p, the digest among them.
bool AuthAndDigestRight(const char* p, int64_t have, const PacketSizes& f, const String& password,
                        in_addr peer) {
    if (!AuthBytesRight(p)) return false;
    if (CheckDigest(p, have, f.P, password) == DIGEST_MATCHES) return true;
    Debug(peer, "<-- Wrong password or MD5 error\n");
    return false;
}

}  // namespace

void QXRequest::LogRejectedStart(int64_t received, PacketStart fault, const String& password,
                                 in_addr peer) const {
    const int64_t whole = WholeLength();
    PacketSizes f;
    if (whole > 0 && received >= whole) {
        if (ReadSizes(Data(), Length(), received, true, peer, f))
            AuthAndDigestRight(Data(), Length(), f, password, peer);
        return;
    }
    ReadSizes(Data(), Length(), received, false, peer, f);
    if (fault == PACKET_START_WRONG_PASSWORD) Debug(peer, "<-- Wrong password or MD5 error\n");
}

int QXRequest::ParseInitRequest(const String& password, in_addr peer) {
    SessionKey = "";
    const int64_t length = Length();
    const char* p = Data();
    PacketSizes f;
    if (!ReadSizes(p, length, length, true, peer, f)) return 0;
    if (!AuthAndDigestRight(p, length, f, password, peer)) return 0;
    const int64_t P = f.P, K = f.K, R = f.R;

    String key;
    key.CopyData(p + KeyAt(P), (int)K);
    SessionKey = DecodeData(key, password);
    String text;
    text.CopyData(p + RequestAt(P, K), (int)R);
    String plain = DecodeData(text, SessionKey);
    String::operator=(plain);
    return 1;
}
