// TCP and UDP client exchanges and the syslog datagram against small
// stand-ins on 127.0.0.1.
#include "net/exchange.h"

#include <arpa/inet.h>
#include <errno.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <string>
#include <thread>

#include "net/syncsocket.h"
#include "net/syslog.h"
#include "protocol/client.h"
#include "support/agent.h"
#include "support/process.h"

namespace {

long long Ms() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

// A TCP stand-in: accepts one connection and hands it to serve.
struct TcpPeer {
    explicit TcpPeer(std::function<void(int)> serve, int rcvbuf = 0) {
        listener = BoundLoopback(SOCK_STREAM, &port);
        if (rcvbuf) setsockopt(listener, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof(rcvbuf));
        thread = std::thread([this, serve] {
            pollfd p = {listener, POLLIN, 0};
            if (poll(&p, 1, 5000) != 1) return;
            int c = accept(listener, nullptr, nullptr);
            serve(c);
            close(c);
        });
    }
    ~TcpPeer() {
        thread.join();
        close(listener);
    }
    int listener, port;
    std::thread thread;
};

std::string ReadAll(int c, size_t upTo) {
    std::string got;
    char buf[65536];
    ssize_t n;
    while (got.size() < upTo && (n = recv(c, buf, sizeof(buf), 0)) > 0) got.append(buf, n);
    return got;
}

TEST(Exchange, TcpOutcomes) {
    char in[100];
    String err;
    int closed = FreeLoopbackPort();
    EXPECT_EQ(TCPConnect("127.0.0.1", closed, 2000, err), -6);
    EXPECT_EQ(Str(err), Str(GetErrorStr(ECONNREFUSED)));
    EXPECT_EQ(TCPConnect("no.such.host.invalid", 80, 500, err), -2);
    EXPECT_EQ(Str(err), "Cannot resolve server name to IP address");
    EXPECT_EQ(TCPConnect("127.0.0.1", 70000, 500, err), -6);  // not port 4464
    EXPECT_EQ(Str(err), Str(GetErrorStr(EINVAL)));
    for (int recvlen : {0, 10}) {  // connect only: 1; a peer that closes at once: 0, no text
        TcpPeer peer([](int) {});
        EXPECT_EQ(SendReceiveTCPPacket("127.0.0.1", peer.port, 1000, nullptr, in, 0, recvlen, err),
                  recvlen ? 0 : 1);
        EXPECT_EQ(Str(err), "");
    }
    {
        TcpPeer silent([](int c) {
            ReadAll(c, 1);
            usleep(600000);
        });
        long long start = Ms();
        EXPECT_EQ(SendReceiveTCPPacket("127.0.0.1", silent.port, 300, (void*)"x", in, 1, 10, err),
                  0);
        EXPECT_EQ(Str(err), "Timeout");
        EXPECT_GE(Ms() - start, 290);
    }
    TcpPeer answering([](int c) {
        if (ReadAll(c, 4) == "ping") send(c, "po\0ng-and-more", 14, 0);
    });
    EXPECT_EQ(SendReceiveTCPPacket("127.0.0.1", answering.port, 2000, (void*)"ping", in, 4, 5, err),
              5);
    EXPECT_EQ(std::string(in, 5), std::string("po\0ng", 5));
}

TEST(Exchange, TcpSendsLargeDataWhole) {
    std::string data(8 << 20, 'd'), got;
    data[12345] = 'e';
    {
        TcpPeer slow([&](int c) {
            usleep(100000);  // the sender meets a full buffer first
            got = ReadAll(c, data.size());
            send(c, "ok", 2, 0);
        });
        char in[8];
        String err;
        EXPECT_EQ(SendReceiveTCPPacket("127.0.0.1", slow.port, 5000, &data[0], in, (int)data.size(),
                                       2, err),
                  2);
    }
    EXPECT_TRUE(got == data) << got.size();
    // A peer that never reads: the send gives up at the time-out.
    TcpPeer stuck([](int) { usleep(1500000); }, 4096);
    String err;
    long long start = Ms();
    EXPECT_EQ(SendReceiveTCPPacket("127.0.0.1", stuck.port, 400, &data[0], nullptr,
                                   (int)data.size(), 0, err),
              0);
    EXPECT_EQ(Str(err), "Timeout");
    EXPECT_LT(Ms() - start, 1400);
}

TEST(Exchange, Udp) {
    int port;
    int fd = BoundLoopback(SOCK_DGRAM, &port);
    char in[16];
    String err;
    EXPECT_EQ(SendReceiveUDPPacket("127.0.0.1", port, 1, (void*)"hello", nullptr, 5, 0, err), 5);
    EXPECT_EQ(UdpReceive(fd), "hello");
    std::thread echo([&] { UdpReceive(fd, true); });
    EXPECT_EQ(SendReceiveUDPPacket("127.0.0.1", port, 2, (void*)"\0q", in, 2, sizeof(in), err), 5);
    echo.join();
    EXPECT_EQ(std::string(in, 5), std::string("re:\0q", 5));
    long long start = Ms();  // whole seconds
    EXPECT_EQ(SendReceiveUDPPacket("127.0.0.1", port, 1, (void*)"q", in, 1, 4, err), 0);
    EXPECT_EQ(Str(err), "Timeout");
    EXPECT_GE(Ms() - start, 990);
    EXPECT_EQ(UdpReceive(fd), "q");
    std::string big(70000, 'b');
    EXPECT_EQ(SendReceiveUDPPacket("127.0.0.1", port, 1, &big[0], nullptr, 70000, 0, err), -4);
    EXPECT_EQ(Str(err), Str(GetErrorStr(EMSGSIZE)));

    close(fd);
}

// A console whose agent resets the connection sees "no reply", not an error
// of its own.
TEST(Exchange, ResetBeforeTheReplyIsNoReply) {
    TcpPeer reset([](int c) {
        ReadAll(c, 1);  // the request has come: the connection is made
        struct linger abort = {1, 0};
        setsockopt(c, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
    });
    String err, packet;
    int sock = ConnectAgent("127.0.0.1", reset.port, 3000, err);
    ASSERT_GE(sock, 0) << Str(err);
    ASSERT_TRUE(SendAll(sock, "x", 1, err));
    EXPECT_EQ(ReadReplyPacket(sock, 3000, packet, err), OWL_NO_REPLY);
    EXPECT_EQ(Str(err), "the agent closed the connection without a reply");
    close(sock);
}

TEST(Syslog, DatagramBytes) {
    struct tm when = {};
    when.tm_mon = 2;
    when.tm_mday = 15;
    when.tm_hour = 14;
    when.tm_min = 3;
    when.tm_sec = 7;
    unsigned int ip = inet_addr("192.168.1.10");
    EXPECT_EQ(Str(SyslogDatagram(1, 5, when, ip, "VT OWL", String("disk full"))),
              "<13>Mar 15 14:03:07 192.168.1.10 VT OWL: disk full");
    when.tm_mday = 5;
    when.tm_mon = 0;
    EXPECT_EQ(Str(SyslogDatagram(0, 0, when, 0, "t", String())), "<0>Jan  5 14:03:07 0.0.0.0 t: ");
}

}  // namespace
