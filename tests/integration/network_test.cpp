// Network tests and actions through the real agent against stand-ins on
// 127.0.0.1: TEST-TCP, TEST-UDP, ACT-TCPUDPsend and ACT-Syslog.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>

#include "support/agent.h"

namespace {

long long Ms() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

int Bound(int type) {
    int fd = socket(AF_INET, type | SOCK_CLOEXEC, 0);
    sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd, (sockaddr*)&addr, sizeof(addr));
    if (type == SOCK_STREAM) listen(fd, 16);
    return fd;
}

int PortOf(int fd) {
    sockaddr_in addr;
    socklen_t len = sizeof(addr);
    getsockname(fd, (sockaddr*)&addr, &len);
    return ntohs(addr.sin_port);
}

// Serves up to count connections: reads what arrives until the peer stops
// for 100 ms, then answers it with "got:" and the text and closes.
void TcpEcho(int listener, int count) {
    for (int i = 0; i < count; i++) {
        pollfd p = {listener, POLLIN, 0};
        if (poll(&p, 1, 5000) != 1) return;
        int c = accept(listener, nullptr, nullptr);
        std::string got;
        char buf[4096];
        pollfd q = {c, POLLIN, 0};
        while (poll(&q, 1, 100) == 1) {
            ssize_t n = recv(c, buf, sizeof(buf), 0);
            if (n <= 0) break;
            got.append(buf, n);
        }
        std::string answer = "got:" + got;
        send(c, answer.data(), answer.size(), MSG_NOSIGNAL);
        close(c);
    }
}

// One datagram within 3 s, answered to its sender when answer is set.
std::string UdpReceive(int fd, bool answer) {
    pollfd p = {fd, POLLIN, 0};
    if (poll(&p, 1, 3000) != 1) return "<nothing>";
    char buf[2048];
    sockaddr_in from;
    socklen_t len = sizeof(from);
    ssize_t n = recvfrom(fd, buf, sizeof(buf), 0, (sockaddr*)&from, &len);
    std::string got(buf, n > 0 ? n : 0);
    if (answer) sendto(fd, ("re:" + got).data(), got.size() + 3, 0, (sockaddr*)&from, len);
    return got;
}

// The reply without its time value: "200\n<ms>\n<data>" becomes
// "200\n<data>".
std::string WithoutTime(const Reply& r) {
    size_t nl = r.body.find('\n');
    return r.status + "\n" + (nl == std::string::npos ? r.body : r.body.substr(nl + 1));
}

TEST(Network, TcpTest) {
    TestAgent agent;
    ASSERT_TRUE(agent.Start()) << agent.Output();
    int listener = Bound(SOCK_STREAM);
    int port = PortOf(listener);
    std::thread echo(TcpEcho, listener, 2);
    Reply r = agent.Request("TEST-TCP", {"127.0.0.1", std::to_string(port), "2000", "", "0"});
    EXPECT_EQ(WithoutTime(r), "200\n");
    r = agent.Request("TEST-TCP",
                      {"127.0.0.1", std::to_string(port), "2000", " a%0D%0Ab\x01", "1000000000"});
    EXPECT_EQ(WithoutTime(r), "200\ngot: a%0D%0Ab\x01");
    echo.join();
    int closed = PortOf(listener);
    close(listener);
    struct {
        std::vector<std::string> params;
        std::string text;
    } cases[] = {
        {{"127.0.0.1", std::to_string(closed), "500", "x", "-5"}, "301\nConnection refused\n-6"},
        {{"127.0.0.1", "70000", "500", "x", "0"}, "301\nInvalid argument\n-6"},
        {{"no.such.host.invalid", "80", "500", "", "0"},
         "301\nCannot resolve server name to IP address\n-2"},
        {{std::string(300, 'h'), "80", "500", "", "0"},
         "301\nCannot resolve server name to IP address\n-2"},
        {{"127.0.0.1", "8o", "500", "", "0"}, "501\nWrong parameter"},
        {{"127.0.0.1", "80", "1s", "", "0"}, "501\nWrong parameter"},
        {{"127.0.0.1", "80", "500", "", "x"}, "501\nWrong parameter"},
    };
    for (auto& c : cases) {
        r = agent.Request("TEST-TCP", c.params);
        EXPECT_EQ(r.status + "\n" + r.body, c.text) << c.params[0] << " " << c.params[1];
    }
    TestAgent off({{"tcp", "0"}, {"udp", "0"}});
    ASSERT_TRUE(off.Start());
    EXPECT_EQ(off.Request("TEST-TCP", {"127.0.0.1"}).body, "test is not allowed");
    EXPECT_EQ(off.Request("TEST-UDP", {"127.0.0.1"}).status, "600");
}

