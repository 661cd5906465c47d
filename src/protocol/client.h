// The console's side of the protocol, for owlctl and the tests: building a
// request packet, reading the reply packet off a connection and decrypting
// it. Reentrant; every call works on its own connection and buffers.
#pragma once

#include <vector>

#include "text/vtstring.h"

// The decrypted request text as the console writes it: the command and each
// parameter on a line of its own ended by LF, then the closing CR. CR and LF
// inside parameters are escaped.
String BuildRequestText(const String& command, const std::vector<String>& params);

// The whole request packet for text under password, with the session key
// encrypted under the password.
String BuildRequestPacket(const String& password, const String& sessionKey, const String& text);

// A fresh random session key of 16 printable bytes.
String NewSessionKey();

// Splits a reply packet: 1 with the decrypted text when the packet is whole
// (4-byte length then exactly that many bytes), else 0.
int DecodeReplyPacket(const String& packet, const String& sessionKey, String& text);

// Outcome of one exchange with an agent.
enum OwlExchangeResult {
    OWL_REPLY = 1,     // a whole reply packet arrived
    OWL_NO_REPLY = 0,  // the agent closed the connection without a reply
    OWL_CONNECT_FAILED = -1,
    OWL_TIMED_OUT = -2,
};

// A connected socket to host:port (IPv4 address or name), or -1 with err.
int ConnectAgent(const char* host, int port, int timeoutMs, String& err);
// Sends all of data; 1 on success, 0 with err.
int SendAll(int sock, const char* data, int len, String& err);
// Reads one reply packet (length field and body) from sock within
// timeoutMs. Returns an OwlExchangeResult; packet holds the raw bytes.
int ReadReplyPacket(int sock, int timeoutMs, String& packet, String& err);

// Connects, sends the packet and reads the reply packet.
int ExchangePacket(const char* host, int port, const String& request, int timeoutMs, String& reply,
                   String& err);

// One request: builds, sends, reads and decrypts. On OWL_REPLY, text holds
// the decrypted reply text.
int OwlRequest(const char* host, int port, const String& password, const String& command,
               const std::vector<String>& params, int timeoutMs, String& text, String& err);

// The 16-byte MD5 digest of an upgrade body.
String UpgradeDigest(const String& body);

// The upgrade conversation: "UpgradeCode" with the body's size; when the
// agent answers "200", the body and the encrypted digest go out unframed in
// pieces of chunk bytes (pausing pauseMs between pieces), then the final
// reply is read. firstText is the first reply, finalText the second (empty
// when the first was not "200"). Returns an OwlExchangeResult for the last
// reply it waited for.
int OwlUpgrade(const char* host, int port, const String& password, const String& body,
               const String& digest, int chunk, int pauseMs, int timeoutMs, String& firstText,
               String& finalText, String& err);
