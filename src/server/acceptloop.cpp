#include "server/acceptloop.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
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
#include "core/coverage.h"
#include "core/flags.h"
#include "core/log.h"
#include "net/syncsocket.h"
#include "server/cmdline.h"
#include "server/session.h"
#include "server/startup.h"

namespace {

// Ends the process while session threads may still run: no static
// destructors under their feet, only the streams flushed.
[[noreturn]] void EndProcess(int status) {
    fflush(nullptr);
    FlushCoverageCounters();
    _exit(status);
}

struct Listener {
    int socket;
    unsigned int addrlen;
    int port;  // the port in use
    FILE* pidfile;
    time_t refreshed;      // when the fault handler's copies were last refreshed
    bool starved = false;  // accept is failing for want of descriptors or memory
};

// While accept fails for want of descriptors or memory, the loop waits this
// long before trying again instead of spinning on the pending connection.
const int kStarvedBackoffMs = 100;

// Connections are handed over only once their first bytes have arrived, so
// that a silent connection costs no session until the kernel gives up
// waiting for it.
void DeferAccept(int socket) {
    int seconds = SettingInt(&TOWLSettings::timeout) / 1000;
    if (seconds < 1) seconds = 1;
    (void)setsockopt(socket, IPPROTO_TCP, TCP_DEFER_ACCEPT, &seconds, sizeof seconds);
}

void CloseListener(Listener& l) {
    shutdown(l.socket, SHUT_RDWR);
    close(l.socket);
    l.socket = -1;
}

// After a failed restart or script start: listen again and take the pid file
// back, so that the agent keeps serving.
void Reopen(Listener& l) {
    String err;
    l.socket = Listen(l.addrlen, err);
    if (l.socket <= 0) {
        showmessage("Cannot open original port either. Terminating\n", LOCAL, MSG_FAILURE, 0);
        EndProcess(OWL_EXIT_LISTEN);
    }
    DeferAccept(l.socket);
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
    showmessage("Reload request received. Executing..\n", LOCAL, MSG_INFO, 0);
    ExecuteInPlace(l, SettingText(&TOWLSettings::owlpath));
    showmessage("Error: cannot start new instance\n", LOCAL, MSG_FAILURE, 0);
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
    showmessage("Error: cannot start upgrading script\n", LOCAL, MSG_FAILURE, 0);
    pthread_mutex_lock(&thread_mutex);
    OWLFlags.Upgrade = 0;
    OWLFlags.UpgradeScript = "";
    pthread_mutex_unlock(&thread_mutex);
}

void RunUpgradeScript(Listener& l) {
    showmessage("Upgrade request received. Executing..\n", LOCAL, MSG_INFO, 0);
    pthread_mutex_lock(&thread_mutex);
    String script = OWLFlags.UpgradeScript;
    pthread_mutex_unlock(&thread_mutex);
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

void ChangePort(Listener& l) {
    CloseListener(l);
    String err;
    l.socket = Listen(l.addrlen, err);
    if (l.socket > 0) {
        DeferAccept(l.socket);
        l.port = SettingInt(&TOWLSettings::port);
        showmessage("Server port switching .. Ok\n", LOCAL, MSG_SUCCESS, 0);
        return;
    }
    showmessage("Error: cannot open new port for listening\n", LOCAL, MSG_FAILURE, 0);
    SetPort(l.port);
    l.socket = Listen(l.addrlen, err);
    if (l.socket <= 0) {
        showmessage("Cannot open original port either. Terminating\n", LOCAL, MSG_FAILURE, 0);
        EndProcess(OWL_EXIT_LISTEN);
    }
    DeferAccept(l.socket);
    showmessage("Return to original port\n", LOCAL, MSG_FAILURE, 0);
}

// How long a stop waits for running sessions to send their replies: a
// moment for the "QUIT" session's "Ok", longer for a stop signal, which may
// find work in progress.
const int kQuitWaitMs = 500;
const int kSignalStopWaitMs = 5000;

[[noreturn]] void Terminate(Listener& l, int waitMs) {
    showmessage("Terminate request received. Terminating..\n", LOCAL, MSG_INFO, 0);
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
        showmessage("%s received\n", LOCAL, MSG_SUCCESS, 1, sig == SIGINT ? "SIGINT" : "SIGTERM");
        Terminate(l, kSignalStopWaitMs);
    }
    if (OWLFlags.Reload) Restart(l);
    if (OWLFlags.Upgrade) RunUpgradeScript(l);
    if (TakeReloadRequest()) {
        String err;
        if (!OWLSettings.LoadOptions(err))
            showmessage("Configuration reload failed: %s\n", LOCAL, MSG_FAILURE, 1,
                        err.SetZero().Data());
    }
    if (SettingInt(&TOWLSettings::port) != l.port) ChangePort(l);
    // The fault handler's copies follow the settings about once a second.
    time_t now = time(nullptr);
    if (now != l.refreshed) {
        RefreshFaultRestart(l.pidfile != nullptr);
        FlushRepeatedMessages();
        l.refreshed = now;
    }
}

// The connection filter: a rejected peer is counted, logged and closed.
bool Admit(int sock, in_addr peer) {
    char dotted[INET_ADDRSTRLEN];
    inet_ntoa_safe(peer, dotted, sizeof dotted);
    if (FilterAdmits(dotted)) return true;
    pthread_mutex_lock(&thread_mutex);
    AgentStatus.FailedConnections++;
    pthread_mutex_unlock(&thread_mutex);
    showmessage("TCP connection rejected\n", peer, MSG_FAILURE, 0);
    shutdown(sock, SHUT_RDWR);
    close(sock);
    return false;
}

// accept failed for want of descriptors or memory: log once per episode and
// wait a little, so that the pending connection does not make us spin.
void Starved(Listener& l, int error) {
    if (!l.starved)
        showmessage("Accept error: %s; waiting for resources\n", LOCAL, MSG_FAILURE, 1,
                    strerror(error));
    l.starved = true;
    usleep(kStarvedBackoffMs * 1000);
}

// Waits up to a second for a connection; -1 when none came.
int WaitAndAccept(Listener& l, in_addr& peer) {
    struct pollfd pfd = {l.socket, POLLIN, 0};
    if (poll(&pfd, 1, 1000) <= 0) return -1;
    struct sockaddr_in addr;
    socklen_t len = sizeof addr;
    int sock = accept4(l.socket, (struct sockaddr*)&addr, &len, SOCK_CLOEXEC);
    if (sock < 0) {
        int error = errno;
        if (error == EMFILE || error == ENFILE || error == ENOBUFS || error == ENOMEM) {
            Starved(l, error);
            return -1;
        }
        // A connection that went away before we took it is no fault of ours.
        if (error == EINTR || error == ECONNABORTED || error == EAGAIN) return -1;
        showmessage("Accept fatal error: %s\n\n", LOCAL, MSG_FAILURE, 1, strerror(error));
        EndProcess(OWL_EXIT_LISTEN);
    }
    if (l.starved) showmessage("Accept works again\n", LOCAL, MSG_INFO, 0);
    l.starved = false;
    peer = addr.sin_addr;
    return sock;
}

}  // namespace

void AcceptLoop(int listenSocket, unsigned int addrlen, FILE* pidfile) {
    Listener l = {listenSocket, addrlen, SettingInt(&TOWLSettings::port), pidfile, 0};
    RaiseDescriptorLimit();
    DeferAccept(l.socket);
    for (;;) {
        HandleRequests(l);
        in_addr peer;
        int sock = WaitAndAccept(l, peer);
        if (sock < 0) continue;
        if (!Admit(sock, peer)) continue;
        showmessage("TCP connection accepted\n", peer, MSG_SUCCESS, 0);
        if (!StartSession(sock, peer)) {
            showmessage("Too many sessions: connection closed\n", peer, MSG_FAILURE, 0);
            shutdown(sock, SHUT_RDWR);
            close(sock);
        }
    }
}
