// Peers that try to starve or exhaust the agent, and an agent started with
// few or many descriptors: the real owl keeps serving its console.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <sstream>
#include <thread>

#include "support/agent.h"

namespace {

// A field of /proc/PID/status ("VmHWM:", "Threads:").
long StatusField(pid_t pid, const char* key) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string word;
    while (in >> word)
        if (word == key && in >> word) return std::stol(word);
    return -1;
}

// Milliseconds the threads of a process have run (the first schedstat
// field, in nanoseconds). Not the time they waited to run: under a loaded
// machine every wake-up of a thread that polls waits for a time slice.
long RanCpuMs(pid_t pid) {
    long long sum = 0;
    ForEachThread(pid, [&](const std::string& task) {
        long long ran = 0;
        std::ifstream(task + "schedstat") >> ran;
        sum += ran;
    });
    return (long)(sum / 1000000);
}

// Threads of pid that wait in poll: sessions waiting for the rest of their
// request (idle workers wait in accept).
int SessionsPolling(pid_t pid) {
    int polling = 0;
    ForEachThread(pid, [&](const std::string& task) {
        std::string call;
        std::ifstream(task + "syscall") >> call;
        polling += call == "7" || call == "271";  // poll, ppoll
    });
    return polling;
}

// Starts "owl -i cfg" with the descriptor limit set to nofile (soft and
// hard) and inherited extra descriptors open.
bool StartLimited(TestAgent& agent, rlim_t nofile, int inherited) {
    return agent.Start({}, [=] {
        struct rlimit limit = {nofile, nofile};
        setrlimit(RLIMIT_NOFILE, &limit);
        for (int i = 3; i < 3 + inherited; i++) dup2(1, i);
    });
}

// Connections from source, each sent the first bytes of a GetInfo request.
std::vector<int> Peers(const TestAgent& agent, const char* source, int count, size_t bytes) {
    std::string packet = agent.Packet("GetInfo\n\r");
    std::vector<int> socks;
    for (int i = 0; i < count; i++) {
        socks.push_back(ConnectFrom(source, agent.port()));
        (void)!send(socks.back(), packet.data(), bytes, MSG_NOSIGNAL);
    }
    return socks;
}

}  // namespace

TEST(Hardening, TricklingPeersCannotShutOthersOut) {
    TestAgent agent({{"logsuccess", "0"}, {"verboselogfile", ""}});
    ASSERT_TRUE(agent.Start()) << agent.Output();
    std::vector<int> socks = Peers(agent, "127.0.0.2", 1100, 1);
    // Each period, the next byte of the request on every connection.
    std::atomic<bool> stop{false};
    std::thread trickler([&] {
        std::string packet = agent.Packet("GetInfo\n\r");
        for (size_t at = 1; at < packet.size() && !stop; at++) {
            for (int s : socks) (void)!send(s, &packet[at], 1, MSG_NOSIGNAL | MSG_DONTWAIT);
            for (int i = 0; i < 5 && !stop; i++) usleep(100 * 1000);
        }
    });
    // The table fills up: a thread for nearly every session (bounded wait).
    EXPECT_TRUE(Eventually([&] { return StatusField(agent.pid(), "Threads:") >= 1000; }, 10000))
        << StatusField(agent.pid(), "Threads:") << " threads";
    long long start = Ms();
    EXPECT_EQ(agent.Request("GetInfo", {}, "", 2000).status, "200");
    EXPECT_LT(Ms() - start, 2000);
    std::vector<std::thread> clients;
    std::atomic<int> answered{0};
    for (int i = 0; i < 200; i++)
        clients.emplace_back([&] { answered += agent.Request("GetInfo").status == "200"; });
    for (auto& t : clients) t.join();
    EXPECT_EQ(answered, 200);
    stop = true;
    trickler.join();
    for (int s : socks) close(s);
}

