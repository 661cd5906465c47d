// Test support: run a program with a bounded wait and collect its output, or
// start one in the background and stop it again.
#pragma once

#include <sys/types.h>

#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

// Milliseconds on the monotonic clock.
long long Ms();
// Calls done every 10 ms until it returns true (then true) or timeoutMs
// have passed (then false).
bool Eventually(const std::function<bool()>& done, int timeoutMs = 5000);

struct RunResult {
    int status = -1;  // exit status, or -1 when it did not exit
    int signal = 0;   // the signal that ended it, if any
    bool timedOut = false;
    std::string output;  // standard output and standard error together
};

// Runs program with args (argv[0] excluded), waits at most timeoutMs and
// kills it after that.
RunResult RunProgram(const std::string& program, const std::vector<std::string>& args,
                     int timeoutMs = 10000, const std::string& cwd = "");

// Ends pid with SIGTERM, and with SIGKILL when it is still there after 2 s;
// reaps it when it is a child of this process.
void StopProcess(pid_t pid);

// A program running in the background with its output going to a file.
class BackgroundProcess {
  public:
    BackgroundProcess() = default;
    ~BackgroundProcess();
    BackgroundProcess(const BackgroundProcess&) = delete;
    BackgroundProcess& operator=(const BackgroundProcess&) = delete;

    // Starts program with args; inChild runs in the child just before the
    // program replaces it (standard streams set, other descriptors closed).
    bool Start(const std::string& program, const std::vector<std::string>& args,
               const std::string& outputFile, const std::function<void()>& inChild = nullptr);
    // Waits at most timeoutMs for the output file to contain text.
    bool WaitForOutput(const std::string& text, int timeoutMs) const;
    std::string Output() const;
    // Waits at most timeoutMs for the process to end; true with its status.
    bool WaitExit(int timeoutMs, int* status);
    bool Running();
    void Kill(int sig);
    pid_t pid() const { return pid_; }

  private:
    pid_t pid_ = -1;
    std::string outputFile_;
};

// A scratch folder that is removed with everything in it.
class TempDir {
  public:
    TempDir();
    ~TempDir();
    const std::string& path() const { return path_; }
    std::string File(const std::string& name) const { return path_ + "/" + name; }
    void Write(const std::string& name, const std::string& content) const;
    std::string Read(const std::string& name) const;

  private:
    std::string path_;
};

// Keeps TMPDIR and TMP as they were when it was made, and puts them back.
class TmpEnv {
  public:
    ~TmpEnv();
    // Sets a variable, or unsets it for a null value.
    static void Set(const char* name, const char* value);

  private:
    static std::optional<std::string> Get(const char* name);
    std::optional<std::string> tmpdir_ = Get("TMPDIR"), tmp_ = Get("TMP");
};

// A TCP port on 127.0.0.1 that nothing listens on right now.
int FreeLoopbackPort();
// A socket of type (SOCK_STREAM or SOCK_DGRAM) bound to 127.0.0.1 on a
// free port, listening when TCP; its port in *port.
int BoundLoopback(int type, int* port);
// A TCP stand-in on 127.0.0.1, its port in port: accepts up to count
// connections, each within 5 s, and hands each to serve, closing it after.
// The destructor waits for the last one, then stops listening.
class TcpPeer {
  public:
    explicit TcpPeer(std::function<void(int)> serve, int count = 1, int rcvbuf = 0);
    ~TcpPeer();
    int port = 0;

  private:
    int listener_;
    std::thread thread_;
};
// What sock receives until its peer pauses for quietMs or closes.
std::string ReceiveUntilQuiet(int sock, int quietMs);
// One datagram on fd within 3 s ("<nothing>" otherwise); answered with "re:"
// and the datagram when answer is set.
std::string UdpReceive(int fd, bool answer = false);
// Number of entries in folder whose names do not start with a dot, or -1.
int Entries(const std::string& folder);
// Number of open descriptors of a process.
inline int OpenDescriptors(pid_t pid) { return Entries("/proc/" + std::to_string(pid) + "/fd"); }
// For a failure message: the signal lines of a process's status and the
// system call each of its threads is in.
std::string ProcessState(pid_t pid);
// Calls fn with the /proc folder of every thread of pid ("/proc/P/task/T/").
void ForEachThread(pid_t pid, const std::function<void(const std::string& task)>& fn);
// The scheduling policy of a process or thread (field 41 of the stat file in
// its /proc folder), -1 when it cannot be read.
int SchedulingPolicy(const std::string& procFolder);
// The most memory a process has held so far (VmHWM), in bytes; 0 when
// unknown.
long long PeakMemory(pid_t pid);
// Built with a sanitizer, whose allocator keeps freed memory for a while:
// a process's peak memory then tells little about what it holds.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
const bool kSanitizedBuild = true;
#else
const bool kSanitizedBuild = false;
#endif