TEST(Network, UdpTest) {
    TestAgent agent;
    ASSERT_TRUE(agent.Start()) << agent.Output();
    int fd = Bound(SOCK_DGRAM);
    std::string port = std::to_string(PortOf(fd));
    std::string got;
    std::thread echo([&] { got = UdpReceive(fd, true); });
    Reply r = agent.Request("TEST-UDP", {"127.0.0.1", port, "1000", "1", "ping%0A", "100"});
    echo.join();
    EXPECT_EQ(got, "ping\n");
    EXPECT_EQ(WithoutTime(r), "200\nre:ping%0A");
    // Silent: two attempts of one second each (500 ms rounds up).
    long long start = Ms();
    r = agent.Request("TEST-UDP", {"127.0.0.1", port, "500", "2", "q", "10"});
    EXPECT_EQ(r.status + "\n" + r.body, "301\nTimeout\n0");
    EXPECT_GE(Ms() - start, 1900);
    for (const char* attempts : {"0", "-3", "x"})
        EXPECT_EQ(agent.Request("TEST-UDP", {"127.0.0.1", port, "500", attempts, "q", "0"}).body,
                  "Wrong parameter");
    EXPECT_EQ(agent.Request("TEST-UDP", {"127.0.0.1", port, "500", "1", "", "0"}).body,
              "Wrong parameter");
    close(fd);
}

TEST(Network, Actions) {
    TestAgent agent({{"tcpudpaction", "1"}, {"syslogaction", "1"}});
    ASSERT_TRUE(agent.Start()) << agent.Output();
    int fd = Bound(SOCK_DGRAM);
    std::string port = std::to_string(PortOf(fd));
    Reply r = agent.Request("ACT-TCPUDPsend", {"127.0.0.1", port, "1", "one%0D%0A", "0", "two"});
    EXPECT_EQ(r.text, "200\nData has been sent\n\r");
    EXPECT_EQ(UdpReceive(fd, false), "one\r\n");
    EXPECT_EQ(UdpReceive(fd, false), "two");

    int listener = Bound(SOCK_STREAM);
    std::string tcpPort = std::to_string(PortOf(listener));
    std::string tcpGot;
    std::thread reader([&] {
        pollfd p = {listener, POLLIN, 0};
        if (poll(&p, 1, 5000) != 1) return;
        int c = accept(listener, nullptr, nullptr);
        char buf[64];
        ssize_t n;
        while ((n = recv(c, buf, sizeof(buf), 0)) > 0) tcpGot.append(buf, n);
        close(c);
    });
    r = agent.Request("ACT-TCPUDPsend", {"127.0.0.1", tcpPort, "0", "first", "1", "second"});
    reader.join();
    EXPECT_EQ(r.text, "200\nData has been sent\n\r");
    EXPECT_EQ(tcpGot, "firstsecond");
    close(listener);
    r = agent.Request("ACT-TCPUDPsend", {"127.0.0.1", tcpPort, "0", "first", "0", ""});
    EXPECT_EQ(r.text, "301\nConnection refused\n\r");
    for (auto params : std::vector<std::vector<std::string>>{
             {"", port, "1", "x"}, {"127.0.0.1", port, "1", ""}, {"127.0.0.1", "p", "1", "x"}})
        EXPECT_EQ(agent.Request("ACT-TCPUDPsend", params).body, "Wrong parameter");

    r = agent.Request("ACT-Syslog", {"127.0.0.1", port, "23", "6", "disk%0Afull"});
    EXPECT_EQ(r.text, "200\nSyslog: Data to 127.0.0.1 has been sent\n\r");
    std::string datagram = UdpReceive(fd, false);
    EXPECT_EQ(datagram.substr(0, 5), "<190>");
    EXPECT_EQ(datagram.substr(datagram.size() - 18), " VT OWL: disk\nfull");
    EXPECT_EQ(agent.Request("ACT-Syslog", {"127.0.0.1", port, "1", "8", "m"}).body,
              "Wrong parameter");
    EXPECT_EQ(agent.Request("ACT-Syslog", {"no.such.host.invalid", "514", "1", "1", "m"}).body,
              "Cannot resolve server name to IP address");
    close(fd);

    TestAgent off;
    ASSERT_TRUE(off.Start());
    EXPECT_EQ(off.Request("ACT-Syslog", {"127.0.0.1", "514", "1", "1", "m"}).text,
              "600\noperation is not allowed\n\r");
    EXPECT_EQ(off.Request("ACT-TCPUDPsend", {"127.0.0.1"}).status, "600");
}

}  // namespace
