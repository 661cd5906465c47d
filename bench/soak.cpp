// Soak run: a daemon agent under a mixed load for SOAK_SECONDS seconds
// (default 60): every command family, malformed packets, slow and
// trickling peers from 127.0.0.2, concurrent "SetSettings" and bursts of
// 1,000 concurrent connections. Prints at every report (each minute, or
// twice in a shorter run) the replies by status, the connections refused
// or closed without a reply, and the agent's RSS, descriptors, threads and
// zombie children; at the end whether any of them grew. Exit status 1 when
// something grew, a zombie remained or a console request went unanswered.
#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <map>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "bench_support.h"
#include "crypto/twofish.h"
#include "protocol/client.h"

namespace {

using bench::Clock;
const char kPassword[] = "soak-password";

std::atomic<bool> g_stop{false};
std::mutex g_mutex;
std::map<std::string, long> g_replies;  // by status, under g_mutex
std::atomic<long> g_refused{0};         // a console request without any reply
std::atomic<long> g_malformed{0}, g_trickled{0};

void Count(const std::string& status) {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_replies[status]++;
}

// One console request; its status is counted, a missing reply refused.
void Console(int port, const char* command, const std::vector<String>& params) {
    String text, err;
    if (OwlRequest("127.0.0.1", port, String(kPassword), String(command), params, 10000, text,
                   err) == OWL_REPLY)
        Count(std::string(text.Data(), text.Length() < 3 ? text.Length() : 3));
    else
        g_refused++;
}

// A socket from source to the agent with its first bytes sent, or -1.
int Open(const char* source, int port, const std::string& bytes) {
    int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = inet_addr(source);
    if (bind(s, (sockaddr*)&addr, sizeof addr) == 0) {
        addr.sin_port = htons(port);
        addr.sin_addr.s_addr = inet_addr("127.0.0.1");
        if (connect(s, (sockaddr*)&addr, sizeof addr) == 0 &&
            send(s, bytes.data(), bytes.size(), MSG_NOSIGNAL) == (ssize_t)bytes.size())
            return s;
    }
    close(s);
    return -1;
}

void Pause(int ms) {
    for (int i = 0; i < ms / 50 && !g_stop; i++) usleep(50 * 1000);
}

typedef std::vector<std::pair<const char*, std::vector<String>>> CommandTable;

// Every command family with harmless parameters.
CommandTable Table(int port, const std::string& dir) {
    return {
        {"GetInfo", {}},
        {"GetSettings", {}},
        {"TEST-DiskSpace", {String("/")}},
        {"TEST-FolderSize", {String(dir.c_str())}},
        {"TEST-FileExists", {String((dir + "/owl.cfg").c_str())}},
        {"TEST-CountFiles", {String(dir.c_str()), String("*")}},
        {"TEST-TextLog", {String((dir + "/fail.log").c_str()), String("0"), String("x")}},
        {"TEST-TCP", {String("127.0.0.1"), String(std::to_string(port).c_str())}},
        {"TEST-Process", {String(""), String("owl")}},
        {"TEST-FileCRC", {String((dir + "/owl.cfg").c_str())}},
        {"TEST-ExternalPrg", {String("/bin/true"), String(""), String(""), String("0")}},
        // Left running, then collected by the agent's reaper: zombies show.
        {"TEST-ExternalPrg", {String("/bin/sleep 2"), String(""), String(""), String("-1")}},
        {"TEST-ShellScript",
         {String("/bin/sh %script%"), String("echo scriptres:ok"), String(""), String("5"),
          String("1")}},
        {"TEST-UDP",
         {String("127.0.0.1"), String(std::to_string(port).c_str()), String("50"), String("1"),
          String("ping"), String("0")}},
        {"GetFilesList", {String(dir.c_str())}},
        {"GetDriveList", {}},
        {"Unknown-Command", {}},
    };
}

// The table round and round.
void Commands(int port, const std::string& dir) {
    const CommandTable table = Table(port, dir);
    for (size_t i = 0; !g_stop; i++) {
        Console(port, table[i % table.size()].first, table[i % table.size()].second);
        usleep(5 * 1000);
    }
}

// Random bytes, truncated and wrongly keyed packets.
void Malformed(int port) {
    std::mt19937 rng(20261206);
    String good = BuildRequestPacket(String(kPassword), String("key"),
                                     BuildRequestText(String("GetInfo"), {}));
    while (!g_stop) {
        std::string bytes(good.Data(), good.Length());
        switch (rng() % 3) {
            case 0:
                for (char& c : bytes) c = (char)rng();
                break;
            case 1:
                bytes.resize(rng() % bytes.size());
                break;
            case 2:
                bytes[8 + rng() % 16] ^= 1;  // the password digest
                break;
        }
        int s = Open("127.0.0.1", port, bytes);
        if (s >= 0) close(s);
        g_malformed++;
        usleep(10 * 1000);
    }
}

// 50 peers from 127.0.0.2 that send a byte every half second; a closed one
// comes back.
void Tricklers(int port) {
    String packet = BuildRequestPacket(String(kPassword), String("key"),
                                       BuildRequestText(String("GetInfo"), {}));
    std::string prefix(packet.Data(), packet.Length() - 1);
    std::vector<int> socks(50, -1);
    std::vector<size_t> sent(50, 0);
    while (!g_stop) {
        for (size_t i = 0; i < socks.size(); i++) {
            if (socks[i] < 0 || sent[i] >= prefix.size() ||
                send(socks[i], &prefix[sent[i]], 1, MSG_NOSIGNAL) != 1) {
                if (socks[i] >= 0) close(socks[i]);
                socks[i] = Open("127.0.0.2", port, prefix.substr(0, 1));
                sent[i] = 1;
                g_trickled++;
            } else {
                sent[i]++;
            }
        }
        Pause(500);
    }
    for (int s : socks)
        if (s >= 0) close(s);
}

// "SetSettings" twice a second, switching a log flag.
void Settings(int port) {
    for (int i = 0; !g_stop; i++) {
        Console(port, "SetSettings", {String(i % 2 ? "LogOkConn=1" : "LogOkConn=0")});
        Pause(500);
    }
}

// 1,000 connections at once, each with a whole request; every 20 seconds.
void Bursts(int port) {
    while (!g_stop) {
        std::vector<std::pair<int, String>> conns;
        for (int i = 0; i < 1000 && !g_stop; i++) {
            String key = NewSessionKey();
            String p =
                BuildRequestPacket(String(kPassword), key, BuildRequestText(String("GetInfo"), {}));
            int s = Open("127.0.0.1", port, std::string(p.Data(), p.Length()));
            if (s < 0)
                g_refused++;
            else
                conns.push_back({s, key});
        }
        for (auto& c : conns) {
            String packet, text, err;
            if (ReadReplyPacket(c.first, 10000, packet, err) == OWL_REPLY &&
                DecodeReplyPacket(packet, c.second, text))
                Count(std::string(text.Data(), 3));
            else
                g_refused++;
            close(c.first);
        }
        Pause(20000);
    }
}

struct Sample {
    long rssKb = 0, fds = 0, threads = 0, zombies = 0;
};

long StatusField(pid_t pid, const char* key) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string word;
    while (in >> word)
        if (word == key && in >> word) return atol(word.c_str());
    return -1;
}

