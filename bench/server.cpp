// Serving cost: the agent's CPU time per request and its latency with one
// new connection per request, beside two same-run baselines: a minimal
// fixed-reply server (workers blocking in accept on one shared socket, one
// send, close), the cost floor of a connection per request on this machine,
// the same server doing each request's cipher work as well (the floor of a
// request of this protocol), and the in-process cost of that cipher work
// (the same bytes through the project's Twofish CFB-8). Then the agent's
// threads and RSS after a burst of 1,000 connections, back at idle.
//   OWL_BENCH_SECONDS (default 5) sets the length of each load run;
//   OWL_BENCH_IDLE_SECONDS (default 70) how long the burst check waits.
#include <arpa/inet.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bench_support.h"
#include "crypto/twofish.h"
#include "protocol/client.h"
#include "protocol/owlreply.h"
#include "protocol/qxrequest.h"

namespace {

using bench::Clock;

// ---- the minimal server ------------------------------------------------------

// Reads one length-prefixed packet from c into data; false when the peer
// went away.
bool ReadPacket(int c, std::string& data) {
    char buf[2048];
    for (;;) {
        ssize_t n = recv(c, buf, sizeof buf, 0);
        if (n <= 0) return false;
        data.append(buf, n);
        uint32_t len;
        if (data.size() >= 4 && (memcpy(&len, data.data(), 4), data.size() >= len + 4u))
            return true;
    }
}

// What a minimal server answers to a packet: the fixed reply, or, when it
// does the cipher work too, the reply text encrypted for the packet's own
// session key (a packet that does not parse gets nothing).
struct FixedReply {
    std::string packet;      // sent as it is
    const String* password;  // non-null: parse the request with it
    String text;             // and encrypt this under its session key
};

std::string Answer(const FixedReply& r, const std::string& request) {
    if (r.password == nullptr) return r.packet;
    QXRequest q;
    String bytes;
    bytes.CopyData(request.data(), (int)request.size());
    q = bytes;
    if (!q.ParseInitRequest(*r.password, in_addr{htonl(INADDR_LOOPBACK)})) return std::string();
    OWLReply reply;
    reply.InitPacket(nullptr, q.GetSessionKey());
    reply += r.text;
    reply.FinalizePacket();
    return std::string(reply.Data(), reply.Length());
}

// A child process whose workers block in accept on listener and answer
// every packet: one send, then close.
pid_t StartMinimalServer(int listener, const FixedReply& reply, int workers) {
    pid_t pid = fork();
    if (pid != 0) return pid;
    for (int i = 0; i < workers; i++)
        std::thread([listener, reply] {
            for (;;) {
                int c = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
                if (c < 0) continue;
                std::string request, answer;
                if (ReadPacket(c, request)) answer = Answer(reply, request);
                if (!answer.empty()) send(c, answer.data(), answer.size(), MSG_NOSIGNAL);
                close(c);
            }
        }).detach();
    for (;;) pause();
}

// ---- what a process used -------------------------------------------------------

// CPU seconds of pid so far, from /proc/PID/stat: user and system, or
// user only.
double CpuSeconds(pid_t pid, bool userOnly = false) {
    std::ifstream f("/proc/" + std::to_string(pid) + "/stat");
    std::string all((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    std::istringstream rest(all.substr(all.rfind(')') + 2));
    std::string field;
    long long utime = 0, stime = 0;
    for (int i = 3; i <= 15 && rest >> field; i++) {
        if (i == 14) utime = atoll(field.c_str());
        if (i == 15) stime = atoll(field.c_str());
    }
    return (double)(utime + (userOnly ? 0 : stime)) / sysconf(_SC_CLK_TCK);
}

// A "Name:  value" line of /proc/PID/status as a number (kB for sizes).
long StatusValue(pid_t pid, const char* name) {
    std::ifstream f("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(f, line);)
        if (line.compare(0, strlen(name), name) == 0 && line[strlen(name)] == ':')
            return atol(line.c_str() + strlen(name) + 1);
    return -1;
}

// ---- load ------------------------------------------------------------------------

struct Load {
    double rate = 0;                   // requests per second
    double p50 = 0, p99 = 0, max = 0;  // microseconds
    double cpuPerReq = 0;              // microseconds of the server's CPU per request
    double userPerReq = 0;             // of which in user space
};

// What the rounds of one server's load have measured.
struct Samples {
    std::vector<double> times;            // of every request, microseconds
    double wall = 0;                      // seconds
    std::vector<double> cpuPerReq, user;  // per round
};

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

// clients closed-loop clients sending the packets in turn on fresh
// connections to port for ms; the server is pid. The replies are read
// whole, not decrypted, so that the clients' own cipher work stays out.
void RunRound(pid_t pid, int port, const std::vector<String>& packets, int clients, int ms,
              Samples& out) {
    std::atomic<long> failed{0};
    std::vector<std::vector<double>> times(clients);
    auto end = Clock::now() + std::chrono::milliseconds(ms);
    double cpu0 = CpuSeconds(pid), user0 = CpuSeconds(pid, true);
    auto t0 = Clock::now();
    std::vector<std::thread> threads;
    for (int i = 0; i < clients; i++)
        threads.emplace_back([&, i] {
            for (size_t n = i; Clock::now() < end; n++) {
                auto s = Clock::now();
                String reply, err;
                const String& packet = packets[n % packets.size()];
                if (ExchangePacket("127.0.0.1", port, packet, 5000, reply, err) == OWL_REPLY)
                    times[i].push_back(bench::Us(Clock::now() - s));
                else
                    failed++;
            }
        });
    for (auto& t : threads) t.join();
    out.wall += bench::Us(Clock::now() - t0) / 1e6;
    size_t count = 0;
    for (auto& v : times) {
        out.times.insert(out.times.end(), v.begin(), v.end());
        count += v.size();
    }
    if (failed) fprintf(stderr, "%ld requests failed\n", failed.load());
    if (count == 0) return;
    out.cpuPerReq.push_back((CpuSeconds(pid) - cpu0) * 1e6 / count);
    out.user.push_back((CpuSeconds(pid, true) - user0) * 1e6 / count);
}

Load Summarize(Samples s) {
    Load l;
    if (s.times.empty()) return l;
    std::sort(s.times.begin(), s.times.end());
    l.rate = s.times.size() / s.wall;
    l.p50 = s.times[s.times.size() / 2];
    l.p99 = s.times[s.times.size() * 99 / 100];
    l.max = s.times.back();
    l.cpuPerReq = Median(s.cpuPerReq);
    l.userPerReq = Median(s.user);
    return l;
}

// ---- the cipher floor ------------------------------------------------------------

// CPU microseconds of the cipher work of one request: the packet checked
// and decrypted, a reply of replyText encrypted.
double CipherUs(const std::vector<String>& packets, const String& password,
                const String& replyText) {
    const int rounds = 2000;
    in_addr peer{htonl(INADDR_LOOPBACK)};
    struct timespec t0, t1;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t0);
    for (int i = 0; i < rounds; i++) {
        QXRequest q;
        q = packets[i % packets.size()];
        if (!q.ParseInitRequest(password, peer)) exit(1);
        OWLReply r;
        r.InitPacket(nullptr, q.GetSessionKey());
        r += replyText;
        r.FinalizePacket();
    }
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t1);
    return ((t1.tv_sec - t0.tv_sec) * 1e6 + (t1.tv_nsec - t0.tv_nsec) / 1e3) / rounds;
}

// A server measured beside the agent.
struct Floor {
    pid_t pid = 0;
    int port = 0;
};

// The agent and the two minimal servers in turns, a round each at a time,
// so that all meet the machine as it is (other load, frequency, caches):
// CPU per request is the median of the rounds, latencies are of all
// requests. The cipher work is measured between the rounds too, its median
// returned.
double Compare(pid_t agent, int agentPort, const Floor& plain, const Floor& ciphered,
               const std::vector<String>& packets, const String& password, const String& replyText,
               int clients, int seconds, Load& owl, Load& minimal, Load& withCipher) {
    const int rounds = 5, ms = seconds * 1000 / rounds;
    Samples a, m, w;
    std::vector<double> cipher;
    for (int r = 0; r < rounds; r++) {
        RunRound(plain.pid, plain.port, packets, clients, ms, m);
        cipher.push_back(CipherUs(packets, password, replyText));
        RunRound(agent, agentPort, packets, clients, ms, a);
        RunRound(ciphered.pid, ciphered.port, packets, clients, ms, w);
    }
    owl = Summarize(a);
    minimal = Summarize(m);
    withCipher = Summarize(w);
    return Median(cipher);
}

// ---- the burst -------------------------------------------------------------------

// 1,000 connections at once, each sending packet and reading its reply.
void Burst(int port, const String& packet) {
    // All connected first, then all sent, then all read.
    std::vector<int> socks;
    for (int i = 0; i < 1000; i++) {
        String err;
        int s = ConnectAgent("127.0.0.1", port, 5000, err);
        if (s < 0) break;
        SendAll(s, packet.Data(), packet.Length(), err);
        socks.push_back(s);
    }
    for (int s : socks) {
        String reply, err;
        ReadReplyPacket(s, 10000, reply, err);
        close(s);
    }
    printf("burst: %zu connections answered\n", socks.size());
}

struct Case {
    const char* name;
    std::vector<String> packets;  // each with a session key of its own
    String replyText;
    Floor plain;     // the minimal server
    Floor ciphered;  // the minimal server doing the request's cipher work
};

}  // namespace

int main() {
    signal(SIGPIPE, SIG_IGN);
    struct rlimit nofile = {4096, 4096};
    setrlimit(RLIMIT_NOFILE, &nofile);
    Twofish_initialise();
    const int seconds = bench::EnvSeconds("OWL_BENCH_SECONDS", 5);
    const int idleSeconds = bench::EnvSeconds("OWL_BENCH_IDLE_SECONDS", 70);

    std::string dir = bench::MakeTempDir("owlbench");
    int owlPort = bench::FreeLoopbackPort();
    pid_t agent = dir.empty() || owlPort < 0 ? -1 : bench::StartAgent(dir, owlPort);
    if (agent <= 0) {
        fprintf(stderr, "the agent did not start\n");
        exit(1);
    }
    const String password("bench");
    // Consoles pick a fresh session key for every request.
    auto prepared = [&](const char* command) {
        std::vector<String> packets;
        for (int i = 0; i < 64; i++)
            packets.push_back(BuildRequestPacket(password, NewSessionKey(),
                                                 BuildRequestText(String(command), {})));
        return packets;
    };
    String info, err;
    OwlRequest("127.0.0.1", owlPort, password, String("GetInfo"), {}, 5000, info, err);
    // The idle figures, before any load.
    const long idleRss = StatusValue(agent, "VmRSS"), idleThreads = StatusValue(agent, "Threads");
    Case cases[] = {
        {"refused (TEST-Ping)",
         prepared("TEST-Ping"),
         String("500\nnot implemented yet\n"),
         {},
         {}},
        {"GetInfo", prepared("GetInfo"), info, {}, {}},
    };
    // Floor servers per case, answering with as many bytes as the agent.
    for (Case& c : cases) {
        String sample, e;
        ExchangePacket("127.0.0.1", owlPort, c.packets[0], 5000, sample, e);
        FixedReply plain{std::string(sample.Data(), sample.Length()), nullptr, String()};
        FixedReply ciphered{std::string(), &password, c.replyText};
        for (auto [floor, reply] :
             {std::pair(&c.plain, &plain), std::pair(&c.ciphered, &ciphered)}) {
            int listener = bench::ListenLoopback(&floor->port);
            floor->pid = StartMinimalServer(listener, *reply, 16);
            close(listener);
        }
    }

    int met = 0, targets = 0;
    auto target = [&](bool ok) {
        targets++;
        met += ok;
        return bench::Verdict(ok);
    };
    for (const Case& c : cases) {
        printf("== %s\n", c.name);
        for (int clients : {1, 16}) {
            Load owl, floor, ciphered;
            double cipher = Compare(agent, owlPort, c.plain, c.ciphered, c.packets, password,
                                    c.replyText, clients, seconds, owl, floor, ciphered);
            printf("%2d clients: cipher work per request %.1f us (in process)\n", clients, cipher);
            printf(
                "%2d clients: agent %.0f req/s, CPU %.1f us/req (user %.1f), p50/p99/max "
                "%.0f/%.0f/%.0f us | minimal server %.0f req/s, CPU %.1f us/req (user %.1f), "
                "p50/p99/max %.0f/%.0f/%.0f us | CPU ratio %.2fx, p99 ratio %.2fx\n",
                clients, owl.rate, owl.cpuPerReq, owl.userPerReq, owl.p50, owl.p99, owl.max,
                floor.rate, floor.cpuPerReq, floor.userPerReq, floor.p50, floor.p99, floor.max,
                owl.cpuPerReq / floor.cpuPerReq, owl.p99 / floor.p99);
            printf(
                "            minimal server with the cipher work %.0f req/s, CPU %.1f us/req, "
                "p50/p99/max %.0f/%.0f/%.0f us | agent's CPU ratio %.2fx, p99 ratio %.2fx\n",
                ciphered.rate, ciphered.cpuPerReq, ciphered.p50, ciphered.p99, ciphered.max,
                owl.cpuPerReq / ciphered.cpuPerReq, owl.p99 / ciphered.p99);
            if (clients != 16) continue;
            bool refused = c.replyText.Pos("500") == 1;
            double limit = (refused ? 0 : cipher) + 1.3 * floor.cpuPerReq;
            printf("   target CPU <= %s1.3x minimal (%.1f us): %s\n", refused ? "" : "cipher + ",
                   limit, target(owl.cpuPerReq <= limit));
            printf("   target p99 <= 1.2x minimal (%.0f us): %s\n", 1.2 * floor.p99,
                   target(owl.p99 <= 1.2 * floor.p99));
        }
    }

    // Threads and memory go back to their idle figures after a burst.
    Burst(owlPort, cases[1].packets[0]);
    long peakThreads = StatusValue(agent, "Threads");
    sleep(idleSeconds);
    long rss = StatusValue(agent, "VmRSS"), threads = StatusValue(agent, "Threads");
    printf(
        "idle: %ld threads, RSS %ld kB; after the burst %ld threads; %d s later %ld threads, "
        "RSS %ld kB\n",
        idleThreads, idleRss, peakThreads, idleSeconds, threads, rss);
    printf("   target threads back to the idle floor: %s\n", target(threads <= idleThreads));
    printf("   target RSS within 1 MiB of idle: %s\n", target(rss - idleRss <= 1024));
    printf("targets met: %d of %d\n", met, targets);

    for (const Case& c : cases) {
        kill(c.plain.pid, SIGKILL);
        kill(c.ciphered.pid, SIGKILL);
    }
    kill(agent, SIGKILL);
    while (wait(nullptr) > 0) {
    }
    int rc = bench::RemoveTree(dir) ? 0 : 1;
    fflush(stdout);
    _exit(rc);
}
