// Running programs and probing services through the agent, each beside a
// baseline measured in the same run:
//   "TEST-ExternalPrg" of /bin/true (time-out 0), requests per second with 1
//   and 4 clients, against a loop that spawns /bin/true and waits for it;
//   "TEST-TCP" to a local listener with receive count 0, against a loop that
//   connects to the same listener and closes.
//   OWL_BENCH_SECONDS (default 5) sets the length of each run.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "crypto/twofish.h"
#include "protocol/client.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

int ListenLoopback(int* port) {
    int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int one = 1;
    setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(s, (sockaddr*)&addr, sizeof addr);
    listen(s, 512);
    socklen_t len = sizeof addr;
    getsockname(s, (sockaddr*)&addr, &len);
    *port = ntohs(addr.sin_port);
    return s;
}

// The probed service: accepts and closes.
void AcceptAndClose(int listener) {
    for (;;) {
        int c = accept(listener, nullptr, nullptr);
        if (c < 0) return;
        close(c);
    }
}

double Rate(const std::function<bool()>& once, int clients, int seconds) {
    std::atomic<long> done{0}, failed{0};
    auto end = Clock::now() + std::chrono::seconds(seconds);
    std::vector<std::thread> threads;
    for (int i = 0; i < clients; i++)
        threads.emplace_back([&] {
            while (Clock::now() < end) (once() ? done : failed)++;
        });
    for (auto& t : threads) t.join();
    if (failed) fprintf(stderr, "%ld runs failed\n", failed.load());
    return done.load() / (double)seconds;
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

// Starts the agent as a daemon that logs failures only; returns its pid.
pid_t StartAgent(int port, const std::string& dir) {
    std::string cfg = dir + "/owl.cfg", pidfile = dir + "/owl.pid";
    std::ofstream(cfg) << "owlpath=" << OWL_BINARY << "\nhost=127.0.0.1\nport=" << port
                       << "\npassword=bench\nlogsuccess=0\nlogfails=1\ntmpdir=" << dir
                       << "\npidfile=" << pidfile << "\n";
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
        pid_t daemon = 0;
        String text, err;
        if (std::ifstream(pidfile) >> daemon && daemon > 0 &&
            OwlRequest("127.0.0.1", port, String("bench"), String("GetInfo"), {}, 5000, text,
                       err) == OWL_REPLY)
            return daemon;
        usleep(10000);
    }
    fprintf(stderr, "the agent did not start\n");
    exit(1);
}

void Report(const char* what, int clients, double owl, const char* baseline, double base,
            double target) {
    printf("%s, %d client%s: %.0f req/s (baseline %s: %.0f/s, ratio %.2fx)", what, clients,
           clients == 1 ? "" : "s", owl, baseline, base, owl / base);
    if (target > 0)
        printf(" target >= %.1fx: %s", target, owl / base >= target ? "met" : "NOT met");
    printf("\n");
    fflush(stdout);
}

}  // namespace

int main() {
    signal(SIGPIPE, SIG_IGN);
    Twofish_initialise();
    int seconds = getenv("OWL_BENCH_SECONDS") ? atoi(getenv("OWL_BENCH_SECONDS")) : 5;
    if (seconds <= 0) seconds = 5;

    char tmpl[] = "/tmp/owlbench-XXXXXX";
    std::string dir = mkdtemp(tmpl);
    int owlPort, servicePort;
    close(ListenLoopback(&owlPort));
    int service = ListenLoopback(&servicePort);
    std::thread(AcceptAndClose, service).detach();
    pid_t agent = StartAgent(owlPort, dir);

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
        double owl =
            Rate([&] { return OwlPrepared(owlPort, runTrue, runLength); }, clients, seconds);
        double base = Rate(SpawnTrue, clients, seconds);
        Report("TEST-ExternalPrg /bin/true", clients, owl, "spawn and wait", base, 0.5);
    }
    for (int clients : {1, 4}) {
        // The probe's reply carries the elapsed milliseconds, whose digits
        // may vary: accept any whole reply.
        double owl = Rate(
            [&] {
                String reply, err;
                return ExchangePacket("127.0.0.1", owlPort, probe, 10000, reply, err) ==
                           OWL_REPLY &&
                       reply.Length() >= probeLength - 8;
            },
            clients, seconds);
        double base = Rate([&] { return ConnectClose(servicePort); }, clients, seconds);
        Report("TEST-TCP receive 0", clients, owl, "connect and close", base, 0);
    }

    kill(agent, SIGKILL);
    std::string cmd = "rm -rf '" + dir + "'";
    int rc = system(cmd.c_str()) != 0;
    fflush(stdout);
    _exit(rc);
}
