// Log watching speed on a 256 MiB synthetic log (lines of about 100 bytes,
// one in 10,000 holding "disk error"), each figure beside a baseline
// measured in the same run:
//   full scan for a string that never matches      vs grep -F -c
//   full scan for an expression of two alternatives vs grep -E -c
//   TEST-TextLog over the wire after 400 KB appended vs tail -c +N | grep -F -c
//   TEST-TextLog of an unchanged file               vs a GetInfo round trip
// The log lives in a temporary folder that is removed at the end.
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "crypto/twofish.h"
#include "logsearch/logscan.h"
#include "protocol/client.h"

namespace {

using Clock = std::chrono::steady_clock;

const long long kLogSize = 256LL << 20;
const char kPassword[] = "bench";

// Lines of about 100 bytes; every 10,000th holds "disk error".
void WriteLog(const std::string& path, long long size, unsigned seed) {
    const char* words[] = {"request", "served",  "user",     "session", "cache",
                           "miss",    "hit",     "query",    "slow",    "ok",
                           "retry",   "backend", "upstream", "timeout"};
    FILE* f = fopen(path.c_str(), "ab");
    long long written = 0;
    char line[256];
    for (long long n = 0; written < size; n++) {
        seed = seed * 1103515245 + 12345;
        int len = snprintf(line, sizeof line,
                           "Dec  6 %02d:%02d:%02d host%u app[%u]: ", (int)(n / 3600 % 24),
                           (int)(n / 60 % 60), (int)(n % 60), seed % 16, seed % 30000);
        while (len < 88) {
            seed = seed * 1103515245 + 12345;
            len += snprintf(line + len, sizeof line - len, "%s %u ", words[(seed >> 8) % 14],
                            seed % 1000);
        }
        if (n % 10000 == 9999) len += snprintf(line + len, sizeof line - len, "disk error");
        line[len++] = '\n';
        fwrite(line, 1, len, f);
        written += len;
    }
    fclose(f);
}

double Seconds(const std::function<void()>& run) {
    auto t0 = Clock::now();
    run();
    return std::chrono::duration<double>(Clock::now() - t0).count();
}

// The best of count runs.
double Best(int count, const std::function<void()>& run) {
    double best = 1e9;
    for (int i = 0; i < count; i++) best = std::min(best, Seconds(run));
    return best;
}

double Median(int count, const std::function<void()>& run) {
    std::vector<double> t;
    for (int i = 0; i < count; i++) t.push_back(Seconds(run));
    std::sort(t.begin(), t.end());
    return t[t.size() / 2];
}

// Where the baselines write: GNU grep stops at the first match when its
// output is /dev/null, so it must not be.
std::string outputFile = "/dev/null";

void Shell(const std::string& command) {
    if (system((command + " > '" + outputFile + "'").c_str()) == -1) {
        fprintf(stderr, "cannot run: %s\n", command.c_str());
        exit(1);
    }
}

// A full scan of the log as a check whose state lies before its start.
long long FullScan(const std::string& path, const char* text, int expression) {
    long long readPos = 0, lastSize = 1, lastAge = 1, fileSize;
    String line, error;
    return CheckFileForExpression(path.c_str(), String(text), readPos, lastSize, lastAge,
                                  expression, 1, 1, 0, line, error, fileSize);
}

// One request to the agent; exits when it fails.
std::string Ask(int port, const char* command, const std::vector<String>& params) {
    String text, err;
    if (OwlRequest("127.0.0.1", port, String(kPassword), String(command), params, 30000, text,
                   err) != OWL_REPLY ||
        text.Pos("200\n") != 1) {
        fprintf(stderr, "%s failed: %.*s%.*s\n", command, text.Length(), text.Data(), err.Length(),
                err.Data());
        exit(1);
    }
    return std::string(text.Data(), text.Length());
}

// The state lines (4 to 6) of a TEST-TextLog reply.
std::vector<String> State(const std::string& reply) {
    std::vector<String> lines;
    size_t at = reply.find('\n') + 1;
    for (int i = 0; i < 7; i++) {
        size_t nl = reply.find('\n', at);
        if (i >= 3) lines.push_back(String(reply.substr(at, nl - at).c_str()));
        at = nl + 1;
    }
    return lines;
}

std::vector<String> TextLogParams(const std::string& path, const std::vector<String>& state) {
    return {String(path.c_str()), String("disk error"), state[0],    state[1],   state[2],
            String("0"),          String("0"),          String("1"), String("0")};
}

// The agent as it runs in production: a daemon logging failures only.
pid_t StartAgent(const std::string& dir, int* port) {
    int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(s, (sockaddr*)&addr, sizeof addr);
    socklen_t len = sizeof addr;
    getsockname(s, (sockaddr*)&addr, &len);
    *port = ntohs(addr.sin_port);
    close(s);
    std::string cfg = dir + "/owl.cfg", pidfile = dir + "/owl.pid";
    std::ofstream(cfg) << "owlpath=" << OWL_BINARY << "\nhost=127.0.0.1\nport=" << *port
                       << "\npassword=" << kPassword
                       << "\nlogsuccess=0\nlogfails=1\ntextlog=1\npidfile=" << pidfile << "\n";
    pid_t pid = fork();
    if (pid == 0) {
        int null = open("/dev/null", O_WRONLY);
        dup2(null, 1);
        dup2(null, 2);
        execl(OWL_BINARY, OWL_BINARY, "-d", cfg.c_str(), (char*)nullptr);
        _exit(127);
    }
    waitpid(pid, nullptr, 0);
    for (int i = 0; i < 300; i++) {
        std::ifstream in(pidfile);
        pid_t daemon = 0;
        String text, err;
        if (in >> daemon && daemon > 0 &&
            OwlRequest("127.0.0.1", *port, String(kPassword), String("GetInfo"), {}, 2000, text,
                       err) == OWL_REPLY)
            return daemon;
        usleep(10000);
    }
    fprintf(stderr, "the agent did not start\n");
    exit(1);
}

const char* Verdict(bool met) { return met ? "met" : "NOT met"; }

}  // namespace

