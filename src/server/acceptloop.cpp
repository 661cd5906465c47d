#include "server/acceptloop.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <malloc.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include "config/ipfilter.h"
#include "config/settings.h"
#include "net/syncsocket.h"
#include "runtime/coverage.h"
#include "runtime/flags.h"
#include "runtime/log.h"
#include "server/exitstatus.h"
#include "server/lifecycle.h"
#include "server/session.h"
#include "server/workers.h"

namespace {

struct Listener {
    int socket;
    unsigned int addrlen;
    int port;  // the port in use
    FILE* pidfile;
    time_t refreshed;  // when the fault handler's copies were last refreshed
};

// How often the loop looks at what sessions and signals asked for.
const int kPassMs = 100;

// Connections are handed over only once their first bytes have arrived, so
// that a silent connection costs no session until the kernel gives up
// waiting for it.
void DeferAccept(int socket) {
    int seconds = SettingInt(&TOWLSettings::timeout) / 1000;
    if (seconds < 1) seconds = 1;
    (void)setsockopt(socket, IPPROTO_TCP, TCP_DEFER_ACCEPT, &seconds, sizeof seconds);
}

// The workers stop accepting on the listener, which is closed.
void CloseListener(Listener& l) {
    ReplaceListener(-1);
    close(l.socket);
    l.socket = -1;
}

// A new listener for the workers.
void UseListener(Listener& l, int socket) {
    DeferAccept(socket);
    ReplaceListener(socket);
    l.socket = socket;
}

// After a failed restart or script start: listen again and take the pid file
// back, so that the agent keeps serving.
void Reopen(Listener& l) {
    String err;
    l.socket = Listen(l.addrlen, err);
    if (l.socket <= 0) {
        showmessage("Cannot open original port either. Terminating\n", LOCAL, MSG_FAILURE,
                    MSG_LITERAL);
        EndProcess(OWL_EXIT_LISTEN);
    }
    UseListener(l, l.socket);
    l.pidfile = CreateDaemonPidFile();
}

// Replaces the process with program; returns only when that failed.
void ExecuteInPlace(Listener& l, String program) {
    CloseListener(l);
    closepidfile(l.pidfile);
    l.pidfile = nullptr;
    FlushCoverageCounters();
    execve(program.SetZero().Data(), SavedArgv(), SavedEnvp());
}

void Restart(Listener& l) {
    showmessage("Reload request received. Executing..\n", LOCAL, MSG_INFO, MSG_LITERAL);
    ExecuteInPlace(l, SettingText(&TOWLSettings::owlpath));
    showmessage("Error: cannot start new instance\n", LOCAL, MSG_FAILURE, MSG_LITERAL);
    OWLFlags.Reload = 0;
    Reopen(l);
}

// The script is ours to run only when it is a regular file of this user
// that nobody else may write (a link or another user's file planted in a
// shared temporary folder is not).
bool TrustedScript(String script) {
    int fd = open(script.SetZero().Data(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return false;
    struct stat st;
    bool trusted = fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == geteuid() &&
                   st.st_nlink == 1 && (st.st_mode & S_IWOTH) == 0;
    close(fd);
    return trusted;
}

void ForgetUpgradeScript() {
    showmessage("Error: cannot start upgrading script\n", LOCAL, MSG_FAILURE, MSG_LITERAL);
    MutexLock hold(thread_mutex);
    OWLFlags.Upgrade = 0;
    OWLFlags.UpgradeScript = "";
}

void RunUpgradeScript(Listener& l) {
    showmessage("Upgrade request received. Executing..\n", LOCAL, MSG_INFO, MSG_LITERAL);
    String script;
    {
        MutexLock hold(thread_mutex);
        script = OWLFlags.UpgradeScript;
    }
    if (!TrustedScript(script)) {
        ForgetUpgradeScript();  // still listening: nothing to reopen
        return;
    }
    ExecuteInPlace(l, script);
    ForgetUpgradeScript();
    Reopen(l);
}

void SetPort(int port) {
    TSettingsWriteLock lock;
    OWLSettings.port = port;
}

// The port a listening socket is bound to.
int BoundPort(int socket) {
    struct sockaddr_in addr = {};
    socklen_t len = sizeof addr;
    if (getsockname(socket, (struct sockaddr*)&addr, &len) != 0) return -1;
    return ntohs(addr.sin_port);
}

// The new port is opened beside the old one, which serves until the new one
// takes over, and stays when the new one cannot be opened.
void ChangePort(Listener& l) {
    String err;
    int socket = Listen(l.addrlen, err);
    if (socket > 0) {
        int old = l.socket;
        UseListener(l, socket);
        close(old);
        // The port of the socket, not of the settings: a change that came
        // while the workers moved over is the next pass's to make.
        l.port = BoundPort(socket);
        showmessage("Server port switching .. Ok\n", LOCAL, MSG_SUCCESS, MSG_LITERAL);
        return;
    }
    showmessage("Error: cannot open new port for listening\n", LOCAL, MSG_FAILURE, MSG_LITERAL);
    SetPort(l.port);
    showmessage("Return to original port\n", LOCAL, MSG_FAILURE, MSG_LITERAL);
}

// How long a stop waits for running sessions to send their replies: a
// moment for the "QUIT" session's "Ok", longer for a stop signal, which may
// find work in progress.
const int kQuitWaitMs = 500;
const int kSignalStopWaitMs = 5000;

[[noreturn]] void Terminate(Listener& l, int waitMs) {
    showmessage("Terminate request received. Terminating..\n", LOCAL, MSG_INFO, MSG_LITERAL);
    ReplaceListener(-1);  // no new sessions
    for (int i = 0; i < waitMs / 10 && RunningSessions() > 0; i++) usleep(10 * 1000);
    closepidfile(l.pidfile);
    EndProcess(OWL_EXIT_OK);
}

// Carries out the requests raised since the last pass.
void HandleRequests(Listener& l) {
    if (OWLFlags.Terminate) {
        int sig = TakeStopSignal();
        if (sig == 0) Terminate(l, kQuitWaitMs);
        // Logged as a success, so that the log of a daemon records the stop.
        showmessage("%s received\n", LOCAL, MSG_SUCCESS, MSG_PRINTF,
                    sig == SIGINT ? "SIGINT" : "SIGTERM");
        Terminate(l, kSignalStopWaitMs);
    }
    if (OWLFlags.Reload) Restart(l);
    if (OWLFlags.Upgrade) RunUpgradeScript(l);
    if (TakeReloadRequest()) {
        String err;
        if (!OWLSettings.LoadOptions(err))
            showmessage("Configuration reload failed: %s\n", LOCAL, MSG_FAILURE, MSG_PRINTF,
                        err.SetZero().Data());
    }
    if (SettingInt(&TOWLSettings::port) != l.port) ChangePort(l);
    ReapWorkers();
    // The fault handler's copies follow the settings about once a second.
    time_t now = time(nullptr);
    if (now != l.refreshed) {
        RefreshFaultRestart(l.pidfile != nullptr);
        FlushRepeatedMessages();
        l.refreshed = now;
    }
}

}  // namespace

void AcceptLoop(int listenSocket, unsigned int addrlen, FILE* pidfile) {
    Listener l = {listenSocket, addrlen, SettingInt(&TOWLSettings::port), pidfile, 0};
    RaiseDescriptorLimit();
    // One malloc arena for all workers: the sessions' allocations are small
    // and short, and memory freed after a burst then goes back to the
    // system (each further arena would keep its top resident).
    mallopt(M_ARENA_MAX, 1);
    DeferAccept(l.socket);
    StartWorkers(l.socket);
    for (;;) {
        HandleRequests(l);
        usleep(kPassMs * 1000);
    }
}