Sample Measure(pid_t agent) {
    Sample s;
    s.rssKb = StatusField(agent, "VmRSS:");
    s.threads = StatusField(agent, "Threads:");
    std::string fdDir = "/proc/" + std::to_string(agent) + "/fd";
    if (DIR* d = opendir(fdDir.c_str())) {
        while (dirent* e = readdir(d)) s.fds += e->d_name[0] != '.';
        closedir(d);
    }
    if (DIR* d = opendir("/proc")) {
        while (dirent* e = readdir(d)) {
            std::ifstream in(std::string("/proc/") + e->d_name + "/stat");
            std::string line;
            if (!std::getline(in, line) || line.rfind(')') == std::string::npos) continue;
            char state = 0;
            long ppid = 0;
            sscanf(line.c_str() + line.rfind(')') + 2, "%c %ld", &state, &ppid);
            s.zombies += ppid == agent && state == 'Z';
        }
        closedir(d);
    }
    return s;
}

void Report(long seconds, const Sample& s) {
    std::string replies;
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        for (auto& kv : g_replies) replies += " " + kv.first + ":" + std::to_string(kv.second);
    }
    printf(
        "t=%4lds replies%s | unanswered %ld | malformed %ld trickled %ld | rss %ld kB fds %ld "
        "threads %ld zombies %ld\n",
        seconds, replies.c_str(), g_refused.load(), g_malformed.load(), g_trickled.load(), s.rssKb,
        s.fds, s.threads, s.zombies);
    fflush(stdout);
}

}  // namespace

