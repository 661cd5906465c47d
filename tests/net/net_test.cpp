// TCP and UDP client exchanges and the syslog datagram, against small
// stand-ins on 127.0.0.1.
#include <arpa/inet.h>
#include <errno.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <string>

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

// A peer that closes at once gives 0 and no text, one that resets the
// connection the system's text, one that never answers "Timeout"; a
// datagram too large to send fails with the system's text.
TEST(Exchange, FailuresAndTimeouts) {
    char in[100];
    String err;
    EXPECT_EQ(TCPConnect("127.0.0.1", FreeLoopbackPort(), 500, err), -6);
    {
        TcpPeer closes([](int) {});
        EXPECT_EQ(SendReceiveTCPPacket("127.0.0.1", closes.port, 1000, nullptr, in, 0, 10, err), 0);
        EXPECT_EQ(Str(err), "");
    }
    {
        TcpPeer resets([](int c) {
            Receive(c, 1);
            struct linger hard = {1, 0};
            setsockopt(c, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
        });
        EXPECT_EQ(SendReceiveTCPPacket("127.0.0.1", resets.port, 1000, (void*)"x", in, 1, 10, err),
                  -5);
        EXPECT_EQ(Str(err), Str(GetErrorStr(ECONNRESET)));
    }
    // A host with a zero byte inside is no host name.
    String zero;
    zero.CopyData("127.0.0.1\0x", 11);
    EXPECT_EQ(HostArgument(zero), nullptr);
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

TEST(Syslog, DatagramBytes) {
    struct tm when = {};
    strptime("03-15 14:03:07", "%m-%d %H:%M:%S", &when);
    EXPECT_EQ(Str(SyslogDatagram(1, 5, when, inet_addr("192.168.1.10"), "VT OWL", String("x y"))),
              "<13>Mar 15 14:03:07 192.168.1.10 VT OWL: x y");
    strptime("01-05", "%m-%d", &when);
    EXPECT_EQ(Str(SyslogDatagram(0, 0, when, 0, "t", String())), "<0>Jan  5 14:03:07 0.0.0.0 t: ");
}

}  // namespace