int main() {
    signal(SIGPIPE, SIG_IGN);
    Twofish_initialise();
    const char* tmp = getenv("TMPDIR");
    std::string tmpl = std::string(tmp && *tmp ? tmp : "/tmp") + "/owlbench-XXXXXX";
    std::string dir = mkdtemp(&tmpl[0]);
    std::string log = dir + "/big.log";
    WriteLog(log, kLogSize, 1);
    Shell("cat '" + log + "'");  // into the page cache
    outputFile = dir + "/out";
    const double mb = kLogSize / 1048576.0;

    const std::string plain = "kernel panic: not syncing";
    double owlPlain = Best(3, [&] { FullScan(log, plain.c_str(), 0); });
    double grepF = Best(3, [&] { Shell("grep -F -c '" + plain + "' '" + log + "'"); });
    printf(
        "full scan, plain string: %.0f MB/s (baseline grep -F -c: %.0f MB/s; ratio %.2fx) "
        "target >= 0.5x: %s\n",
        mb / owlPlain, mb / grepF, grepF / owlPlain, Verdict(grepF / owlPlain >= 0.5));

    const char* expression = "'disk error' or 'kernel panic'";
    if (FullScan(log, expression, 1) <= 0) fprintf(stderr, "the expression found nothing\n");
    double owlExpr = Best(3, [&] { FullScan(log, expression, 1); });
    double grepE = Best(3, [&] { Shell("grep -E -c 'disk error|kernel panic' '" + log + "'"); });
    printf(
        "full scan, two alternatives: %.0f MB/s (baseline grep -E -c: %.0f MB/s; ratio %.2fx; "
        "ratio to grep -F %.2fx) target >= 0.25x grep -F: %s\n",
        mb / owlExpr, mb / grepE, grepE / owlExpr, grepF / owlExpr,
        Verdict(grepF / owlExpr >= 0.25));

    int port;
    pid_t agent = StartAgent(dir, &port);
    std::vector<String> first =
        State(Ask(port, "TEST-TextLog", TextLogParams(log, {"0", "0", "0"})));
    WriteLog(log, 400 * 1000, 2);
    long long offset = atoll(first[0].SetZero().Data());
    Ask(port, "TEST-TextLog", TextLogParams(log, first));  // warm-up
    double owlTail = Median(21, [&] { Ask(port, "TEST-TextLog", TextLogParams(log, first)); });
    double tail = Median(21, [&] {
        Shell("tail -c +" + std::to_string(offset + 1) + " '" + log +
              "' | grep -F -c 'disk error'");
    });
    printf(
        "TEST-TextLog after 400 KB appended: %.2f ms (baseline tail -c +N | grep -F -c: %.2f ms; "
        "ratio %.2fx) target <= 2x: %s\n",
        owlTail * 1e3, tail * 1e3, owlTail / tail, Verdict(owlTail / tail <= 2));

    std::vector<String> now = State(Ask(port, "TEST-TextLog", TextLogParams(log, first)));
    for (int i = 0; i < 50; i++) Ask(port, "GetInfo", {});
    double owlSame = Median(301, [&] { Ask(port, "TEST-TextLog", TextLogParams(log, now)); });
    double info = Median(301, [&] { Ask(port, "GetInfo", {}); });
    printf(
        "TEST-TextLog of an unchanged file: %.1f us (baseline GetInfo round trip: %.1f us; "
        "ratio %.2fx) target <= 1.5x: %s\n",
        owlSame * 1e6, info * 1e6, owlSame / info, Verdict(owlSame / info <= 1.5));

    kill(agent, SIGKILL);
    Shell("rm -rf '" + dir + "'");
    return 0;
}
