// syncsocket: the agent's small socket library. Owns the listening socket
// (TcpListen), IPv4 name resolution (GetHostIP, GetMyIP), address formatting
// (IP2String), iplib_mutex and the blocking client socket TSyncSocket. The
// texts of addresses and errors (inet_ntoa_safe, GetErrorStr) are in
// text/systemtext.h, which this header includes for its users.
//
// Threads: the free functions are reentrant and may run on every session
// thread at once (resolution uses getaddrinfo, formatting inet_ntop). A
// TSyncSocket belongs to one thread. Every descriptor made here is
// close-on-exec.
#pragma once

#include <netinet/in.h>
#include <stdint.h>

#include <mutex>

#include "sync/mutex.h"
#include "text/systemtext.h"
#include "text/vtstring.h"

// Serialises any remaining use of the C library's non-reentrant lookup and
// formatting calls. Nothing in this module holds it across a network lookup.
// Lock order: showmutex may be held while taking it, never the reverse.
extern Mutex iplib_mutex;

// Opens a listening TCP socket (IPv4, SO_REUSEADDR, backlog 512) on node
// (null: every local address) and service (a port number or name).
// Success: the descriptor, err empty, *addrlen (when not null) the length of
// the bound address (16). Failure: 0, with err = the resolver's text,
// "socket() or bind() error" or "listen() error"; *addrlen unchanged.
int TcpListen(const char* node, const char* service, unsigned int* addrlen, String& err);
// The same with the port given as a number.
int TcpListen(const char* node, int port, unsigned int* addrlen, String& err);

// Resolves host, a dotted IPv4 address or a name, to an IPv4 address.
// Success: 1, *ip = the address in network byte order, err empty.
// Failure: -2 with err = "Cannot resolve server name to IP address" (also
// for a null host) or "Name resolution error: unknown address structure";
// *ip unchanged. ip may be null.
int GetHostIP(const char* host, unsigned int* ip, String& err);
// The address of the local host name in network byte order, 0 when it cannot
// be found.
unsigned int GetMyIP();
// The dotted-decimal text of ip (network byte order).
String IP2String(unsigned int ip);

// A blocking client socket of kind 1 (TCP) or 2 (UDP, also every other
// value). The socket is owned by the object and closed by Disconnect or the
// destructor.
class TSyncSocket {
  public:
    explicit TSyncSocket(int kind);
    ~TSyncSocket();
    TSyncSocket(const TSyncSocket&) = delete;
    TSyncSocket& operator=(const TSyncSocket&) = delete;

    // Connects the object's socket (closing any earlier one) to host:port.
    // Kind 1: PerformConnect with timeout in milliseconds (0: no limit of
    // its own), results 1, 0, -2, -3, -6. UDP: the host is resolved, a
    // datagram socket made and connected to it, which fixes the peer of
    // later sends (timeout unused); results 1, -2, -3, -6. The text of a
    // failure is in LastError; Socket keeps any socket made until
    // Disconnect.
    int Connect(const char* host, int port, int timeout);
    // Sends len bytes of buf with one send call (a partial send is not
    // continued; an interrupted one is retried). Empties LastError first.
    // Returns the count sent; 0 without sending when len < 1; -4 with
    // LastError = the system's text when sending fails (also without a
    // socket or with a null buf). flags is not used. Never raises SIGPIPE.
    int SendBuf(const char* buf, int len, int flags);
    // SendBuf over the bytes of s.
    int SendString(const String& s, int flags);
    // Empties LastError and closes the socket, if any; Socket becomes -1.
    void Disconnect();

    int32_t Socket;    // the descriptor, -1 when none is open
    int32_t Kind;      // 1 TCP, otherwise UDP
    String LastError;  // text of the last failure, "" after success
};
