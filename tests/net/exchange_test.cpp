// TCP and UDP client exchanges and the syslog datagram against small
// stand-ins on 127.0.0.1.
#include "net/exchange.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <string>
#include <thread>

#include "net/syncsocket.h"
#include "net/syslog.h"
#include "support/process.h"

namespace {

std::string S(const String& s) { return std::string(s.Data() ? s.Data() : "", s.Length()); }

long long Ms() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

int PortOf(int fd) {
    sockaddr_in addr;
    socklen_t len = sizeof(addr);
    getsockname(fd, (sockaddr*)&addr, &len);
    return ntohs(addr.sin_port);
}

// A TCP stand-in: accepts one connection and hands it to serve.
struct TcpPeer {
    explicit TcpPeer(std::function<void(int)> serve, int backlog = 8) {
        String err;
        listener = TcpListen("127.0.0.1", 0, nullptr, err);
        listen(listener, backlog);
        port = PortOf(listener);
        if (serve)
            thread = std::thread([this, serve] {
                pollfd p = {listener, POLLIN, 0};
                if (poll(&p, 1, 5000) != 1) return;
                int c = accept(listener, nullptr, nullptr);
                serve(c);
                close(c);
            });
    }
    ~TcpPeer() {
        if (thread.joinable()) thread.join();
        close(listener);
    }
    int listener, port;
    std::thread thread;
};

// A UDP socket bound to 127.0.0.1.
struct UdpPeer {
    UdpPeer() {
        fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in addr = {};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(fd, (sockaddr*)&addr, sizeof(addr));
        port = PortOf(fd);
    }
    ~UdpPeer() { close(fd); }
    // One datagram within 3 s; its sender in *from when given.
    std::string Receive(sockaddr_in* from = nullptr) {
        pollfd p = {fd, POLLIN, 0};
        if (poll(&p, 1, 3000) != 1) return "<nothing>";
        char buf[70000];
        sockaddr_in peer;
        socklen_t len = sizeof(peer);
        ssize_t n = recvfrom(fd, buf, sizeof(buf), 0, (sockaddr*)&peer, &len);
        if (from) *from = peer;
        return std::string(buf, n > 0 ? n : 0);
    }
    int fd, port;
};

std::string ReadAll(int c, size_t upTo) {
    std::string got;
    char buf[65536];
    while (got.size() < upTo) {
        ssize_t n = recv(c, buf, sizeof(buf), 0);
        if (n <= 0) break;
        got.append(buf, n);
    }
    return got;
}

TEST(Exchange, TcpOutcomes) {
    char in[100];
    String err("stale");
    // Refused.
    int closed = FreeLoopbackPort();
    EXPECT_EQ(TCPConnect("127.0.0.1", closed, 2000, err), -6);
    EXPECT_EQ(S(err), S(GetErrorStr(ECONNREFUSED)));
    EXPECT_EQ(SendReceiveTCPPacket("127.0.0.1", closed, 0, nullptr, in, 0, 10, err), -6);
    // Bad names and ports.
    EXPECT_EQ(TCPConnect("no.such.host.invalid", 80, 500, err), -2);
    EXPECT_EQ(S(err), "Cannot resolve server name to IP address");
    EXPECT_EQ(TCPConnect(nullptr, 80, 500, err), -2);
    for (int port : {-1, 70000}) {
        EXPECT_EQ(TCPConnect("127.0.0.1", port, 500, err), -6);
        EXPECT_EQ(S(err), S(GetErrorStr(EINVAL)));
    }
    {  // Only connects.
        TcpPeer peer([](int) {});
        EXPECT_EQ(SendReceiveTCPPacket("127.0.0.1", peer.port, 1000, nullptr, in, 0, 0, err), 1);
        EXPECT_EQ(S(err), "");
    }
    {  // Closes at once: zero bytes, no error.
        TcpPeer peer([](int) {});
        EXPECT_EQ(SendReceiveTCPPacket("127.0.0.1", peer.port, 1000, nullptr, in, 0, 10, err), 0);
        EXPECT_EQ(S(err), "");
    }
    {  // Silent: a time-out after the time-out.
        TcpPeer peer([](int c) { ReadAll(c, 1 << 20); });
        long long start = Ms();
        EXPECT_EQ(SendReceiveTCPPacket("127.0.0.1", peer.port, 300, (void*)"x", in, 1, 10, err), 0);
        EXPECT_EQ(S(err), "Timeout");
        EXPECT_GE(Ms() - start, 290);
        EXPECT_LT(Ms() - start, 2000);
        shutdown(peer.listener, SHUT_RDWR);
    }
    {  // An answer, zero bytes inside, cut to the count.
        TcpPeer peer([](int c) {
            if (ReadAll(c, 4) == "ping") send(c, "po\0ng-and-more", 14, 0);
        });
        EXPECT_EQ(SendReceiveTCPPacket("127.0.0.1", peer.port, 2000, (void*)"ping", in, 4, 5, err),
                  5);
        EXPECT_EQ(std::string(in, 5), std::string("po\0ng", 5));
    }
}

TEST(Exchange, TcpSendsLargeDataWhole) {
    std::string data(8 << 20, 'd');
    data[12345] = 'e';
    std::string got;
    {
        TcpPeer peer([&](int c) {
            usleep(100000);  // let the agent's side meet a full buffer first
            got = ReadAll(c, data.size());
            send(c, "ok", 2, 0);
        });
        char in[8];
        String err;
        EXPECT_EQ(SendReceiveTCPPacket("127.0.0.1", peer.port, 5000, &data[0], in, (int)data.size(),
                                       2, err),
                  2)
            << S(err);
    }
    EXPECT_TRUE(got == data) << got.size();
    // A peer that never reads: the send gives up at the time-out.
    TcpPeer stuck([](int) { usleep(1500000); });
    int small = 4096;
    setsockopt(stuck.listener, SOL_SOCKET, SO_RCVBUF, &small, sizeof(small));
    String err;
    long long start = Ms();
    EXPECT_EQ(SendReceiveTCPPacket("127.0.0.1", stuck.port, 400, &data[0], nullptr,
                                   (int)data.size(), 0, err),
              0);
    EXPECT_EQ(S(err), "Timeout");
    EXPECT_LT(Ms() - start, 1400);
}

TEST(Exchange, UdpOutcomes) {
    UdpPeer peer;
    char in[16];
    String err;
    // Send only: the count sent.
    EXPECT_EQ(SendReceiveUDPPacket("127.0.0.1", peer.port, 1, (void*)"hello", nullptr, 5, 0, err),
              5);
    EXPECT_EQ(peer.Receive(), "hello");
    // An answer to the sender.
    std::thread echo([&] {
        sockaddr_in from;
        std::string got = peer.Receive(&from);
        sendto(peer.fd, "re:\0x", 5, 0, (sockaddr*)&from, sizeof(from));
    });
    EXPECT_EQ(SendReceiveUDPPacket("127.0.0.1", peer.port, 2, (void*)"q", in, 1, sizeof(in), err),
              5);
    echo.join();
    EXPECT_EQ(std::string(in, 5), std::string("re:\0x", 5));
    // Silent: whole seconds.
    long long start = Ms();
    EXPECT_EQ(SendReceiveUDPPacket("127.0.0.1", peer.port, 1, (void*)"q", in, 1, 4, err), 0);
    EXPECT_EQ(S(err), "Timeout");
    EXPECT_GE(Ms() - start, 990);
    // Too large for a datagram; unresolvable.
    std::string big(70000, 'b');
    EXPECT_EQ(
        SendReceiveUDPPacket("127.0.0.1", peer.port, 1, &big[0], nullptr, (int)big.size(), 0, err),
        -4);
    EXPECT_EQ(S(err), S(GetErrorStr(EMSGSIZE)));
    EXPECT_EQ(SendReceiveUDPPacket("no.such.host.invalid", 9, 1, (void*)"q", nullptr, 1, 0, err),
              -2);
}

TEST(Exchange, SyncSocketConnect) {
    UdpPeer udp;
    TSyncSocket u(2);
    ASSERT_EQ(u.Connect("127.0.0.1", udp.port, 0), 1);
    EXPECT_EQ(u.SendString(String("one"), 0), 3);
    EXPECT_EQ(udp.Receive(), "one");
    EXPECT_EQ(u.Connect("no.such.host.invalid", udp.port, 0), -2);
    EXPECT_EQ(S(u.LastError), "Cannot resolve server name to IP address");

    TSyncSocket t(1);
    EXPECT_EQ(t.Connect("127.0.0.1", FreeLoopbackPort(), 0), -6);
    EXPECT_EQ(S(t.LastError), S(GetErrorStr(ECONNREFUSED)));
    std::string got;
    {
        TcpPeer peer([&](int c) { got = ReadAll(c, 6); });
        ASSERT_EQ(t.Connect("127.0.0.1", peer.port, 0), 1);
        EXPECT_EQ(t.SendString(String("abcdef"), 0), 6);
    }
    EXPECT_EQ(got, "abcdef");
}

TEST(Syslog, DatagramBytes) {
    struct tm when = {};
    when.tm_mon = 2;
    when.tm_mday = 15;
    when.tm_hour = 14;
    when.tm_min = 3;
    when.tm_sec = 7;
    unsigned int ip = inet_addr("192.168.1.10");
    EXPECT_EQ(S(SyslogDatagram(1, 5, when, ip, "VT OWL", String("disk full"))),
              "<13>Mar 15 14:03:07 192.168.1.10 VT OWL: disk full");
    when.tm_mday = 5;
    when.tm_mon = 0;
    EXPECT_EQ(S(CDateTime(when)), "Jan  5 14:03:07");
    EXPECT_EQ(S(SyslogDatagram(0, 0, when, 0, "t", String())), "<0>Jan  5 14:03:07 0.0.0.0 t: ");
    EXPECT_EQ(S(SyslogDatagram(23, 6, when, ip, "VT OWL", String("a"))).substr(0, 5), "<190>");

    UdpPeer peer;
    String err;
    int sent = SendToSysLog("127.0.0.1", peer.port, 23, SYSLOG_INFORMATIONAL, "VT OWL",
                            String("hello"), err);
    std::string got = peer.Receive();
    EXPECT_EQ(sent, (int)got.size());
    EXPECT_EQ(got.substr(0, 5), "<190>");
    EXPECT_EQ(got.substr(5, 15).size(), 15u);
    EXPECT_EQ(got.substr(got.size() - 13), "VT OWL: hello") << got;
    EXPECT_EQ(SendToSysLog("no.such.host.invalid", 514, 1, SYSLOG_NOTICE, "t", String("m"), err),
              -2);
    EXPECT_EQ(S(err), "Cannot resolve server name to IP address");
}

}  // namespace
