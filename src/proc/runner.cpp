#include "proc/runner.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "fs/filesearch.h"
#include "sync/mutex.h"
#include "text/systemtext.h"

extern char** environ;

namespace {

const int kTempSuffixes = 1999;  // numbered names end in 0 to 1998

// ---- Temporary names -----------------------------------------------------

// Writes the temporary folder ("$TMPDIR/", "$TMP/" or "./") into buffer and
// returns its length; -1 with buffer emptied when the folder and 16 more
// bytes do not fit in size.
int TempFolder(char* buffer, int size) {
    const char* dir = getenv("TMPDIR");
    if (dir == nullptr) dir = getenv("TMP");
    int n = snprintf(buffer, (size_t)size, "%s", dir != nullptr ? dir : ".");
    if (n > size - 1) n = size - 1;
    if (n + 1 < size) buffer[n++] = '/';
    buffer[n] = 0;
    if (n + 16 > size) {
        buffer[0] = 0;
        return -1;
    }
    return n;
}

// Puts "tmp-<thread id>-<number>" behind the folder (folderLen bytes already
// in buffer). 0 when the name would not fit whole.
int NumberedName(char* buffer, int size, int folderLen, int number) {
    int n = snprintf(buffer + folderLen, (size_t)(size - folderLen), "tmp-%ld-%d",
                     GetUniqueThreadID(), number);
    return n > 0 && n < size - folderLen ? 1 : 0;
}

int Fail(char* buffer) {
    buffer[0] = 0;
    return -1;
}

int OpenNew(const char* path, mode_t mode) {
    return open(path, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
}

// ---- Clock ---------------------------------------------------------------

long long NowMs() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (long long)ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
}

void SleepMs(int ms) {
    timespec ts = {ms / 1000, (long)(ms % 1000) * 1000000};
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

// ---- Starting a program --------------------------------------------------

// The file that PATH lookup finds for name (what posix_spawnp ran); name
// itself when it holds "/"; "" when nothing is found.
std::string FindInPath(const char* name) {
    if (strchr(name, '/') != nullptr) return name;
    const char* path = getenv("PATH");
    std::string dirs = path != nullptr ? path : "/bin:/usr/bin";
    size_t start = 0;
    for (;;) {
        size_t end = dirs.find(':', start);
        std::string dir = dirs.substr(start, end == std::string::npos ? end : end - start);
        std::string file = (dir.empty() ? std::string(".") : dir) + "/" + name;
        struct stat st;
        if (stat(file.c_str(), &st) == 0 && S_ISREG(st.st_mode) && access(file.c_str(), X_OK) == 0)
            return file;
        if (end == std::string::npos) return "";
        start = end + 1;
    }
}

// A descriptor of workDir for fchdir in the child, or -1 when there is none
// or it cannot be entered (the program then starts in the agent's folder).
int OpenWorkDir(const char* workDir) {
    if (workDir == nullptr || workDir[0] == 0 || access(workDir, X_OK) != 0) return -1;
    int fd = open(workDir, O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0 && fd < 3) {  // must survive the child's redirections
        int moved = fcntl(fd, F_DUPFD_CLOEXEC, 3);
        close(fd);
        fd = moved;
    }
    return fd;
}

const char* OrNull(const char* file) { return file != nullptr ? file : "/dev/null"; }

// Standard input from in; output and error to outFd when it is a
// descriptor, else to the files out and err.
void AddStreams(posix_spawn_file_actions_t* actions, const char* in, const char* out,
                const char* err, int outFd) {
    posix_spawn_file_actions_addopen(actions, 0, OrNull(in), O_RDONLY, 0);
    if (outFd >= 0)
        posix_spawn_file_actions_adddup2(actions, outFd, 1);
    else
        posix_spawn_file_actions_addopen(actions, 1, OrNull(out), O_WRONLY | O_CREAT | O_TRUNC,
                                         0666);
    if (outFd >= 0 || strcmp(OrNull(out), OrNull(err)) == 0)
        posix_spawn_file_actions_adddup2(actions, 1, 2);
    else
        posix_spawn_file_actions_addopen(actions, 2, OrNull(err), O_WRONLY | O_CREAT | O_TRUNC,
                                         0666);
}

// This thread moved itself to SCHED_BATCH: its programs go back.
thread_local bool t_batch = false;

// Starts argv with the standard streams as AddStreams sets them. Returns 0
// with *pid set, or the errno of the failure (exec failures included: the
// C library reports them and collects the failed child itself).
int Spawn(char* const* argv, const char* workDir, const char* in, const char* out, const char* err,
          pid_t* pid, int outFd = -1) {
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attr;
    posix_spawn_file_actions_init(&actions);
    posix_spawnattr_init(&attr);

    AddStreams(&actions, in, out, err, outFd);
    int dir = OpenWorkDir(workDir);
    if (dir >= 0) posix_spawn_file_actions_addfchdir_np(&actions, dir);
    // The connection sockets, log files and anything else stay with the agent.
    posix_spawn_file_actions_addclosefrom_np(&actions, 3);

    // The agent ignores SIGPIPE and may block signals on its threads; the
    // program starts as from a shell: default dispositions, empty mask, and
    // a session (and process group) of its own.
    sigset_t none, all;
    sigemptyset(&none);
    sigfillset(&all);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setsigdefault(&attr, &all);
    short flags = POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF;
    if (t_batch) {
        struct sched_param usual = {};
        posix_spawnattr_setschedpolicy(&attr, SCHED_OTHER);
        posix_spawnattr_setschedparam(&attr, &usual);
        flags |= POSIX_SPAWN_SETSCHEDULER;
    }
    posix_spawnattr_setflags(&attr, flags);

    int rc = posix_spawnp(pid, argv[0], &actions, &attr, argv, environ);
    if (rc == ENOEXEC) {
        // A script without "#!": run it with the shell, as execvp would.
        std::string file = FindInPath(argv[0]);
        std::vector<char*> shellArgs = {(char*)"/bin/sh", (char*)file.c_str()};
        for (int i = 1; argv[i] != nullptr; i++) shellArgs.push_back(argv[i]);
        shellArgs.push_back(nullptr);
        if (!file.empty())
            rc = posix_spawn(pid, "/bin/sh", &actions, &attr, shellArgs.data(), environ);
    }
    if (dir >= 0) close(dir);
    posix_spawnattr_destroy(&attr);
    posix_spawn_file_actions_destroy(&actions);
    return rc;
}

// ---- Waiting for it ------------------------------------------------------

int OpenPidFd(pid_t pid) {
#ifdef SYS_pidfd_open
    return (int)syscall(SYS_pidfd_open, pid, 0);
#else
    (void)pid;
    return -1;
#endif
}

// 1 when the child has ended (it stays a zombie until reaped), else 0.
int HasEnded(pid_t pid) {
    siginfo_t info;
    memset(&info, 0, sizeof(info));
    if (waitid(P_PID, (id_t)pid, &info, WEXITED | WNOHANG | WNOWAIT) != 0)
        return errno == ECHILD ? 1 : 0;
    return info.si_pid == pid ? 1 : 0;
}

// Waits until the child has ended, at most ms milliseconds (-1: without
// limit), without reaping it. 1 when it has ended, 0 at the time-out. With
// a process descriptor the end is seen at once; without one the child is
// polled in steps of at most 10 ms.
int WaitEnded(pid_t pid, int pidfd, int ms) {
    long long deadline = ms < 0 ? -1 : NowMs() + ms;
    for (;;) {
        if (HasEnded(pid)) return 1;
        long long left = deadline < 0 ? -1 : deadline - NowMs();
        if (deadline >= 0 && left <= 0) return 0;
        if (pidfd >= 0) {
            pollfd p = {pidfd, POLLIN, 0};
            int wait = left < 0 || left > 1000000 ? 1000000 : (int)left;
            poll(&p, 1, wait);
        } else {
            SleepMs(left < 0 || left > 10 ? 10 : (int)left);
        }
    }
}

// Reaps the ended child. Its status, or -1 when it cannot be had.
int Reap(pid_t pid) {
    int status = 0;
    pid_t r;
    do {
        r = waitpid(pid, &status, 0);
    } while (r < 0 && errno == EINTR);
    return r == pid ? status : -1;
}

// Ends a child that ran past its time-out together with its process group:
// SIGTERM, then SIGKILL once the child has ended or the grace is over.
// 0 when the child cannot be signalled at all.
int KillGroup(pid_t pid, int pidfd) {
    if (kill(-pid, SIGTERM) != 0 && kill(pid, SIGTERM) != 0) return 0;
    WaitEnded(pid, pidfd, RUNNER_KILL_GRACE_MS);
    // The unreaped child still holds its id, so the group is still ours.
    kill(-pid, SIGKILL);
    kill(pid, SIGKILL);
    return 1;
}

String ExecError(int err) {
    if (err == EAGAIN || err == ENOMEM) return String("fork error");
    return String("exec error: ") + GetErrorStr(err);
}

// ---- The reaper ----------------------------------------------------------

// Children left running by a time-out of -1. The thread starts with the
// first one and then waits for the ends of exactly these process ids.
struct TReaper {
    Mutex lock;
    std::vector<pid_t> pids GUARDED_BY(lock);
    std::vector<int> pidfds GUARDED_BY(lock);  // -1 where none could be had
    int wake[2] = {-1, -1};                    // written to when pids grows
    bool started GUARDED_BY(lock) = false;
};

// Never destroyed: the thread outlives static destruction.
TReaper& Reaper() {
    static TReaper* reaper = new TReaper();
    return *reaper;
}

// Reaps every ended child of the list.
void ReapEnded(TReaper& r) REQUIRES(r.lock) {
    for (size_t i = 0; i < r.pids.size();) {
        pid_t got = waitpid(r.pids[i], nullptr, WNOHANG);
        if (got == r.pids[i] || (got < 0 && errno == ECHILD)) {
            if (r.pidfds[i] >= 0) close(r.pidfds[i]);
            r.pids.erase(r.pids.begin() + i);
            r.pidfds.erase(r.pidfds.begin() + i);
        } else {
            i++;
        }
    }
}

void ReaperLoop(TReaper* r) {
    std::vector<pollfd> fds;
    for (;;) {
        bool polling = r->wake[0] < 0;
        fds.assign(1, pollfd{r->wake[0], POLLIN, 0});
        {
            MutexLock guard(r->lock);
            for (int fd : r->pidfds) {
                fds.push_back(pollfd{fd, POLLIN, 0});
                if (fd < 0) polling = true;
            }
        }
        poll(fds.data(), fds.size(), polling ? 100 : -1);
        if (fds[0].revents & POLLIN) {
            char drain[64];
            while (read(r->wake[0], drain, sizeof(drain)) > 0) {
            }
        }
        MutexLock guard(r->lock);
        ReapEnded(*r);
    }
}

}  // namespace

// ---- Public functions ----------------------------------------------------

void UseBatchScheduling() {
    // The policy the agent was started with: the first caller still has it
    // (later threads may be started by threads that run as batch already).
    static const int started = sched_getscheduler(0);
    if (started != SCHED_OTHER) return;  // the operator's choice stays
    struct sched_param param = {};
    t_batch = sched_setscheduler(0, SCHED_BATCH, &param) == 0;
}

void EndBatchScheduling() {
    if (!t_batch) return;
    struct sched_param param = {};
    t_batch = sched_setscheduler(0, SCHED_OTHER, &param) != 0;
}

int gettempfilename(char* buffer, int size, const char* name) {
    if (buffer == nullptr || size < 16) return 0;
    int folder = TempFolder(buffer, size);
    if (folder < 0) return 0;
    if (name != nullptr) {
        snprintf(buffer + folder, (size_t)(size - folder), "%s", name);
        return 1;
    }
    for (int n = 0; n < kTempSuffixes; n++) {
        if (!NumberedName(buffer, size, folder, n)) break;
        if (!FileExists(buffer)) return 1;
    }
    buffer[0] = 0;
    return 0;
}

int CreateTempFile(char* buffer, int size, const char* name, mode_t mode) {
    if (buffer == nullptr || size < 16) return -1;
    if (name != nullptr) {
        if (!gettempfilename(buffer, size, name)) return Fail(buffer);
        int fd = OpenNew(buffer, mode);
        if (fd >= 0) return fd;
        if (errno != EEXIST) return Fail(buffer);
    }
    int folder = TempFolder(buffer, size);
    if (folder < 0) return -1;
    for (int n = 0; n < kTempSuffixes; n++) {
        if (!NumberedName(buffer, size, folder, n)) break;
        int fd = OpenNew(buffer, mode);
        if (fd >= 0) return fd;
        if (errno != EEXIST) break;
    }
    return Fail(buffer);
}

int SplitCommandLine(const char* commandLine, char* buffer, int size, char** argv) {
    int argc = 0, used = 0;
    const char* p = commandLine != nullptr ? commandLine : "";
    while (argc < RUNNER_MAX_ARGS) {
        while (*p == ' ' || *p == '\t') p++;
        if (*p == 0) break;
        const char* start = p;
        const char* end;
        if (*p == '"' || *p == '\'') {
            start = p + 1;
            end = strchr(start, *p);
            if (end == nullptr) end = start + strlen(start);
            p = *end != 0 ? end + 1 : end;
        } else {
            end = start + strcspn(start, " \t");
            p = end;
        }
        int len = (int)(end - start);
        if (used + len + 1 > size) break;
        memcpy(buffer + used, start, (size_t)len);
        buffer[used + len] = 0;
        argv[argc++] = buffer + used;
        used += len + 1;
    }
    argv[argc] = nullptr;
    return argc;
}

int SystemEx2(const char* commandLine, const char* workDir, const char* stdinFile,
              const char* stdoutFile, const char* stderrFile, int timeout, int& exitCode,
              String& error) {
    error = "";
    char buffer[RUNNER_ARG_BUFFER];
    char* argv[RUNNER_MAX_ARGS + 1];
    pid_t pid = -1;
    int rc = SplitCommandLine(commandLine, buffer, sizeof(buffer), argv) == 0
                 ? ENOENT
                 : Spawn(argv, workDir, stdinFile, stdoutFile, stderrFile, &pid);
    if (rc != 0) {
        error =
            timeout == -1 && rc != EAGAIN && rc != ENOMEM ? String("exec error") : ExecError(rc);
        return 0;
    }

    int pidfd = OpenPidFd(pid);
    if (timeout == -1) {
        int ended = WaitEnded(pid, pidfd, RUNNER_DETACH_WAIT_MS);
        if (pidfd >= 0) close(pidfd);
        if (!ended) {
            ReapLater(pid);
            exitCode = 0;
            return 1;
        }
        int status = Reap(pid);
        exitCode = status >= 0 && WIFEXITED(status) ? WEXITSTATUS(status) : 0;
        return 1;
    }

    int killed = 0;
    if (!WaitEnded(pid, pidfd, timeout == 0 ? -1 : timeout > 0 ? timeout : 0)) {
        if (!KillGroup(pid, pidfd)) {
            if (pidfd >= 0) close(pidfd);
            ReapLater(pid);
            error = "cannot terminate process";
            return 0;
        }
        killed = 1;
    }
    if (pidfd >= 0) close(pidfd);
    int status = Reap(pid);
    if (killed || status < 0 || !WIFEXITED(status)) {
        error = "abnormal termination";
        return 0;
    }
    exitCode = WEXITSTATUS(status);
    return 1;
}

int SystemEx(const char* commandLine, const char* workDir, int timeout, int& exitCode,
             String& error) {
    return SystemEx2(commandLine, workDir, "/dev/null", "/dev/null", "/dev/null", timeout, exitCode,
                     error);
}

namespace {

// Starts command through "/bin/sh -c", output and error to outFd when it is
// a descriptor (else to "/dev/null"). 0 when it cannot be started.
int SpawnShell(const String& command, int outFd, pid_t* pid) {
    String text = command;
    text.SetZero();
    char* argv[] = {(char*)"/bin/sh", (char*)"-c", text.Data() != nullptr ? text.Data() : (char*)"",
                    nullptr};
    return Spawn(argv, nullptr, nullptr, nullptr, nullptr, pid, outFd) == 0;
}

// Reaps the shell: 1 with its exit status (128 + the signal's number when a
// signal ended it), 0 when it cannot be had.
int ShellStatus(pid_t pid, int& status) {
    int raw = Reap(pid);
    if (raw < 0) return 0;
    status = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
    return 1;
}

// Hands what is waiting in the pipe now to sink; false at its end.
bool ReadPipe(int fd, const OutputSink& sink) {
    char buffer[RUNNER_PIPE_CHUNK];
    for (;;) {
        ssize_t n = read(fd, buffer, sizeof buffer);
        if (n > 0) {
            sink(buffer, (size_t)n);
            continue;
        }
        return n < 0 && (errno == EAGAIN || errno == EINTR);
    }
}

// Reads the pipe until its end, or until the shell has ended and what it
// left in the pipe is read (a program it left running may hold the pipe
// open and keep writing).
void ReadUntilEnd(int fd, pid_t pid, const OutputSink& sink) {
    int pidfd = OpenPidFd(pid);
    for (bool open = true; open;) {
        pollfd p[2] = {{fd, POLLIN, 0}, {pidfd, POLLIN, 0}};
        poll(p, pidfd >= 0 ? 2 : 1, pidfd >= 0 ? -1 : 10);
        open = ReadPipe(fd, sink);
        if (!open || !HasEnded(pid)) continue;
        int left = 0;
        if (ioctl(fd, FIONREAD, &left) == 0 && left > 0) {
            std::vector<char> rest((size_t)left);
            ssize_t n = read(fd, rest.data(), rest.size());
            if (n > 0) sink(rest.data(), (size_t)n);
        }
        open = false;
    }
    if (pidfd >= 0) close(pidfd);
}

}  // namespace

int RunShellCommand(const String& command, int& status) {
    pid_t pid;
    if (!SpawnShell(command, -1, &pid)) return 0;
    return ShellStatus(pid, status);
}

int RunShellCommandReading(const String& command, const OutputSink& sink, int& status) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return 0;
    pid_t pid;
    int started = SpawnShell(command, fds[1], &pid);
    close(fds[1]);
    if (started) {
        fcntl(fds[0], F_SETFL, O_NONBLOCK);
        ReadUntilEnd(fds[0], pid, sink);
    }
    close(fds[0]);
    return started && ShellStatus(pid, status);
}

