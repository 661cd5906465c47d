#include "net/exchange.h"

#include <errno.h>
#include <netinet/in.h>
#include <poll.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include "net/syncsocket.h"

namespace {

const char kTimeout[] = "Timeout";

long long NowMs() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (long long)ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
}

// Waits up to ms milliseconds (negative: without limit) for events on fd.
// 1 when they came (or an error or hang-up is pending), 0 at the time-out,
// -1 with errno when the wait fails. Interruptions do not end the wait.
int WaitFor(int fd, short events, long long ms) {
    long long deadline = ms < 0 ? -1 : NowMs() + ms;
    for (;;) {
        long long left = deadline < 0 ? -1 : deadline - NowMs();
        if (deadline >= 0 && left < 0) left = 0;
        pollfd p = {fd, events, 0};
        int wait = left < 0 ? -1 : left > 1000000000 ? 1000000000 : (int)left;
        int rc = poll(&p, 1, wait);
        if (rc > 0) return 1;
        if (rc < 0 && errno != EINTR) return -1;
        if (rc == 0 && deadline >= 0 && NowMs() >= deadline) return 0;
    }
}

int Fail(String& err, int error, int code) {
    err = GetErrorStr(error);
    return code;
}

// A blocking connect interrupted by a signal goes on in the background:
// wait for its end and take its outcome.
int FinishInterruptedConnect(int sock, String& err) {
    if (WaitFor(sock, POLLOUT, -1) < 0) return Fail(err, errno, NET_CONNECT_FAILED);
    int pending = 0;
    socklen_t len = sizeof(pending);
    if (getsockopt(sock, SOL_SOCKET, SO_ERROR, &pending, &len) != 0)
        return Fail(err, errno, NET_CONNECT_FAILED);
    return pending == 0 ? NET_CONNECTED : Fail(err, pending, NET_CONNECT_FAILED);
}

// Sends all len bytes within the time-out (ms; 0: the socket blocks).
// 1, 0 with "Timeout", or -4 with the system's text.
int SendAll(int sock, const char* data, int len, int timeout, String& err) {
    long long deadline = timeout > 0 ? NowMs() + timeout : -1;
    while (len > 0) {
        ssize_t n = send(sock, data, (size_t)len, MSG_NOSIGNAL);
        if (n > 0) {
            data += n;
            len -= (int)n;
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK)
            return Fail(err, errno, NET_SEND_FAILED);
        long long left = deadline < 0 ? -1 : deadline - NowMs();
        int ready = deadline >= 0 && left <= 0 ? 0 : WaitFor(sock, POLLOUT, left);
        if (ready < 0) return Fail(err, errno, NET_SEND_FAILED);
        if (ready == 0) {
            err = kTimeout;
            return NET_TIMEOUT;
        }
    }
    return 1;
}

// Waits up to ms for an answer and receives once. The count (0: the peer
// closed), 0 with "Timeout", or -5 with the system's text.
int ReceiveOnce(int sock, void* buf, int len, long long ms, String& err) {
    if (WaitFor(sock, POLLIN, ms) != 1) {
        err = kTimeout;
        return NET_TIMEOUT;
    }
    ssize_t n;
    do {
        n = recv(sock, buf, (size_t)len, 0);
    } while (n < 0 && errno == EINTR);
    if (n >= 0) return (int)n;
    if (errno == ETIMEDOUT) {
        err = kTimeout;
        return NET_TIMEOUT;
    }
    return Fail(err, errno, NET_RECEIVE_FAILED);
}

void CloseSocket(int& sock) {
    if (sock >= 0) close(sock);
    sock = -1;
}

}  // namespace

const char* HostArgument(String& host) {
    if (host.Length() > 0 && memchr(host.Data(), 0, (size_t)host.Length()) != nullptr)
        return nullptr;
    host.SetZero();
    return host.Data() != nullptr ? host.Data() : "";
}

int MakeAddress(const char* host, int port, sockaddr_in& addr, String& err) {
    memset(&addr, 0, sizeof(addr));
    unsigned int ip = 0;
    int r = GetHostIP(host, &ip, err);
    if (r != 1) return r;
    // A port that does not fit would silently reach another one.
    if (port < 0 || port > 65535) return Fail(err, EINVAL, NET_CONNECT_FAILED);
    addr.sin_family = AF_INET;
    addr.sin_port = htons((uint16_t)port);
    addr.sin_addr.s_addr = ip;
    return 1;
}

