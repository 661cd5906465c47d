#include "server/lifecycle.h"

#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <atomic>

#include "config/settings.h"
#include "net/syncsocket.h"
#include "proc/runner.h"
#include "runtime/flags.h"
#include "runtime/limits.h"
#include "runtime/log.h"
#include "server/exitstatus.h"

namespace {

char** g_argv = nullptr;
char** g_envp = nullptr;
// Set by SIGHUP on whichever thread it lands, taken by the accept loop.
std::atomic<int> g_reloadRequested{0};
// Set by the stop handler on whichever thread the signal lands: an atomic,
// stored before OWLFlags.Terminate, so that the loop that sees the flag
// sees the signal too.
std::atomic<int> g_stopSignal{0};

// Read by the memory-fault handler: plain buffers, written only by the main
// thread between faults.
char g_restartPath[PATH_MAX];
char g_pidPath[PATH_MAX];

void CopyPath(char* dst, const String& src) {
    String s = src;
    s.SetZero();
    strncpy(dst, s.Data(), PATH_MAX - 1);
    dst[PATH_MAX - 1] = 0;
}

}  // namespace

void InstallHandler(int sig, void (*handler)(int)) {
    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = handler;
    sigemptyset(&sa.sa_mask);
    sigaction(sig, &sa, nullptr);
}

int Listen(unsigned int& addrlen, String& err) {
    int sock = 0;
    for (int attempt = 0; attempt < 3; attempt++) {
        String host = SettingText(&TOWLSettings::host);
        int port = SettingInt(&TOWLSettings::port);
        host.SetZero();
        sock = TcpListen(host.Length() > 0 ? host.Data() : nullptr, port, &addrlen, err);
        if (sock > 0) break;
        sleep(1);
    }
    err.SetZero();
    return sock;
}

int daemon_init() {
    pid_t pid = fork();
    if (pid < 0) return -1;
    if (pid > 0) {
        printf("Daemon started");
        fflush(stdout);
        exit(OWL_EXIT_OK);
    }
    setsid();
    if (!freopen("/dev/null", "r", stdin) || !freopen("/dev/null", "w", stdout) ||
        !freopen("/dev/null", "w", stderr))
        return -1;
    InstallHandler(SIGHUP, reloadcfg);
    return 0;
}

FILE* createpidfile() {
    String path = SettingText(&TOWLSettings::pidfile);
    path.SetZero();
    FILE* f = fopen(path.Data(), "we");
    if (f == nullptr) {
        showmessage("Failed to create pid file %s\n", LOCAL, MSG_FAILURE, MSG_PRINTF, path.Data());
        return nullptr;
    }
    struct flock lock;
    memset(&lock, 0, sizeof lock);
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    if (fcntl(fileno(f), F_SETLK, &lock) != 0) {
        showmessage("Failed to lock pid file %s\n", LOCAL, MSG_FAILURE, MSG_PRINTF, path.Data());
        fclose(f);
        return nullptr;
    }
    fprintf(f, "%d\n", (int)getpid());
    fflush(f);
    return f;
}

FILE* CreateDaemonPidFile() {
    if (OWLSettings.interactive || SettingText(&TOWLSettings::pidfile).Length() == 0)
        return nullptr;
    return createpidfile();
}

void closepidfile(FILE* pidfile) {
    if (pidfile == nullptr) return;
    fclose(pidfile);
    String path = SettingText(&TOWLSettings::pidfile);
    unlink(path.SetZero().Data());
}

void reloadcfg(int) { g_reloadRequested = 1; }

int TakeReloadRequest() { return g_reloadRequested.exchange(0) != 0 ? 1 : 0; }

void stopagent(int sig) {
    g_stopSignal = sig;
    OWLFlags.Terminate = 1;
}

int TakeStopSignal() { return g_stopSignal.exchange(0); }

void reloadapp(int) {
    signal(SIGSEGV, SIG_DFL);
    if (time(nullptr) - OWLFlags.StartTime <= FAULT_RESTART_SECONDS) {
        // Let the fault end the process, as a crash right after start must.
        raise(SIGSEGV);
        return;
    }
    signal(SIGSEGV, SIG_IGN);
    OWLFlags.Reload = 1;
    // A real fault would strike again on return: restart from here. Only
    // async-signal-safe calls; the listening socket and the pid file's
    // descriptor close on exec, which also drops the pid file's lock.
    if (g_pidPath[0]) unlink(g_pidPath);
    sigset_t all;
    sigemptyset(&all);
    sigaddset(&all, SIGSEGV);
    sigprocmask(SIG_UNBLOCK, &all, nullptr);
    signal(SIGSEGV, SIG_DFL);
    // A session thread runs as batch; the agent it starts must not take
    // that for the operator's choice.
    EndBatchScheduling();
    if (g_restartPath[0] && g_argv) execve(g_restartPath, g_argv, g_envp);
    _exit(OWL_EXIT_LISTEN);
}

void SaveProcessImage(char** argv, char** envp) {
    g_argv = argv;
    g_envp = envp;
}

char** SavedArgv() { return g_argv; }
char** SavedEnvp() { return g_envp; }

void RefreshFaultRestart(bool holdsPidFile) {
    TSettingsReadLock lock;
    CopyPath(g_restartPath, OWLSettings.owlpath);
    CopyPath(g_pidPath, holdsPidFile ? OWLSettings.pidfile : String());
}
