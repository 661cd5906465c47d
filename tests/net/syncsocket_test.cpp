#include "net/syncsocket.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netdb.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "support/agent.h"

namespace {

unsigned int Loopback() { return htonl(INADDR_LOOPBACK); }

int BoundPort(int fd) {
    sockaddr_in addr;
    socklen_t len = sizeof(addr);
    if (getsockname(fd, (sockaddr*)&addr, &len) != 0) return -1;
    return ntohs(addr.sin_port);
}

// A listening socket on 127.0.0.1, a client connected to it and the accepted
// server end.
struct LoopbackPair {
    LoopbackPair() {
        String err;
        listener = TcpListen("127.0.0.1", 0, nullptr, err);
        if (listener <= 0) return;
        client = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in addr = {};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(BoundPort(listener));
        addr.sin_addr.s_addr = Loopback();
        if (connect(client, (sockaddr*)&addr, sizeof(addr)) != 0) return;
        server = accept(listener, nullptr, nullptr);
    }
    ~LoopbackPair() {
        if (server >= 0) close(server);
        if (client >= 0) close(client);
        if (listener > 0) close(listener);
    }
    // Reads exactly n bytes from the server end (bounded by n calls).
    std::string Receive(size_t n) {
        std::string got;
        for (size_t i = 0; i < n && got.size() < n; i++) {
            char buf[256];
            size_t want = std::min(sizeof(buf), n - got.size());
            ssize_t r = recv(server, buf, want, 0);
            if (r <= 0) break;
            got.append(buf, (size_t)r);
        }
        return got;
    }
    int listener = 0;
    int client = -1;
    int server = -1;
};

TEST(TcpListen, OpensAListeningSocket) {
    unsigned int addrlen = 0;
    String err("stale");
    int fd = TcpListen("127.0.0.1", 0, &addrlen, err);
    ASSERT_GT(fd, 0);
    EXPECT_EQ(Str(err), "");
    EXPECT_EQ(addrlen, sizeof(sockaddr_in));
    EXPECT_GT(BoundPort(fd), 0);
    int value = 0;
    socklen_t len = sizeof(value);
    ASSERT_EQ(getsockopt(fd, SOL_SOCKET, SO_ACCEPTCONN, &value, &len), 0);
    EXPECT_EQ(value, 1);
    ASSERT_EQ(getsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &value, &len), 0);
    EXPECT_EQ(value, 1);
    EXPECT_NE(fcntl(fd, F_GETFD) & FD_CLOEXEC, 0);

    // The text form of the port works the same; addrlen may be left out.
    std::string port = std::to_string(BoundPort(fd));
    close(fd);
    fd = TcpListen("127.0.0.1", port.c_str(), nullptr, err);
    ASSERT_GT(fd, 0);
    EXPECT_EQ(BoundPort(fd), atoi(port.c_str()));
    close(fd);
}

// A port in use, an unknown service name and a port below zero: 0 with the
// reason, addrlen untouched.
TEST(TcpListen, FailuresAreReported) {
    String err;
    int first = TcpListen("127.0.0.1", 0, nullptr, err);
    ASSERT_GT(first, 0);
    unsigned int addrlen = 12345;
    EXPECT_EQ(TcpListen("127.0.0.1", BoundPort(first), &addrlen, err), 0);
    EXPECT_EQ(Str(err), "socket() or bind() error");
    EXPECT_EQ(addrlen, 12345u);
    close(first);
    EXPECT_EQ(TcpListen("127.0.0.1", "no-such-service-name", nullptr, err), 0);
    EXPECT_EQ(Str(err), gai_strerror(EAI_SERVICE));
    err = "";
    EXPECT_EQ(TcpListen("127.0.0.1", -5, nullptr, err), 0);
    EXPECT_NE(Str(err), "");
}

