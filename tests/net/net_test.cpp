// Sockets, addresses and names, TCP and UDP client exchanges and the
// syslog datagram, against small stand-ins on 127.0.0.1.
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netdb.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "net/exchange.h"
#include "net/syncsocket.h"
#include "net/syslog.h"
#include "protocol/client.h"
#include "support/agent.h"

namespace {

// Up to n bytes from c, fewer when the peer closes first.
std::string Receive(int c, size_t n) {
    std::string got(n, '\0');
    ssize_t r = recv(c, &got[0], n, MSG_WAITALL);
    got.resize(r > 0 ? r : 0);
    return got;
}

// A peer that closes at once gives 0 and no text, one that never answers
// "Timeout"; a datagram too large to send fails with the system's text.
TEST(Exchange, FailuresAndTimeouts) {
    char in[100];
    String err;
    EXPECT_EQ(TCPConnect("127.0.0.1", FreeLoopbackPort(), 500, err), -6);
    {
        TcpPeer closes([](int) {});
        EXPECT_EQ(SendReceiveTCPPacket("127.0.0.1", closes.port, 1000, nullptr, in, 0, 10, err), 0);
        EXPECT_EQ(Str(err), "");
    }
    TcpPeer silent([](int c) {
        Receive(c, 1);
        usleep(600000);
    });
    long long start = Ms();
    EXPECT_EQ(SendReceiveTCPPacket("127.0.0.1", silent.port, 300, (void*)"x", in, 1, 10, err), 0);
    EXPECT_EQ(Str(err), "Timeout");
    EXPECT_GE(Ms() - start, 290);
    std::string big(70000, 'b');
    EXPECT_EQ(SendReceiveUDPPacket("127.0.0.1", 9, 1, &big[0], nullptr, 70000, 0, err), -4);
    EXPECT_EQ(Str(err), Str(GetErrorStr(EMSGSIZE)));
}

// 8 MiB go out whole to a slow reader, and its answer comes back; to a peer
// that never reads, the send gives up at the time-out.
TEST(Exchange, TcpSendsLargeDataWhole) {
    std::string data(8 << 20, 'd'), got;
    data[12345] = 'e';
    String err;
    {
        TcpPeer slow([&](int c) {
            usleep(100000);  // the sender meets a full buffer first
            got = Receive(c, data.size());
            send(c, "o\0k-and-more", 12, 0);
        });
        char in[8];
        EXPECT_EQ(SendReceiveTCPPacket("127.0.0.1", slow.port, 5000, &data[0], in, (int)data.size(),
                                       3, err),
                  3);
        EXPECT_EQ(std::string(in, 3), std::string("o\0k", 3));  // at most what was asked for
    }
    EXPECT_TRUE(got == data) << got.size();
    TcpPeer stuck([](int) { usleep(1500000); }, 1, 4096);
    long long start = Ms();
    EXPECT_EQ(SendReceiveTCPPacket("127.0.0.1", stuck.port, 400, &data[0], nullptr,
                                   (int)data.size(), 0, err),
              0);
    EXPECT_EQ(Str(err), "Timeout");
    EXPECT_LT(Ms() - start, 1400);
}

// A console whose agent resets the connection sees "no reply", not an error
// of its own; one that finds no agent cannot connect.
TEST(Exchange, ResetBeforeTheReplyIsNoReply) {
    TcpPeer reset([](int c) {
        Receive(c, 1);  // the request has come: the connection is made
        struct linger abort = {1, 0};
        setsockopt(c, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
    });
    String err, packet;
    EXPECT_EQ(ExchangePacket("127.0.0.1", reset.port, String("x"), 3000, packet, err),
              OWL_NO_REPLY);
    EXPECT_EQ(Str(err), "the agent closed the connection without a reply");
    EXPECT_EQ(ExchangePacket("127.0.0.1", FreeLoopbackPort(), packet, 1000, packet, err),
              OWL_CONNECT_FAILED);
    EXPECT_EQ(Str(err), strerror(ECONNREFUSED));
}

TEST(Syslog, DatagramBytes) {
    struct tm when = {};
    strptime("03-15 14:03:07", "%m-%d %H:%M:%S", &when);
    EXPECT_EQ(Str(SyslogDatagram(1, 5, when, inet_addr("192.168.1.10"), "VT OWL", String("x y"))),
              "<13>Mar 15 14:03:07 192.168.1.10 VT OWL: x y");
    strptime("01-05", "%m-%d", &when);
    EXPECT_EQ(Str(SyslogDatagram(0, 0, when, 0, "t", String())), "<0>Jan  5 14:03:07 0.0.0.0 t: ");
}

// Listens by service text or port number; a port in use or an unknown
// service name gives 0 with the reason, addrlen untouched.
TEST(TcpListen, OpensOrReportsWhy) {
    const int port = FreeLoopbackPort();
    unsigned int addrlen = 0;
    String err("stale");
    int fd = TcpListen("127.0.0.1", std::to_string(port).c_str(), &addrlen, err);
    ASSERT_GT(fd, 0);
    EXPECT_EQ(Str(err), "");
    EXPECT_EQ(addrlen, sizeof(sockaddr_in));
    int reuse = 0;
    socklen_t len = sizeof(reuse);
    getsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &reuse, &len);
    EXPECT_EQ(reuse, 1);  // a restarted agent binds again at once
    addrlen = 12345;
    EXPECT_EQ(TcpListen("127.0.0.1", port, &addrlen, err), 0);
    EXPECT_EQ(addrlen, 12345u);
    close(fd);
    fd = TcpListen("127.0.0.1", port, nullptr, err);  // free again
    EXPECT_GT(fd, 0);
    close(fd);
    EXPECT_EQ(TcpListen("127.0.0.1", "no-such-service-name", nullptr, err), 0);
    EXPECT_EQ(Str(err), gai_strerror(EAI_SERVICE));
}

// No name leaves ip alone; the all-ones text is resolved (to itself), as
// names are.
TEST(GetHostIP, AddressesAndNames) {
    String err;
    unsigned int ip = 77;
    EXPECT_EQ(GetHostIP(nullptr, &ip, err), -2);
    EXPECT_EQ(ip, 77u);
    EXPECT_EQ(Str(err), "Cannot resolve server name to IP address");
    EXPECT_EQ(GetHostIP("255.255.255.255", &ip, err), 1);
    EXPECT_EQ(ip, ~0u);
    EXPECT_EQ(Str(err), "");
    EXPECT_EQ(GetHostIP("localhost", &ip, err), 1);
    EXPECT_EQ(ip & htonl(0xFF000000), htonl(0x7F000000));
}

// Cut to the buffer, never past it; no buffer, or none of any size, is left
// alone. Numbers the system has no text for have none.
TEST(AddressText, FormatsAndCuts) {
    in_addr a;
    a.s_addr = inet_addr("192.168.100.200");
    char buf[32];
    memset(buf, 'z', sizeof(buf));
    EXPECT_EQ(inet_ntoa_safe(a, buf, 8), buf);
    EXPECT_STREQ(buf, "192.168");
    EXPECT_EQ(buf[8], 'z');
    EXPECT_STREQ(inet_ntoa_safe(a, buf, 0), "192.168");
    EXPECT_EQ(inet_ntoa_safe(a, nullptr, 16), nullptr);
    EXPECT_EQ(Str(GetErrorStr(99999)), "");
}

// Session threads format their peers' addresses at the same time.
TEST(AddressText, ManyThreadsAtOnce) {
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (unsigned t = 0; t < 8; t++) {
        threads.emplace_back([t, &wrong] {
            for (unsigned i = 0; i < 2000; i++) {
                std::string expect =
                    "10." + std::to_string(t) + "." + std::to_string(i % 256) + ".7";
                unsigned ip = htonl((10u << 24) | (t << 16) | ((i % 256) << 8) | 7u);
                wrong += Str(IP2String(ip)) != expect;
            }
        });
    }
    for (auto& th : threads) th.join();
    EXPECT_EQ(wrong.load(), 0);
}

}  // namespace