// An agent that inherited 1,100 descriptors serves; peers that announce
// 16 MiB with a wrong password digest do not make it buffer; rejected
// peers are counted, and their log lines are folded.
TEST(Hardening, InheritedDescriptorsUnprovenAndRejectedPeers) {
    TestAgent agent({{"filteractive", "1"}, {"filterlist", "127.0.0.1"}, {"filtermarks", "1"}});
    ASSERT_TRUE(StartLimited(agent, 4096, 1100)) << agent.Output();
    const pid_t pid = agent.pid();
    for (int i = 0; i < 3; i++) EXPECT_EQ(agent.Request("GetInfo").status, "200");

    std::ofstream("/proc/" + std::to_string(pid) + "/clear_refs") << "5";  // peak = now
    long before = StatusField(pid, "VmHWM:");
    std::string head = std::string("\xF0\xFF\xFF\x00\x03\x12\x10\x00", 8) + std::string(16, 'x');
    std::string mib(1 << 20, 'y');
    std::vector<int> socks;
    for (int i = 0; i < 8; i++) {
        int s = agent.Send(head);
        for (size_t sent = 0, n = 1; sent < mib.size() && n > 0; sent += n)
            n = std::max(0L, (long)send(s, mib.data() + sent, mib.size() - sent, MSG_NOSIGNAL));
        socks.push_back(s);
    }
    for (int s : socks) {
        EXPECT_TRUE(ClosedWithoutReply(s, 3000)) << "still open";
        close(s);
    }
    // The peak once the agent has dealt with every peer (a sanitizer's own
    // records grow with every call the sessions make).
    long after = StatusField(pid, "VmHWM:");
    if (!kSanitizedBuild) {
        EXPECT_LT(after - before, 4096) << before << " kB before, " << after << " kB after";
    }

    const int kPeers = 300;
    for (int s : Peers(agent, "127.0.0.2", kPeers, 1)) close(s);
    std::string want = std::to_string(kPeers);
    EXPECT_TRUE(
        Eventually([&] { return agent.Request("GetInfo").Value("FailedConnections") == want; }));
    // The last counts are written within a second or two.
    int lines = 0, total = 0;
    Eventually(
        [&] {
            std::istringstream log(agent.dir().Read("fail.log"));
            lines = total = 0;
            for (std::string line; std::getline(log, line);) {
                if (line.find("127.0.0.2\t TCP connection rejected") == std::string::npos) continue;
                lines++;
                size_t at = line.find(" (repeated ");
                total += at == std::string::npos ? 1 : std::stoi(line.substr(at + 11));
            }
            return total >= kPeers;
        },
        5000);
    EXPECT_EQ(total, kPeers);
    EXPECT_LT(lines, 20);
}

// Descriptors for three sessions (32 kept for the agent, two per session):
// a console's request takes the place of the peer that has waited longest.
TEST(Hardening, FullTableEvictsTheLongestWaitingPeer) {
    TestAgent agent;
    ASSERT_TRUE(StartLimited(agent, 32 + 3 * 2, 0)) << agent.Output();
    // One at a time, each waiting before the next comes, so that the order
    // in which they wait is known.
    std::vector<int> socks;
    for (int i = 1; i <= 3; i++) {
        socks.push_back(Peers(agent, "127.0.0.1", 1, 1)[0]);
        EXPECT_TRUE(Eventually([&] { return SessionsPolling(agent.pid()) >= i; }));
    }
    EXPECT_EQ(agent.Request("GetInfo").status, "200");
    EXPECT_TRUE(ClosedWithoutReply(socks[0], 500));  // not the idle time-out's 2 s
    char c;
    EXPECT_EQ(recv(socks[1], &c, 1, MSG_DONTWAIT), -1);  // still waiting
    for (int s : socks) close(s);
}

TEST(Hardening, FewDescriptorsCostLittleCpuAndRecover) {
    TestAgent agent({{"logsuccess", "0"}, {"verboselogfile", ""}, {"timeout", "1000"}});
    // Inherited descriptors leave fewer than the session places need, so
    // accept runs out of them.
    ASSERT_TRUE(StartLimited(agent, 64, 45)) << agent.Output();
    const pid_t pid = agent.pid();
    std::vector<int> socks = Peers(agent, "127.0.0.1", 100, 6);
    long cpu = RanCpuMs(pid);
    usleep(2000 * 1000);  // a window of time, not a wait for the agent
    EXPECT_LT(RanCpuMs(pid) - cpu, 500);
    EXPECT_NE(agent.Output().find("Too many open files; waiting for resources"), std::string::npos);
    for (int s : socks) close(s);
    EXPECT_TRUE(Eventually([&] { return agent.Request("GetInfo").status == "200"; }, 3000))
        << agent.Output();
}
