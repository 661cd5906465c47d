#include "support/process.h"

#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <sstream>
#include <thread>

namespace {

std::vector<char*> Argv(const std::string& program, const std::vector<std::string>& args) {
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    return argv;
}

long long NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

void Decode(int raw, int* status, int* sig) {
    if (WIFEXITED(raw)) *status = WEXITSTATUS(raw);
    if (WIFSIGNALED(raw)) *sig = WTERMSIG(raw);
}

}  // namespace

bool Eventually(const std::function<bool()>& done, int timeoutMs) {
    for (long long deadline = NowMs() + timeoutMs; NowMs() < deadline; usleep(10000))
        if (done()) return true;
    return done();
}

RunResult RunProgram(const std::string& program, const std::vector<std::string>& args,
                     int timeoutMs, const std::string& cwd) {
    RunResult result;
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return result;
    std::vector<char*> argv = Argv(program, args);
    pid_t pid = fork();
    if (pid == 0) {
        dup2(fds[1], 1);
        dup2(fds[1], 2);
        if (!cwd.empty() && chdir(cwd.c_str()) != 0) _exit(127);
        execv(program.c_str(), argv.data());
        _exit(127);
    }
    close(fds[1]);
    fcntl(fds[0], F_SETFL, O_NONBLOCK);
    int raw = 0;
    char buf[4096];
    auto drain = [&] {
        for (ssize_t n; (n = read(fds[0], buf, sizeof buf)) > 0;) result.output.append(buf, n);
    };
    bool done = Eventually(
        [&] {
            drain();
            return waitpid(pid, &raw, WNOHANG) == pid;
        },
        timeoutMs);
    drain();
    close(fds[0]);
    if (done) {
        Decode(raw, &result.status, &result.signal);
    } else {
        result.timedOut = true;
        kill(pid, SIGKILL);
        waitpid(pid, &raw, 0);
    }
    return result;
}

// SIGTERM first, so that an agent writes what it keeps in memory (its
// coverage counters among them) and exits on its own; SIGKILL after 2 s.
void StopProcess(pid_t pid) {
    if (pid <= 0 || kill(pid, SIGTERM) != 0) return;
    if (Eventually([&] { return waitpid(pid, nullptr, WNOHANG) == pid || kill(pid, 0) != 0; },
                   2000))
        return;
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
}

BackgroundProcess::~BackgroundProcess() {
    if (Running()) StopProcess(pid_);
}

bool BackgroundProcess::Start(const std::string& program, const std::vector<std::string>& args,
                              const std::string& outputFile) {
    outputFile_ = outputFile;
    std::vector<char*> argv = Argv(program, args);
    pid_ = fork();
    if (pid_ == 0) {
        int fd = open(outputFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (fd >= 0) {
            dup2(fd, 1);
            dup2(fd, 2);
            close(fd);
        }
        int null = open("/dev/null", O_RDONLY);
        if (null >= 0) dup2(null, 0);
        // Only the standard streams survive into the agent.
        DIR* d = opendir("/proc/self/fd");
        std::vector<int> fds;
        if (d) {
            while (dirent* e = readdir(d)) {
                int fd2 = atoi(e->d_name);
                if (fd2 > 2) fds.push_back(fd2);
            }
            closedir(d);
        }
        for (int fd2 : fds) close(fd2);
        execv(program.c_str(), argv.data());
        _exit(127);
    }
    return pid_ > 0;
}

std::string BackgroundProcess::Output() const {
    std::ifstream in(outputFile_);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

bool BackgroundProcess::WaitForOutput(const std::string& text, int timeoutMs) const {
    return Eventually([&] { return Output().find(text) != std::string::npos; }, timeoutMs);
}

bool BackgroundProcess::WaitExit(int timeoutMs, int* status) {
    int raw = 0, sig = 0;
    if (!Eventually([&] { return waitpid(pid_, &raw, WNOHANG) == pid_; }, timeoutMs)) return false;
    *status = -1;
    Decode(raw, status, &sig);
    if (sig) *status = 128 + sig;
    pid_ = -1;
    return true;
}

bool BackgroundProcess::Running() {
    if (pid_ <= 0) return false;
    int raw;
    pid_t r = waitpid(pid_, &raw, WNOHANG);
    if (r == pid_) {
        pid_ = -1;
        return false;
    }
    return true;
}

void BackgroundProcess::Kill(int sig) {
    if (pid_ > 0) kill(pid_, sig);
}

TempDir::TempDir() {
    char tmpl[] = "/tmp/owltest-XXXXXX";
    char* p = mkdtemp(tmpl);
    path_ = p ? p : "/tmp";
}

TempDir::~TempDir() {
    if (path_.rfind("/tmp/owltest-", 0) == 0) {
        std::string cmd = "chmod -R u+rwx '" + path_ + "' 2>/dev/null; rm -rf '" + path_ + "'";
        if (system(cmd.c_str()) != 0) {
        }
    }
}

void TempDir::Write(const std::string& name, const std::string& content) const {
    std::ofstream out(File(name), std::ios::binary);
    out << content;
}

std::string TempDir::Read(const std::string& name) const {
    std::ifstream in(File(name), std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

int BoundLoopback(int type, int* port) {
    int fd = socket(AF_INET, type | SOCK_CLOEXEC, 0);
    sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd, (sockaddr*)&addr, sizeof(addr));
    if (type == SOCK_STREAM) listen(fd, 8);
    socklen_t len = sizeof(addr);
    getsockname(fd, (sockaddr*)&addr, &len);
    *port = ntohs(addr.sin_port);
    return fd;
}

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

namespace {

// 1 when a TCP socket can be bound to port on 127.0.0.1 right now.
bool PortBindable(int port) {
    int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons((uint16_t)port);
    bool ok = s >= 0 && bind(s, (sockaddr*)&addr, sizeof addr) == 0;
    if (s >= 0) close(s);
    return ok;
}

}  // namespace

// The ports come from below the kernel's ephemeral range (32768 up), so
// that the client sockets of tests running in parallel never take one
// between this choice and the agent's bind; each test process starts in a
// block of its own and walks on from there.
int FreeLoopbackPort() {
    const int kFirst = 10000, kCount = 20000, kBlock = 40;
    static std::atomic<int> next{0};
    const int start = (int)(getpid() % (kCount / kBlock)) * kBlock;
    for (int tries = 0; tries < kCount; tries++) {
        int port = kFirst + (start + next++) % kCount;
        if (PortBindable(port)) return port;
    }
    return 0;
}

int OpenDescriptors(pid_t pid) {
    std::string path = "/proc/" + std::to_string(pid) + "/fd";
    DIR* d = opendir(path.c_str());
    if (!d) return -1;
    int count = 0;
    while (dirent* e = readdir(d))
        if (e->d_name[0] != '.') count++;
    closedir(d);
    return count;
}
