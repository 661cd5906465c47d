// QXRequest: the frame of one request packet. While it arrives it holds the
// raw bytes; after ParseInitRequest the authenticated, decrypted request text
// and the session key. The dispatcher hands handlers the parameter lines as a
// RequestParams (protocol/requestparams.h). A request belongs to its session thread. The parser
// writes no log of its own: its debug lines go to the sink that SetPacketDebugSink installs (the
// agent's log), once, before any session starts.
#pragma once

#include <netinet/in.h>
#include <stdint.h>

#include "text/vtstring.h"

// The largest packet the agent accepts: a peer that announces more is
// treated as sending an invalid packet as soon as the length has arrived.
const int MAX_PACKET_LENGTH = 16 * 1024 * 1024;

// Receives one debug line of the parser about peer: a printf format that
// takes value as its one int argument (or no argument at all), ending in LF.
typedef void (*PacketDebugSink)(in_addr peer, const char* format, int value);
// Installs the sink of every request's debug lines; null (the start) drops
// them unformatted. Set before any thread parses; read without a lock.
void SetPacketDebugSink(PacketDebugSink sink);

// What CheckPacketStart found wrong with the start of a packet.
enum PacketStart { PACKET_START_OK, PACKET_START_INVALID, PACKET_START_WRONG_PASSWORD };

class QXRequest : public String {
  public:
    String SessionKey;

    QXRequest() = default;
    QXRequest& operator=(const String& text);
    QXRequest& operator=(const char* text);

    // 1 when at least the minimum packet has arrived and the announced length
    // (plus its own 4 bytes, in 32 bits, compared signed) is not above what
    // is there.
    int WholePacket() const;
    // 1 when the 4-byte length field has arrived and announces more than
    // MAX_PACKET_LENGTH.
    int PacketTooLarge() const;
    // Checks the start of a packet that is still arriving (a whole packet
    // goes to ParseInitRequest instead): the announced length, the auth
    // bytes once they are here, the password digest's length and then the
    // digest itself. PACKET_START_OK when nothing is wrong so far; proven
    // becomes 1 once the digest has arrived and matched (an empty password
    // is proven by an empty digest). Otherwise the packet can no longer be
    // valid. Logs nothing: see LogRejectedStart.
    PacketStart CheckPacketStart(const String& password, int& proven) const;
    // How many first bytes of the packet hold every length field (up to the
    // end of the request's), as far as the fields already here tell.
    int HeaderLength() const;
    // The number of bytes at which the packet counts as whole (WholePacket);
    // 0 while its length field has not arrived or when it announces more
    // than MAX_PACKET_LENGTH.
    int64_t WholeLength() const;
    // The debug lines of a packet that CheckPacketStart refused with fault,
    // of which received bytes have come and this text holds the first ones
    // (at least HeaderLength of them when there are that many). When the
    // whole packet has come, the lines ParseInitRequest logs for it; else
    // the sizes that have come, then the wrong-password line for a wrong
    // digest.
    void LogRejectedStart(int64_t received, PacketStart fault, const String& password,
                          in_addr peer) const;
    // Checks length fields, auth bytes and the password digest, then decrypts
    // the session key and the request text. 1: the text is now the request
    // and SessionKey its key. 0: the text is unchanged, SessionKey empty.
    // peer only appears in the debug messages.
    int ParseInitRequest(const String& password, in_addr peer);
    String GetSessionKey() const { return SessionKey; }
};
