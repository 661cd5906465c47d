#include "support/process.h"

#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <sstream>

namespace {

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

// Starts program with args, its output and errors into out, no input and
// no other descriptor; in cwd when given, after inChild when given. Its pid,
// or -1.
pid_t Spawn(const std::string& program, const std::vector<std::string>& args, int out,
            const std::string& cwd = "", const std::function<void()>& inChild = nullptr) {
    std::vector<char*> argv = {const_cast<char*>(program.c_str())};
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    pid_t pid = fork();
    if (pid != 0) return pid;
    dup2(out, 1);
    dup2(out, 2);
    dup2(open("/dev/null", O_RDONLY), 0);
    close_range(3, ~0U, 0);
    if (inChild) inChild();
    if (cwd.empty() || chdir(cwd.c_str()) == 0) execv(program.c_str(), argv.data());
    _exit(127);
}

// A sockaddr for port on 127.0.0.1.
sockaddr_in Loopback(int port) {
    sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons((uint16_t)port);
    return addr;
}

}  // namespace

long long Ms() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

bool Eventually(const std::function<bool()>& done, int timeoutMs) {
    for (long long deadline = Ms() + timeoutMs; Ms() < deadline; usleep(10000))
        if (done()) return true;
    return done();
}

RunResult RunProgram(const std::string& program, const std::vector<std::string>& args,
                     int timeoutMs, const std::string& cwd) {
    RunResult result;
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return result;
    fcntl(fds[0], F_SETFL, O_NONBLOCK);
    pid_t pid = Spawn(program, args, fds[1], cwd);
    close(fds[1]);
    int raw = 0;
    auto exited = [&] {
        char buf[4096];
        for (ssize_t n; (n = read(fds[0], buf, sizeof buf)) > 0;) result.output.append(buf, n);
        return waitpid(pid, &raw, WNOHANG) == pid;
    };
    if (Eventually(exited, timeoutMs)) {
        exited();  // what was written just before the end
        if (WIFEXITED(raw)) result.status = WEXITSTATUS(raw);
        if (WIFSIGNALED(raw)) result.signal = WTERMSIG(raw);
    } else {
        result.timedOut = true;
        kill(pid, SIGKILL);
        waitpid(pid, &raw, 0);
    }
    close(fds[0]);
    return result;
}

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
                              const std::string& outputFile, const std::function<void()>& inChild) {
    outputFile_ = outputFile;
    int out = open(outputFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    pid_ = Spawn(program, args, out, "", inChild);
    close(out);
    return pid_ > 0;
}

std::string BackgroundProcess::Output() const { return ReadFile(outputFile_); }

bool BackgroundProcess::WaitForOutput(const std::string& text, int timeoutMs) const {
    return Eventually([&] { return Output().find(text) != std::string::npos; }, timeoutMs);
}

bool BackgroundProcess::WaitExit(int timeoutMs, int* status) {
    int raw = 0;
    if (!Eventually([&] { return waitpid(pid_, &raw, WNOHANG) == pid_; }, timeoutMs)) return false;
    *status = WIFEXITED(raw) ? WEXITSTATUS(raw) : WIFSIGNALED(raw) ? 128 + WTERMSIG(raw) : -1;
    pid_ = -1;
    return true;
}

bool BackgroundProcess::Running() {
    if (pid_ > 0 && waitpid(pid_, nullptr, WNOHANG) == pid_) pid_ = -1;
    return pid_ > 0;
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
    // Folders a test made unreadable are opened up first.
    if (path_.rfind("/tmp/owltest-", 0) == 0)
        RunProgram("/bin/sh", {"-c", "chmod -R u+rwx \"$0\" 2>/dev/null; rm -rf \"$0\"", path_});
}

void TempDir::Write(const std::string& name, const std::string& content) const {
    std::ofstream(File(name), std::ios::binary) << content;
}

std::string TempDir::Read(const std::string& name) const { return ReadFile(File(name)); }

TmpEnv::~TmpEnv() {
    Set("TMPDIR", tmpdir_ ? tmpdir_->c_str() : nullptr);
    Set("TMP", tmp_ ? tmp_->c_str() : nullptr);
}

void TmpEnv::Set(const char* name, const char* value) {
    value ? setenv(name, value, 1) : unsetenv(name);
}

std::optional<std::string> TmpEnv::Get(const char* name) {
    return getenv(name) ? std::optional<std::string>(getenv(name)) : std::nullopt;
}

int BoundLoopback(int type, int* port) {
    int fd = socket(AF_INET, type | SOCK_CLOEXEC, 0);
    sockaddr_in addr = Loopback(0);
    bind(fd, (sockaddr*)&addr, sizeof(addr));
    if (type == SOCK_STREAM) listen(fd, 8);
    socklen_t len = sizeof(addr);
    getsockname(fd, (sockaddr*)&addr, &len);
    *port = ntohs(addr.sin_port);
    return fd;
}

TcpPeer::TcpPeer(std::function<void(int)> serve, int count, int rcvbuf)
    : listener_(BoundLoopback(SOCK_STREAM, &port)) {
    if (rcvbuf) setsockopt(listener_, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof(rcvbuf));
    thread_ = std::thread([this, serve, count] {
        pollfd p = {listener_, POLLIN, 0};
        for (int i = 0; i < count && poll(&p, 1, 5000) == 1; i++) {
            int c = accept(listener_, nullptr, nullptr);
            serve(c);
            close(c);
        }
    });
}

TcpPeer::~TcpPeer() {
    thread_.join();
    close(listener_);
}

std::string ReceiveUntilQuiet(int sock, int quietMs) {
    std::string got;
    char buf[4096];
    pollfd p = {sock, POLLIN, 0};
    for (ssize_t n; poll(&p, 1, quietMs) == 1 && (n = recv(sock, buf, sizeof buf, 0)) > 0;)
        got.append(buf, n);
    return got;
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
        int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in addr = Loopback(port);
        bool free = bind(s, (sockaddr*)&addr, sizeof addr) == 0;
        close(s);
        if (free) return port;
    }
    return 0;
}

int Entries(const std::string& folder) {
    DIR* d = opendir(folder.c_str());
    if (!d) return -1;
    int count = 0;
    while (dirent* e = readdir(d)) count += e->d_name[0] != '.';
    closedir(d);
    return count;
}

long long PeakMemory(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("VmHWM:", 0) == 0) return std::atoll(line.c_str() + 6) * 1024;
    return 0;
}

void ForEachThread(pid_t pid, const std::function<void(const std::string& task)>& fn) {
    std::string tasks = "/proc/" + std::to_string(pid) + "/task/";
    DIR* dir = opendir(tasks.c_str());
    for (dirent* e; dir && (e = readdir(dir));)
        if (e->d_name[0] != '.') fn(tasks + e->d_name + "/");
    if (dir) closedir(dir);
}

int SchedulingPolicy(const std::string& procFolder) {
    std::string stat;
    std::getline(std::ifstream(procFolder + "stat"), stat);
    std::istringstream fields(stat.substr(stat.rfind(')') + 1));
    std::string field;
    for (int i = 3; i <= 41 && fields >> field; i++)
        if (i == 41) return std::stoi(field);
    return -1;
}

std::string ProcessState(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string out;
    for (std::string line; std::getline(status, line);)
        if (line.rfind("Sig", 0) == 0 || line.rfind("ShdPnd", 0) == 0) out += line + "\n";
    ForEachThread(pid, [&](const std::string& task) {
        std::string call;
        std::getline(std::ifstream(task + "syscall"), call);
        out += task + ": " + call + "\n";
    });
    return out;
}
