// Running programs and probing services through the agent, each beside a
// baseline measured in the same run:
//   "TEST-ExternalPrg" of /bin/true (time-out 0), requests per second with 1
//   and 4 clients, against a loop that spawns /bin/true and waits for it;
//   "TEST-TCP" to a local listener with receive count 0, against a loop that
//   connects to the same listener and closes.
//   OWL_BENCH_SECONDS (default 5) sets the length of each run.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <thread>
#include <vector>

#include "bench_support.h"
#include "crypto/twofish.h"
#include "protocol/client.h"

extern char** environ;

namespace {

// The probed service: accepts and closes.
void AcceptAndClose(int listener) {
    for (;;) {
        int c = accept(listener, nullptr, nullptr);
        if (c < 0) return;
        close(c);
    }
}

// The baseline of the program runs: spawn /bin/true and wait for it.
bool SpawnTrue() {
    static char* argv[] = {(char*)"/bin/true", nullptr};
    pid_t pid;
    if (posix_spawn(&pid, "/bin/true", nullptr, nullptr, argv, environ) != 0) return false;
    int status;
    return waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// The baseline of the probes: connect and close.
bool ConnectClose(int port) {
    int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bool ok = connect(s, (sockaddr*)&addr, sizeof addr) == 0;
    close(s);
    return ok;
}

// One prepared request; the reply is read whole and its length checked,
// so that the clients' own decryption stays out of the agent's figure.
bool OwlPrepared(int port, const String& packet, int expectLength) {
    String reply, err;
    return ExchangePacket("127.0.0.1", port, packet, 10000, reply, err) == OWL_REPLY &&
           reply.Length() == expectLength;
}

// The length of the reply packet to a request, after checking its text.
int ReplyLength(int port, const String& packet, const String& key, const char* prefix) {
    String reply, text, err;
    if (ExchangePacket("127.0.0.1", port, packet, 10000, reply, err) != OWL_REPLY ||
        !DecodeReplyPacket(reply, key, text) || text.Pos(prefix) != 1) {
        text.SetZero();
        fprintf(stderr, "unexpected reply: %s\n", text.Data() ? text.Data() : "");
        exit(1);
    }
    return reply.Length();
}

void Report(const char* what, int clients, double owl, const char* baseline, double base,
            double target) {
    printf("%s, %d client%s: %.0f req/s (baseline %s: %.0f/s, ratio %.2fx)", what, clients,
           clients == 1 ? "" : "s", owl, baseline, base, owl / base);
    if (target > 0) printf(" target >= %.1fx: %s", target, bench::Verdict(owl / base >= target));
    printf("\n");
    fflush(stdout);
}

}  // namespace

int main() {
    signal(SIGPIPE, SIG_IGN);
    Twofish_initialise();
    int seconds = bench::EnvSeconds("OWL_BENCH_SECONDS", 5);

    std::string dir = bench::MakeTempDir("owlbench");
    int owlPort = bench::FreeLoopbackPort(), servicePort = 0;
    int service = bench::ListenLoopback(&servicePort);
    // A daemon that logs failures only and keeps its scripts in the folder.
    bench::AgentOptions options;
    options.extra = "tmpdir=" + dir + "\n";
    pid_t agent =
        dir.empty() || owlPort < 0 || service < 0 ? -1 : bench::StartAgent(dir, owlPort, options);
    if (agent <= 0) {
        fprintf(stderr, "the agent did not start\n");
        exit(1);
    }
    std::thread(AcceptAndClose, service).detach();

    String password("bench"), key = NewSessionKey();
    String runTrue = BuildRequestPacket(
        password, key,
        BuildRequestText(String("TEST-ExternalPrg"),
                         {String("/bin/true"), String(""), String(""), String("0")}));
    String probe = BuildRequestPacket(
        password, key,
        BuildRequestText(String("TEST-TCP"),
                         {String("127.0.0.1"), String(std::to_string(servicePort).c_str()),
                          String("2000"), String(""), String("0")}));
    int runLength = ReplyLength(owlPort, runTrue, key, "200\n0\n");
    int probeLength = ReplyLength(owlPort, probe, key, "200\n");

    for (int clients : {1, 4}) {
        double owl = bench::Rate([&] { return OwlPrepared(owlPort, runTrue, runLength); }, clients,
                                 seconds, "runs");
        double base = bench::Rate(SpawnTrue, clients, seconds, "runs");
        Report("TEST-ExternalPrg /bin/true", clients, owl, "spawn and wait", base, 0.5);
    }
    for (int clients : {1, 4}) {
        // The probe's reply carries the elapsed milliseconds, whose digits
        // may vary: accept any whole reply.
        double owl = bench::Rate(
            [&] {
                String reply, err;
                return ExchangePacket("127.0.0.1", owlPort, probe, 10000, reply, err) ==
                           OWL_REPLY &&
                       reply.Length() >= probeLength - 8;
            },
            clients, seconds, "runs");
        double base =
            bench::Rate([&] { return ConnectClose(servicePort); }, clients, seconds, "runs");
        Report("TEST-TCP receive 0", clients, owl, "connect and close", base, 0);
    }

    kill(agent, SIGKILL);
    int rc = bench::RemoveTree(dir) ? 0 : 1;
    fflush(stdout);
    _exit(rc);
}
