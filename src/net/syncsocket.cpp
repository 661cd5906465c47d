#include "net/syncsocket.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netdb.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include "net/exchange.h"

Mutex iplib_mutex;

namespace {

const char kNotResolved[] = "Cannot resolve server name to IP address";
const char kBadAddress[] = "Name resolution error: unknown address structure";

// Callers take 0 for failure, so a listening socket must not be descriptor 0
// (possible when the agent was started with its standard input closed).
int AvoidDescriptorZero(int fd) {
    if (fd != 0) return fd;
    int moved = fcntl(fd, F_DUPFD_CLOEXEC, 1);
    close(fd);
    return moved;
}

// Creates, configures and binds one socket for the address; -1 on failure.
int BindOne(const addrinfo* ai) {
    int fd = socket(ai->ai_family, ai->ai_socktype | SOCK_CLOEXEC, ai->ai_protocol);
    if (fd < 0) return -1;
    fd = AvoidDescriptorZero(fd);
    if (fd < 0) return -1;
    int on = 1;
    // So that a restarted agent can bind again at once while old
    // connections linger.
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
    if (bind(fd, ai->ai_addr, ai->ai_addrlen) == 0) return fd;
    shutdown(fd, SHUT_RDWR);
    close(fd);
    return -1;
}

}  // namespace

int TcpListen(const char* node, const char* service, unsigned int* addrlen, String& err) {
    err = "";
    addrinfo hints;
    memset(&hints, 0, sizeof(hints));
    hints.ai_flags = AI_PASSIVE;
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* list = nullptr;
    int rc = getaddrinfo(node, service, &hints, &list);
    if (rc != 0) {
        err = gai_strerror(rc);
        return 0;
    }

    int fd = -1;
    const addrinfo* bound = nullptr;
    for (const addrinfo* ai = list; ai != nullptr && fd < 0; ai = ai->ai_next) {
        fd = BindOne(ai);
        if (fd >= 0) bound = ai;
    }
    if (fd < 0) {
        freeaddrinfo(list);
        err = "socket() or bind() error";
        return 0;
    }
    if (listen(fd, 512) != 0) {
        shutdown(fd, SHUT_RDWR);
        close(fd);
        freeaddrinfo(list);
        err = "listen() error";
        return 0;
    }
    if (addrlen != nullptr) *addrlen = (unsigned int)bound->ai_addrlen;
    freeaddrinfo(list);
    return fd;
}

int TcpListen(const char* node, int port, unsigned int* addrlen, String& err) {
    char service[16];
    snprintf(service, sizeof(service), "%d", port);
    return TcpListen(node, service, addrlen, err);
}

int GetHostIP(const char* host, unsigned int* ip, String& err) {
    err = "";
    if (host == nullptr) {
        err = kNotResolved;
        return NET_NOT_RESOLVED;
    }
    in_addr_t literal = inet_addr(host);
    if (literal != INADDR_NONE) {
        if (ip != nullptr) *ip = literal;
        return 1;
    }

    // getaddrinfo is reentrant, so a slow lookup holds up no other thread.
    addrinfo hints;
    memset(&hints, 0, sizeof(hints));
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* list = nullptr;
    if (getaddrinfo(host, nullptr, &hints, &list) != 0 || list == nullptr) {
        err = kNotResolved;
        return NET_NOT_RESOLVED;
    }
    int result = 1;
    if (list->ai_family != AF_INET || list->ai_addr == nullptr ||
        list->ai_addrlen < sizeof(sockaddr_in)) {
        err = kBadAddress;
        result = NET_NOT_RESOLVED;
    } else if (ip != nullptr) {
        *ip = ((const sockaddr_in*)list->ai_addr)->sin_addr.s_addr;
    }
    freeaddrinfo(list);
    return result;
}

unsigned int GetMyIP() {
    char name[254];
    if (gethostname(name, sizeof(name)) != 0) return 0;
    name[sizeof(name) - 1] = 0;  // a cut name may come back unterminated
    unsigned int ip = 0;
    String err;
    return GetHostIP(name, &ip, err) == 1 ? ip : 0;
}

String IP2String(unsigned int ip) {
    in_addr a;
    a.s_addr = ip;
    char buf[24];
    return String(inet_ntoa_safe(a, buf, sizeof(buf)));
}

TSyncSocket::TSyncSocket(int kind) : Socket(-1), Kind(kind) {}

TSyncSocket::~TSyncSocket() { Disconnect(); }

int TSyncSocket::Connect(const char* host, int port, int timeout) {
    Disconnect();
    if (Kind == 1) return PerformConnect(Socket, host, port, timeout, LastError);
    sockaddr_in addr;
    int r = MakeAddress(host, port, addr, LastError);
    if (r != 1) return r;
    Socket = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (Socket < 0) {
        LastError = GetErrorStr(errno);
        return NET_NO_SOCKET;
    }
    if (connect(Socket, (sockaddr*)&addr, sizeof(addr)) != 0) {
        LastError = GetErrorStr(errno);
        return NET_CONNECT_FAILED;
    }
    return NET_CONNECTED;
}

int TSyncSocket::SendBuf(const char* buf, int len, int flags) {
    (void)flags;
    LastError = "";
    if (len < 1) return 0;
    if (buf == nullptr) {
        LastError = GetErrorStr(EFAULT);
        return NET_SEND_FAILED;
    }
    ssize_t sent;
    do {
        // MSG_NOSIGNAL: a peer that has gone away is a failed send, not the
        // end of the process.
        sent = send(Socket, buf, (size_t)len, MSG_NOSIGNAL);
    } while (sent < 0 && errno == EINTR);
    if (sent < 0) {
        LastError = GetErrorStr(errno);
        return NET_SEND_FAILED;
    }
    return (int)sent;
}

int TSyncSocket::SendString(const String& s, int flags) {
    return SendBuf(s.Data(), s.Length(), flags);
}

void TSyncSocket::Disconnect() {
    LastError = "";
    if (Socket != -1) {
        close(Socket);
        Socket = -1;
    }
}