int PerformConnect(int& sock, const char* host, int port, int timeout, String& err) {
    err = "";
    sock = -1;
    sockaddr_in addr;
    int r = MakeAddress(host, port, addr, err);
    if (r != 1) return r;
    sock = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (sock < 0) return Fail(err, errno, NET_NO_SOCKET);

    if (timeout == 0) {
        if (connect(sock, (sockaddr*)&addr, sizeof(addr)) == 0) return NET_CONNECTED;
        if (errno == EINTR) return FinishInterruptedConnect(sock, err);
        return Fail(err, errno, NET_CONNECT_FAILED);
    }
    if (timeout < 0) return Fail(err, EINVAL, NET_CONNECT_FAILED);

    int on = 1;
    if (ioctl(sock, FIONBIO, &on) != 0) {
        err = String("ioctl error - ") + GetErrorStr(errno);
        return NET_NO_SOCKET;
    }
    if (connect(sock, (sockaddr*)&addr, sizeof(addr)) != 0 && errno != EINPROGRESS &&
        errno != EALREADY && errno != EISCONN && errno != EINTR)
        return Fail(err, errno, NET_CONNECT_FAILED);

    int ready = WaitFor(sock, POLLOUT, timeout);
    if (ready == 0) {
        err = kTimeout;
        return NET_TIMEOUT;
    }
    if (ready < 0) return Fail(err, errno, NET_CONNECT_FAILED);
    int pending = 0;
    socklen_t len = sizeof(pending);
    if (getsockopt(sock, SOL_SOCKET, SO_ERROR, &pending, &len) != 0)
        return Fail(err, errno, NET_CONNECT_FAILED);
    if (pending != 0 || len != sizeof(pending)) return Fail(err, pending, NET_CONNECT_FAILED);
    return NET_CONNECTED;
}

int TCPConnect(const char* host, int port, int timeout, String& err) {
    int sock = -1;
    int r = PerformConnect(sock, host, port, timeout, err);
    CloseSocket(sock);
    return r;
}

int SendReceiveTCPPacket(const char* host, int port, int timeout, void* sendbuf, void* recvbuf,
                         int sendlen, int recvlen, String& err) {
    int sock = -1;
    int r = PerformConnect(sock, host, port, timeout, err);
    if (r == NET_CONNECTED && sendlen > 0)
        r = sendbuf != nullptr ? SendAll(sock, (const char*)sendbuf, sendlen, timeout, err)
                               : Fail(err, EFAULT, NET_SEND_FAILED);
    if (r == NET_CONNECTED && recvlen > 0)
        r = recvbuf != nullptr
                ? ReceiveOnce(sock, recvbuf, recvlen, timeout > 0 ? timeout : -1, err)
                : Fail(err, EFAULT, NET_RECEIVE_FAILED);
    CloseSocket(sock);
    return r;
}

int SendReceiveUDPPacket(const char* host, int port, int timeout, void* sendbuf, void* recvbuf,
                         int sendlen, int recvlen, String& err) {
    err = "";
    sockaddr_in addr;
    int r = MakeAddress(host, port, addr, err);
    if (r != 1) return r;
    int sock = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (sock < 0) return Fail(err, errno, NET_NO_SOCKET);

    int count = 0;
    if (sendlen > 0) {
        ssize_t n = -1;
        if (sendbuf == nullptr)
            errno = EFAULT;
        else
            do {
                n = sendto(sock, sendbuf, (size_t)sendlen, MSG_NOSIGNAL, (sockaddr*)&addr,
                           sizeof(addr));
            } while (n < 0 && errno == EINTR);
        if (n < 0) {
            r = Fail(err, errno, NET_SEND_FAILED);
            CloseSocket(sock);
            return r;
        }
        count = (int)n;
    }
    if (recvlen > 0) {
        count = recvbuf != nullptr
                    ? ReceiveOnce(sock, recvbuf, recvlen, timeout > 0 ? timeout * 1000LL : 0, err)
                    : Fail(err, EFAULT, NET_RECEIVE_FAILED);
        if (count <= 0 && err.Length() > 0) {
            CloseSocket(sock);
            return count;
        }
    }
    CloseSocket(sock);
    err = "";
    return count;
}