TEST(GetHostIP, AddressesAndNames) {
    String err("stale");
    unsigned int ip = 0;
    EXPECT_EQ(GetHostIP("127.0.0.1", &ip, err), 1);
    EXPECT_EQ(ip, Loopback());
    EXPECT_EQ(Str(err), "");
    EXPECT_EQ(GetHostIP("10.1.2.3", &ip, err), 1);
    EXPECT_EQ(ip, inet_addr("10.1.2.3"));
    // The all-ones text is not taken literally but resolves to itself.
    EXPECT_EQ(GetHostIP("255.255.255.255", &ip, err), 1);
    EXPECT_EQ(ip, 0xFFFFFFFFu);
    ip = 0;
    EXPECT_EQ(GetHostIP("localhost", &ip, err), 1);
    EXPECT_EQ(ip & htonl(0xFF000000), htonl(0x7F000000));
}

TEST(GetHostIP, UnresolvableNames) {
    // A label longer than 63 bytes is refused by the resolver before any
    // query leaves the machine.
    const std::string longLabel = std::string(70, 'a') + ".invalid";
    const char* names[] = {longLabel.c_str(), "", nullptr};
    for (const char* name : names) {
        String err;
        unsigned int ip = 77;
        EXPECT_EQ(GetHostIP(name, &ip, err), -2) << (name ? name : "(null)");
        EXPECT_EQ(Str(err), "Cannot resolve server name to IP address");
        EXPECT_EQ(ip, 77u);
    }
}

TEST(GetHostIP, LocalHostNameMatchesGetMyIP) {
    char name[254] = {};
    ASSERT_EQ(gethostname(name, sizeof(name) - 1), 0);
    // Only where the name is answered from /etc/hosts: the test sends no
    // query to a name server.
    std::ifstream hosts("/etc/hosts");
    std::string hostsText((std::istreambuf_iterator<char>(hosts)),
                          std::istreambuf_iterator<char>());
    if (hostsText.find(name) == std::string::npos) GTEST_SKIP() << "host name not in /etc/hosts";
    unsigned int ip = 0;
    String err;
    if (GetHostIP(name, &ip, err) != 1) ip = 0;
    EXPECT_EQ(GetMyIP(), ip);
}

TEST(AddressText, FormatsAndCuts) {
    EXPECT_EQ(Str(IP2String(0)), "0.0.0.0");
    EXPECT_EQ(Str(IP2String(Loopback())), "127.0.0.1");
    EXPECT_EQ(Str(IP2String(0xFFFFFFFFu)), "255.255.255.255");

    in_addr a;
    a.s_addr = inet_addr("192.168.100.200");
    char buf[32];
    memset(buf, 'z', sizeof(buf));
    EXPECT_EQ(inet_ntoa_safe(a, buf, 8), buf);
    EXPECT_STREQ(buf, "192.168");
    EXPECT_EQ(buf[8], 'z');
    EXPECT_STREQ(inet_ntoa_safe(a, buf, sizeof(buf)), "192.168.100.200");
    EXPECT_STREQ(inet_ntoa_safe(a, buf, 1), "");
    buf[0] = 'z';
    inet_ntoa_safe(a, buf, 0);
    EXPECT_EQ(buf[0], 'z');
    EXPECT_EQ(inet_ntoa_safe(a, nullptr, 16), nullptr);
}

TEST(AddressText, ManyThreadsAtOnce) {
    const int kThreads = 8;
    const int kRounds = 2000;
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; t++) {
        threads.emplace_back([t, &wrong] {
            for (int i = 0; i < kRounds; i++) {
                int third = i % 256;
                std::string expect = "10." + std::to_string(t) + "." + std::to_string(third) + ".7";
                unsigned int ip =
                    htonl((10u << 24) | ((unsigned)t << 16) | ((unsigned)third << 8) | 7u);
                if (Str(IP2String(ip)) != expect) wrong++;
                in_addr a;
                a.s_addr = ip;
                char buf[24];
                if (expect != inet_ntoa_safe(a, buf, sizeof(buf))) wrong++;
            }
        });
    }
    for (auto& th : threads) th.join();
    EXPECT_EQ(wrong.load(), 0);
}