int main() {
    signal(SIGPIPE, SIG_IGN);
    Twofish_initialise();
    long seconds = getenv("SOAK_SECONDS") ? atol(getenv("SOAK_SECONDS")) : 60;
    if (seconds < 10) seconds = 10;
    long every = seconds >= 120 ? 60 : seconds / 2;
    std::string dir = bench::MakeTempDir("owl-soak");
    int port = bench::FreeLoopbackPort();
    // A daemon that may be managed and runs every file test; its own
    // complaints stay on stderr.
    bench::AgentOptions options;
    options.password = kPassword;
    options.keepStderr = true;
    options.extra = "timeout=2000\nbadlogfile=" + dir +
                    "/fail.log\nallowmanage=1\nfileexists=1\nfoldersize=1\ncountfiles=1\n";
    pid_t agent = dir.empty() || port < 0 ? -1 : bench::StartAgent(dir, port, options);
    if (agent <= 0) {
        fprintf(stderr, "soak: the agent did not start\n");
        return 1;
    }
    printf("soak: %ld s against the daemon agent %d on port %d\n", seconds, agent, port);
    // Each command once, so that what the agent keeps for good from its
    // first use (the reaper of programs left running, with its wake-up
    // pipe) is there before the quiet sample; then the started programs end.
    for (const auto& command : Table(port, dir)) Console(port, command.first, command.second);
    usleep(3000 * 1000);
    Sample quiet = Measure(agent);  // before the load
    std::vector<std::thread> load;
    load.emplace_back(Commands, port, dir);
    load.emplace_back(Commands, port, dir);
    load.emplace_back(Malformed, port);
    load.emplace_back(Tricklers, port);
    load.emplace_back(Settings, port);
    load.emplace_back(Bursts, port);

    auto start = Clock::now();
    Sample first, last;
    for (long t = every; t <= seconds; t += every) {
        while (!g_stop && Clock::now() - start < std::chrono::seconds(t)) usleep(100 * 1000);
        last = Measure(agent);
        if (t == every) first = last;
        Report(t, last);
        if (kill(agent, 0) != 0) break;
    }
    g_stop = true;
    for (auto& t : load) t.join();

    // Once the load has stopped, the connections drain: every descriptor
    // of the sessions goes; threads stay at most as the idle pool (64).
    Sample drained = Measure(agent);
    for (int i = 0; i < 100 && drained.fds > quiet.fds; i++, usleep(100 * 1000))
        drained = Measure(agent);
    bool alive = kill(agent, 0) == 0;
    bool grew = !alive || last.rssKb > first.rssKb * 5 / 4 + 4096 || drained.fds > quiet.fds ||
                drained.threads > quiet.threads + 64;
    printf(
        "soak: rss %ld kB at the first report, %ld kB at the last; when quiet before and "
        "after: fds %ld -> %ld, threads %ld -> %ld; zombies %ld, unanswered %ld: %s\n",
        first.rssKb, last.rssKb, quiet.fds, drained.fds, quiet.threads, drained.threads,
        last.zombies + drained.zombies, g_refused.load(),
        !alive ? "THE AGENT DIED"
        : grew ? "SOMETHING GREW"
               : "flat");
    Console(port, "QUIT", {});
    for (int i = 0; i < 50 && kill(agent, 0) == 0; i++) usleep(100 * 1000);
    if (kill(agent, 0) == 0) kill(agent, SIGKILL);
    bench::RemoveTree(dir);
    return grew || last.zombies + drained.zombies > 0 || g_refused > 0 ? 1 : 0;
}
