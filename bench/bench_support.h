// The pieces every benchmark program shares: the clock and its timing
// helpers (one run, best of, median of, best of pairs, requests per second
// from several client threads), loopback listeners and free ports, a
// temporary folder, the real agent started with a written configuration,
// console requests, shell baselines and the "met" verdicts of the reports.
// Header-only, inline. The timing helpers call the given function from the
// calling thread, except Rate, which calls it from its own client threads at
// once (the function must then be safe to call from several threads);
// everything else keeps no state and may be called from any thread.
#ifndef OWL_BENCH_BENCH_SUPPORT_H
#define OWL_BENCH_BENCH_SUPPORT_H

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "protocol/client.h"

namespace bench {

using Clock = std::chrono::steady_clock;

// Microseconds in d.
inline double Us(Clock::duration d) { return std::chrono::duration<double, std::micro>(d).count(); }

// Wall seconds one call of run takes.
inline double Seconds(const std::function<void()>& run) {
    auto t0 = Clock::now();
    run();
    return std::chrono::duration<double>(Clock::now() - t0).count();
}

// Seconds of the fastest of count calls of run.
inline double BestOf(int count, const std::function<void()>& run) {
    double best = 1e30;
    for (int i = 0; i < count; i++) best = std::min(best, Seconds(run));
    return best;
}

// Seconds of the median of count calls of run (count at least 1).
inline double MedianOf(int count, const std::function<void()>& run) {
    std::vector<double> t;
    for (int i = 0; i < count; i++) t.push_back(Seconds(run));
    std::sort(t.begin(), t.end());
    return t[t.size() / 2];
}

// Best wall times, in seconds, of runs calls of each of the two, taken in
// turn so that a change in the machine's load hits both alike; stored in
// *tOwl and *tBase.
inline void BestOfPairs(int runs, const std::function<void()>& owl,
                        const std::function<void()>& base, double* tOwl, double* tBase) {
    *tOwl = *tBase = 1e30;
    for (int i = 0; i < runs; i++) {
        *tOwl = std::min(*tOwl, Seconds(owl));
        *tBase = std::min(*tBase, Seconds(base));
    }
}

// Successful calls of once per second from clients threads calling it in a
// loop for seconds seconds; the failed calls are counted on stderr as
// "N <what> failed".
inline double Rate(const std::function<bool()>& once, int clients, int seconds, const char* what) {
    std::atomic<long> done{0}, failed{0};
    auto end = Clock::now() + std::chrono::seconds(seconds);
    std::vector<std::thread> threads;
    for (int i = 0; i < clients; i++)
        threads.emplace_back([&] {
            while (Clock::now() < end) (once() ? done : failed)++;
        });
    for (auto& t : threads) t.join();
    if (failed) fprintf(stderr, "%ld %s failed\n", failed.load(), what);
    return done.load() / (double)seconds;
}

// A socket bound to a free port of 127.0.0.1 (close-on-exec), listening
// when listening is set; the port goes to *port. Returns -1 on failure,
// with *port untouched.
inline int BindLoopback(int* port, bool listening) {
    int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int one = 1;
    setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (s < 0 || bind(s, (sockaddr*)&addr, sizeof addr) != 0 ||
        (listening && listen(s, 512) != 0) || getsockname(s, (sockaddr*)&addr, &len) != 0) {
        if (s >= 0) close(s);
        return -1;
    }
    *port = ntohs(addr.sin_port);
    return s;
}

// A listener on a free port of 127.0.0.1, its port in *port; -1 on failure.
inline int ListenLoopback(int* port) { return BindLoopback(port, true); }

// A loopback port that nothing listens on right now, or -1.
inline int FreeLoopbackPort() {
    int port = -1;
    int s = BindLoopback(&port, false);
    if (s >= 0) close(s);
    return port;
}

// A new folder $TMPDIR/<name>-XXXXXX (/tmp when TMPDIR is unset or empty);
// its path, or "" when it cannot be made.
inline std::string MakeTempDir(const char* name) {
    const char* tmp = getenv("TMPDIR");
    std::string tmpl = std::string(tmp && *tmp ? tmp : "/tmp") + "/" + name + "-XXXXXX";
    return mkdtemp(&tmpl[0]) != nullptr ? tmpl : std::string();
}

// Removes the folder dir with everything in it; false when rm fails.
inline bool RemoveTree(const std::string& dir) {
    return system(("rm -rf '" + dir + "'").c_str()) == 0;
}

// How the agent is started.
struct AgentOptions {
    std::string password = "bench";
    std::string extra;        // more configuration lines, each ending in "\n"
    bool daemon = true;       // "-d" with a pid file in the folder, else "-i"
    bool keepStderr = false;  // the agent's stderr stays the benchmark's
};

// The agent binary the benchmarks start: OWL_BENCH_AGENT names another build
// (an older one, to compare before and after in the same run), else this one.
inline const char* AgentBinary() {
    const char* other = getenv("OWL_BENCH_AGENT");
    return other != nullptr && *other != 0 ? other : OWL_BINARY;
}

// Writes dir/owl.cfg for an agent on 127.0.0.1:port that logs failures only
// and starts the real agent with it, as a daemon (its pid read from
// dir/owl.pid) or as a child in the foreground. Returns the agent's pid
// once it answers a GetInfo; -1 when it does not within about five seconds
// (a foreground child is then killed).
inline pid_t StartAgent(const std::string& dir, int port, const AgentOptions& options = {}) {
    std::string cfg = dir + "/owl.cfg", pidfile = dir + "/owl.pid";
    std::ofstream(cfg) << "owlpath=" << AgentBinary() << "\nhost=127.0.0.1\nport=" << port
                       << "\npassword=" << options.password << "\nlogsuccess=0\nlogfails=1\n"
                       << options.extra << (options.daemon ? "pidfile=" + pidfile + "\n" : "");
    pid_t child = fork();
    if (child == 0) {
        int null = open("/dev/null", O_WRONLY);
        dup2(null, 1);
        if (!options.keepStderr) dup2(null, 2);
        execl(AgentBinary(), AgentBinary(), options.daemon ? "-d" : "-i", cfg.c_str(),
              (char*)nullptr);
        _exit(127);
    }
    if (options.daemon) waitpid(child, nullptr, 0);  // the parent half of the daemon start
    for (int i = 0; i < 500; i++, usleep(10000)) {
        pid_t agent = child;
        if (options.daemon && !(std::ifstream(pidfile) >> agent && agent > 0)) continue;
        String text, err;
        if (OwlRequest("127.0.0.1", port, String(options.password.c_str()), String("GetInfo"), {},
                       5000, text, err) == OWL_REPLY)
            return agent;
    }
    if (!options.daemon) {
        kill(child, SIGKILL);
        waitpid(child, nullptr, 0);
    }
    return -1;
}

// One console request to the agent on 127.0.0.1:port. Returns the whole
// reply text when the agent replied with status 200; otherwise prints
// "<command> failed: <reply><error>" to stderr, calls cleanUp when set and
// exits with 1.
inline std::string Ask(int port, const char* password, const char* command,
                       const std::vector<String>& params, int timeoutMs,
                       const std::function<void()>& cleanUp = nullptr) {
    String text, err;
    if (OwlRequest("127.0.0.1", port, String(password), String(command), params, timeoutMs, text,
                   err) != OWL_REPLY ||
        text.Pos("200\n") != 1) {
        fprintf(stderr, "%s failed: %.*s%.*s\n", command, text.Length(), text.Data(), err.Length(),
                err.Data());
        if (cleanUp) cleanUp();
        exit(1);
    }
    return std::string(text.Data(), text.Length());
}

// Runs command through the shell; its standard output in *out (trailing
// newlines cut) when out is set, else written to outputFile. False when
// the shell cannot be run.
inline bool Shell(const std::string& command, std::string* out,
                  const std::string& outputFile = "/dev/null") {
    if (out == nullptr) return system((command + " > '" + outputFile + "'").c_str()) != -1;
    FILE* p = popen(command.c_str(), "r");
    if (p == nullptr) return false;
    out->clear();
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) out->append(buf, n);
    if (pclose(p) == -1) return false;
    while (!out->empty() && out->back() == '\n') out->pop_back();
    return true;
}

// The whole number in the environment variable name, or fallback when it
// is unset or not above 0.
inline int EnvSeconds(const char* name, int fallback) {
    const char* text = getenv(name);
    int seconds = text ? atoi(text) : fallback;
    return seconds > 0 ? seconds : fallback;
}

// The word a report gives a target.
inline const char* Verdict(bool met) { return met ? "met" : "NOT met"; }

}  // namespace bench

#endif  // OWL_BENCH_BENCH_SUPPORT_H
