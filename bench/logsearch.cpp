// Log watching speed on a 256 MiB synthetic log (lines of about 100 bytes,
// one in 10,000 holding "disk error"), each figure beside a baseline
// measured in the same run:
//   full scan for a string that never matches      vs grep -F -c
//   full scan for an expression of two alternatives vs grep -E -c
//   TEST-TextLog over the wire after 400 KB appended vs tail -c +N | grep -F -c
//   TEST-TextLog of an unchanged file               vs a GetInfo round trip
// The log lives in a temporary folder that is removed at the end.
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "bench_support.h"
#include "crypto/twofish.h"
#include "logsearch/logscan.h"
#include "protocol/client.h"

namespace {

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

// Where the baselines write: GNU grep stops at the first match when its
// output is /dev/null, so it must not be.
std::string outputFile = "/dev/null";

void Shell(const std::string& command) {
    if (!bench::Shell(command, nullptr, outputFile)) {
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
    return bench::Ask(port, kPassword, command, params, 30000);
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

}  // namespace

int main() {
    signal(SIGPIPE, SIG_IGN);
    Twofish_initialise();
    std::string dir = bench::MakeTempDir("owlbench");
    if (dir.empty()) {
        fprintf(stderr, "no temporary folder\n");
        exit(1);
    }
    std::string log = dir + "/big.log";
    WriteLog(log, kLogSize, 1);
    Shell("cat '" + log + "'");  // into the page cache
    outputFile = dir + "/out";
    const double mb = kLogSize / 1048576.0;

    const std::string plain = "kernel panic: not syncing";
    double owlPlain = bench::BestOf(3, [&] { FullScan(log, plain.c_str(), 0); });
    double grepF = bench::BestOf(3, [&] { Shell("grep -F -c '" + plain + "' '" + log + "'"); });
    printf(
        "full scan, plain string: %.0f MB/s (baseline grep -F -c: %.0f MB/s; ratio %.2fx) "
        "target >= 0.5x: %s\n",
        mb / owlPlain, mb / grepF, grepF / owlPlain, bench::Verdict(grepF / owlPlain >= 0.5));

    const char* expression = "'disk error' or 'kernel panic'";
    if (FullScan(log, expression, 1) <= 0) fprintf(stderr, "the expression found nothing\n");
    double owlExpr = bench::BestOf(3, [&] { FullScan(log, expression, 1); });
    double grepE =
        bench::BestOf(3, [&] { Shell("grep -E -c 'disk error|kernel panic' '" + log + "'"); });
    printf(
        "full scan, two alternatives: %.0f MB/s (baseline grep -E -c: %.0f MB/s; ratio %.2fx; "
        "ratio to grep -F %.2fx) target >= 0.25x grep -F: %s\n",
        mb / owlExpr, mb / grepE, grepE / owlExpr, grepF / owlExpr,
        bench::Verdict(grepF / owlExpr >= 0.25));

    // The agent as it runs in production: a daemon logging failures only.
    int port = bench::FreeLoopbackPort();
    bench::AgentOptions options;
    options.password = kPassword;
    options.extra = "textlog=1\n";
    pid_t agent = port < 0 ? -1 : bench::StartAgent(dir, port, options);
    if (agent <= 0) {
        fprintf(stderr, "the agent did not start\n");
        exit(1);
    }
    std::vector<String> first =
        State(Ask(port, "TEST-TextLog", TextLogParams(log, {"0", "0", "0"})));
    WriteLog(log, 400 * 1000, 2);
    long long offset = atoll(first[0].SetZero().Data());
    Ask(port, "TEST-TextLog", TextLogParams(log, first));  // warm-up
    double owlTail =
        bench::MedianOf(21, [&] { Ask(port, "TEST-TextLog", TextLogParams(log, first)); });
    double tail = bench::MedianOf(21, [&] {
        Shell("tail -c +" + std::to_string(offset + 1) + " '" + log +
              "' | grep -F -c 'disk error'");
    });
    printf(
        "TEST-TextLog after 400 KB appended: %.2f ms (baseline tail -c +N | grep -F -c: %.2f ms; "
        "ratio %.2fx) target <= 2x: %s\n",
        owlTail * 1e3, tail * 1e3, owlTail / tail, bench::Verdict(owlTail / tail <= 2));

    std::vector<String> now = State(Ask(port, "TEST-TextLog", TextLogParams(log, first)));
    for (int i = 0; i < 50; i++) Ask(port, "GetInfo", {});
    double owlSame =
        bench::MedianOf(301, [&] { Ask(port, "TEST-TextLog", TextLogParams(log, now)); });
    double info = bench::MedianOf(301, [&] { Ask(port, "GetInfo", {}); });
    printf(
        "TEST-TextLog of an unchanged file: %.1f us (baseline GetInfo round trip: %.1f us; "
        "ratio %.2fx) target <= 1.5x: %s\n",
        owlSame * 1e6, info * 1e6, owlSame / info, bench::Verdict(owlSame / info <= 1.5));

    kill(agent, SIGKILL);
    bench::RemoveTree(dir);
    return 0;
}
