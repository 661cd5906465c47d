// Peers that try to starve or exhaust the agent, and an agent started with
// few or many descriptors: the real owl keeps serving its console.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <sstream>
#include <thread>

#include "protocol/client.h"
#include "support/agent.h"

namespace {

// The first bytes of a genuine request packet: what a trickling peer sends.
std::string PacketFor(const TestAgent& agent, const char* command) {
    return Str(BuildRequestPacket(String(agent.password().c_str()), String("key"),
                                  BuildRequestText(String(command), {})));
}

long ProcField(pid_t pid, const char* file, const char* key) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/" + file);
    std::string word;
    while (in >> word)
        if (word == key && in >> word) return std::stol(word);
    return -1;
}

// CPU time of a process in milliseconds.
long CpuMs(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    std::getline(in, line);
    std::istringstream rest(line.substr(line.rfind(')') + 2));
    std::string field;
    long utime = 0, stime = 0;
    for (int i = 3; i <= 15 && rest >> field; i++) {
        if (i == 14) utime = std::stol(field);
        if (i == 15) stime = std::stol(field);
    }
    return (utime + stime) * 1000 / sysconf(_SC_CLK_TCK);
}

// Starts "owl -i cfg" with the descriptor limit set to nofile (soft and
// hard, 0: unchanged) and inherited extra descriptors open; its pid or -1.
pid_t SpawnAgent(TestAgent& agent, rlim_t nofile, int inherited) {
    agent.WriteConfig();
    std::string out = agent.dir().File("console.out"), cfg = agent.ConfigPath();
    pid_t pid = fork();
    if (pid == 0) {
        int fd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(fd, 1);
        dup2(fd, 2);
        for (int i = 3; i < 3 + inherited; i++) dup2(fd, i);
        if (nofile > 0) {
            struct rlimit limit = {nofile, nofile};
            setrlimit(RLIMIT_NOFILE, &limit);
        }
        execl(OWL_BINARY, OWL_BINARY, "-i", cfg.c_str(), (char*)nullptr);
        _exit(127);
    }
    for (int i = 0; i < 150; i++, usleep(100 * 1000))
        if (agent.dir().Read("console.out").find("Listening...") != std::string::npos) return pid;
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    return -1;
}

void EndAgent(pid_t pid) { StopProcess(pid); }

// Sends the next byte of prefix on every socket each period until stop.
void Trickle(std::vector<int>& socks, const std::string& prefix, std::atomic<bool>& stop) {
    for (size_t at = 1; at < prefix.size() && !stop; at++) {
        for (int s : socks) (void)!send(s, &prefix[at], 1, MSG_NOSIGNAL | MSG_DONTWAIT);
        for (int i = 0; i < 5 && !stop; i++) usleep(100 * 1000);
    }
}

}  // namespace

