// exchange: the agent as a client of other hosts. Owns the timed TCP
// connect (PerformConnect, TCPConnect), one TCP request and answer
// (SendReceiveTCPPacket), one UDP datagram and answer
// (SendReceiveUDPPacket) and the result codes they share with
// TSyncSocket::Connect and the syslog sender.
//
// Threads: every function keeps its state in locals and its own socket, so
// any number of session threads may call them at once. Every socket made
// here is close-on-exec; no call raises SIGPIPE. Hosts are IPv4 dotted
// addresses or names (resolved as GetHostIP does).
#pragma once

#include "text/vtstring.h"

// Result codes; each call also sets its error text (empty on success).
const int NET_CONNECTED = 1;        // a connect operation succeeded
const int NET_TIMEOUT = 0;          // "Timeout"
const int NET_NOT_RESOLVED = -2;    // the resolver's text
const int NET_NO_SOCKET = -3;       // the system's text; "ioctl error - " + it
const int NET_SEND_FAILED = -4;     // the system's text
const int NET_RECEIVE_FAILED = -5;  // the system's text
const int NET_CONNECT_FAILED = -6;  // the system's text

// Connects a new TCP socket to host:port. timeout 0: a blocking connect that
// lasts as long as the system tries; > 0: milliseconds, and the socket stays
// non-blocking afterwards; < 0 or a port outside 0..65535: -6 with the text
// of EINVAL. Returns 1, 0 ("Timeout"), -2, -3 or -6 with err set. sock is -1
// until a socket exists and then holds it in every case: the caller closes
// it.
int PerformConnect(int& sock, const char* host, int port, int timeout, String& err);
// PerformConnect, then closes the socket; its result and text.
int TCPConnect(const char* host, int port, int timeout, String& err);

// Connects as PerformConnect does, sends all sendlen bytes of sendbuf
// (none when sendlen < 1) within timeout milliseconds, then, when recvlen >
// 0, waits up to timeout (0: without limit) for the peer and receives once
// at most recvlen bytes into recvbuf. Returns the count received (0 when
// the peer closed without sending, err empty), or 1 when nothing was to be
// received; otherwise 0 "Timeout" (connect, send or wait), or -2, -3, -4,
// -5, -6 with err set. The socket is closed before returning.
int SendReceiveTCPPacket(const char* host, int port, int timeout, void* sendbuf, void* recvbuf,
                         int sendlen, int recvlen, String& err);

// Sends sendlen bytes of sendbuf (none when sendlen < 1) as one datagram to
// host:port, then, when recvlen > 0, waits up to timeout whole seconds
// (below 1: no wait) for one datagram from anyone and stores at most recvlen
// bytes of it in recvbuf. Returns the count received, or sent when nothing
// was to be received, with err empty; 0 "Timeout"; -2, -3, -4, -5 or -6 (a
// port outside 0..65535) with err set. The socket is closed before
// returning.
int SendReceiveUDPPacket(const char* host, int port, int timeout, void* sendbuf, void* recvbuf,
                         int sendlen, int recvlen, String& err);

// host as a C string for the calls above; null (which resolves to nothing)
// when it holds a zero byte, so that "good.host\0junk" is not taken as
// "good.host".
const char* HostArgument(String& host);

struct sockaddr_in;
// Fills addr with host (as GetHostIP resolves it) and port. 1; -2 with err =
// the resolver's text; -6 with err = the text of EINVAL for a port outside
// 0..65535.
int MakeAddress(const char* host, int port, sockaddr_in& addr, String& err);