TEST(GetErrorStr, SystemTexts) {
    EXPECT_EQ(Str(GetErrorStr(ECONNREFUSED)), strerror(ECONNREFUSED));
    EXPECT_EQ(Str(GetErrorStr(ENOENT)), strerror(ENOENT));
    EXPECT_EQ(Str(GetErrorStr(99999)), "");
    EXPECT_EQ(Str(GetErrorStr(-1)), "");
}

TEST(TSyncSocket, SendsOverLoopback) {
    LoopbackPair pair;
    ASSERT_GE(pair.server, 0);
    TSyncSocket sock(1);
    EXPECT_EQ(sock.Socket, -1);
    EXPECT_EQ(sock.Kind, 1);
    sock.Socket = pair.client;
    pair.client = -1;  // owned by sock now

    EXPECT_EQ(sock.SendBuf("hello", 5, 0), 5);
    EXPECT_EQ(pair.Receive(5), "hello");
    String binary;
    binary.AddData("a\0b\xff", 4);
    EXPECT_EQ(sock.SendString(binary, 0), 4);
    EXPECT_EQ(pair.Receive(4), std::string("a\0b\xff", 4));

    EXPECT_EQ(sock.SendBuf("x", 0, 0), 0);
    EXPECT_EQ(sock.SendBuf("x", -3, 0), 0);
    EXPECT_EQ(sock.SendString(String(), 0), 0);
    EXPECT_EQ(sock.SendBuf(nullptr, 4, 0), -4);
    EXPECT_NE(Str(sock.LastError), "");
    EXPECT_EQ(sock.SendBuf("ok", 2, 0), 2);
    EXPECT_EQ(Str(sock.LastError), "");
    EXPECT_EQ(pair.Receive(2), "ok");

    int fd = sock.Socket;
    sock.Disconnect();
    EXPECT_EQ(sock.Socket, -1);
    EXPECT_EQ(fcntl(fd, F_GETFD), -1);  // closed
    sock.Disconnect();
    EXPECT_EQ(sock.SendBuf("x", 1, 0), -4);
    EXPECT_EQ(Str(sock.LastError), strerror(EBADF));
}

TEST(TSyncSocket, PeerGoneIsAFailedSendNotASignal) {
    LoopbackPair pair;
    ASSERT_GE(pair.server, 0);
    TSyncSocket sock(1);
    sock.Socket = pair.client;
    pair.client = -1;
    close(pair.server);
    pair.server = -1;
    int result = 0;
    for (int i = 0; i < 1000 && result != -4; i++) {
        result = sock.SendBuf("data", 4, 0);
        if (result != -4) usleep(1000);
    }
    EXPECT_EQ(result, -4);
    EXPECT_NE(Str(sock.LastError), "");
}

TEST(TSyncSocket, DestructorClosesAndUdpSends) {
    int receiver = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(receiver, 0);
    sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = Loopback();
    ASSERT_EQ(bind(receiver, (sockaddr*)&addr, sizeof(addr)), 0);
    addr.sin_port = htons(BoundPort(receiver));

    int fd = -1;
    {
        TSyncSocket sock(2);
        sock.Socket = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        ASSERT_EQ(connect(sock.Socket, (sockaddr*)&addr, sizeof(addr)), 0);
        fd = sock.Socket;
        EXPECT_EQ(sock.SendString(String("datagram"), 0), 8);
    }
    EXPECT_EQ(fcntl(fd, F_GETFD), -1);
    char buf[64];
    EXPECT_EQ(recv(receiver, buf, sizeof(buf), 0), 8);
    EXPECT_EQ(std::string(buf, 8), "datagram");
    close(receiver);
}

}  // namespace