TEST(Hardening, TricklingPeersCannotShutOthersOut) {
    TestAgent agent({{"logsuccess", "0"}, {"verboselogfile", ""}});
    ASSERT_TRUE(agent.Start()) << agent.Output();
    std::string prefix = PacketFor(agent, "GetInfo");
    std::vector<int> socks;
    for (int i = 0; i < 1100; i++) {
        int s = ConnectFrom("127.0.0.2", agent.port());
        ASSERT_GE(s, 0) << i;
        (void)!send(s, prefix.data(), 1, MSG_NOSIGNAL);
        socks.push_back(s);
    }
    std::atomic<bool> stop{false};
    std::thread trickler(Trickle, std::ref(socks), std::cref(prefix), std::ref(stop));
    // The table fills up: a thread for nearly every session (bounded wait).
    for (int i = 0; i < 200 && ProcField(agent.pid(), "status", "Threads:") < 1000; i++)
        usleep(50 * 1000);

    String text, err;
    long long start = Ms();
    EXPECT_EQ(OwlRequest("127.0.0.1", agent.port(), String(agent.password().c_str()),
                         String("GetInfo"), {}, 2000, text, err),
              OWL_REPLY);
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

TEST(Hardening, UnprovenPeerCannotMakeTheAgentBuffer) {
    TestAgent agent;
    ASSERT_TRUE(agent.Start()) << agent.Output();
    ASSERT_EQ(agent.Request("GetInfo").status, "200");
    long before = ProcField(agent.pid(), "status", "VmRSS:");
    // Announces 16 MiB with a wrong password digest, then sends 1 MiB.
    std::string head = std::string("\xF0\xFF\xFF\x00\x03\x12\x10\x00", 8) + std::string(16, 'x');
    std::string mib(1 << 20, 'y');
    std::vector<int> socks;
    for (int i = 0; i < 8; i++) {
        int s = ConnectFrom("127.0.0.1", agent.port());
        ASSERT_GE(s, 0);
        (void)!send(s, head.data(), head.size(), MSG_NOSIGNAL);
        for (size_t sent = 0, n = 1; sent < mib.size() && n > 0; sent += n)
            n = std::max(0L, (long)send(s, mib.data() + sent, mib.size() - sent, MSG_NOSIGNAL));
        socks.push_back(s);
    }
    usleep(500 * 1000);  // what the sockets still buffer reaches the agent
    long after = ProcField(agent.pid(), "status", "VmRSS:");
    EXPECT_LT(after - before, 4096) << before << " kB before, " << after << " kB after";
    for (int s : socks) {
        struct timeval tv = {3, 0};
        setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        char c;
        ssize_t n = recv(s, &c, 1, 0);
        int error = errno;
        EXPECT_TRUE(n == 0 || (n < 0 && error != EAGAIN)) << "still open";
        close(s);
    }
}

// Saving never removes the configuration's name, not even for a moment.
TEST(Hardening, SaveNeverLeavesTheConfigurationMissing) {
    TestAgent agent;
    ASSERT_TRUE(agent.Start()) << agent.Output();
    std::string old = agent.dir().Read("owl.cfg");
    int watch = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    ASSERT_GE(inotify_add_watch(watch, agent.dir().path().c_str(), IN_MOVED_FROM | IN_DELETE), 0);
    for (int i = 0; i < 3; i++)
        ASSERT_EQ(agent.Request("SetSettings", {"LogOkConn=" + std::to_string(i % 2)}).status,
                  "200");
    alignas(inotify_event) char events[16384];
    ssize_t n = read(watch, events, sizeof events);
    for (ssize_t at = 0; at < n;) {
        auto* e = reinterpret_cast<inotify_event*>(events + at);
        EXPECT_NE(std::string(e->len ? e->name : ""), "owl.cfg") << std::hex << e->mask;
        at += sizeof(inotify_event) + e->len;
    }
    close(watch);
    EXPECT_NE(agent.dir().Read("owl.cfg").find("logsuccess=0"), std::string::npos);
    EXPECT_NE(agent.dir().Read("owl.cfg.Old").find("logsuccess=1"), std::string::npos);
    EXPECT_EQ(agent.Request("ReloadCfg").status, "200");
}

TEST(Hardening, FewDescriptorsCostLittleCpuAndRecover) {
    TestAgent agent({{"logsuccess", "0"}, {"verboselogfile", ""}, {"timeout", "1000"}});
    pid_t pid = SpawnAgent(agent, 64, 0);
    ASSERT_GT(pid, 0) << agent.dir().Read("console.out");
    std::string prefix = PacketFor(agent, "GetInfo");
    std::vector<int> socks;
    for (int i = 0; i < 100; i++) {
        int s = ConnectFrom("127.0.0.1", agent.port());
        if (s >= 0) (void)!send(s, prefix.data(), 6, MSG_NOSIGNAL);
        socks.push_back(s);
    }
    long cpu = CpuMs(pid);
    usleep(2000 * 1000);
    EXPECT_LT(CpuMs(pid) - cpu, 500);
    for (int s : socks) close(s);
    Reply r;
    for (int i = 0; i < 30 && r.status != "200"; i++, usleep(100 * 1000))
        r = agent.Request("GetInfo");
    EXPECT_EQ(r.status, "200") << agent.dir().Read("console.out");
    EndAgent(pid);
}

TEST(Hardening, ServesWithManyInheritedDescriptors) {
    TestAgent agent;
    pid_t pid = SpawnAgent(agent, 4096, 1100);
    ASSERT_GT(pid, 0) << agent.dir().Read("console.out");
    for (int i = 0; i < 3; i++) EXPECT_EQ(agent.Request("GetInfo").status, "200");
    int status = 0;
    EXPECT_EQ(waitpid(pid, &status, WNOHANG), 0) << agent.dir().Read("console.out");
    EndAgent(pid);
}

TEST(Hardening, RepeatedRejectionsAreCounted) {
    TestAgent agent({{"filteractive", "1"}, {"filterlist", "127.0.0.1"}, {"filtermarks", "1"}});
    ASSERT_TRUE(agent.Start()) << agent.Output();
    const int kPeers = 300;
    for (int i = 0; i < kPeers; i++) {
        int s = ConnectFrom("127.0.0.2", agent.port());
        ASSERT_GE(s, 0);
        (void)!send(s, "x", 1, MSG_NOSIGNAL);
        close(s);
    }
    std::string want = "\nFailedConnections=" + std::to_string(kPeers) + "\n";
    Reply r;
    for (int i = 0; i < 50 && r.body.find(want) == std::string::npos; i++, usleep(100 * 1000))
        r = agent.Request("GetInfo");
    usleep(2500 * 1000);  // the last counts are written within a second or two
    std::istringstream log(agent.dir().Read("fail.log"));
    int lines = 0, total = 0;
    for (std::string line; std::getline(log, line);) {
        if (line.find("127.0.0.2\t TCP connection rejected") == std::string::npos) continue;
        lines++;
        size_t at = line.find(" (repeated ");
        total += at == std::string::npos ? 1 : std::stoi(line.substr(at + 11));
    }
    EXPECT_EQ(total, kPeers);
    EXPECT_LT(lines, 20);
}