String ShellQuote(const String& text) {
    String quoted("'");
    for (int i = 1; i <= text.Length(); i++) {
        if (text[i] == '\'')
            quoted += "'\\''";
        else
            quoted += text[i];
    }
    quoted += '\'';
    return quoted;
}

String ShellQuoteWords(const String& text) {
    String result, word;
    for (int i = 1; i <= text.Length() + 1; i++) {
        char c = i <= text.Length() ? text[i] : ' ';
        if (c != ' ' && c != '\t') {
            word += c;
            continue;
        }
        if (word.Length() == 0) continue;
        if (result.Length() > 0) result += ' ';
        result += ShellQuote(word);
        word = "";
    }
    return result;
}

void ReapLater(pid_t pid) {
    TReaper& r = Reaper();
    MutexLock guard(r.lock);
    if (!r.started) {
        if (pipe2(r.wake, O_CLOEXEC | O_NONBLOCK) != 0) r.wake[0] = r.wake[1] = -1;
        std::thread(ReaperLoop, &r).detach();
        r.started = true;
    }
    r.pids.push_back(pid);
    r.pidfds.push_back(OpenPidFd(pid));
    if (r.wake[1] >= 0) {
        char one = 1;
        ssize_t ignored = write(r.wake[1], &one, 1);
        (void)ignored;
    }
}

int PendingReaps() {
    TReaper& r = Reaper();
    MutexLock guard(r.lock);
    return (int)r.pids.size();
}
