#include "server/workers.h"

#include <arpa/inet.h>
#include <errno.h>
#include <malloc.h>
#include <netinet/in.h>
#include <pthread.h>
#include <stdio.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <vector>

#include "config/ipfilter.h"
#include "net/syncsocket.h"
#include "proc/runner.h"
#include "runtime/coverage.h"
#include "runtime/flags.h"
#include "runtime/log.h"
#include "server/exitstatus.h"
#include "server/session.h"
#include "sync/mutex.h"

namespace {

// Idle workers kept however long they wait; the others end after
// kIdleLifeSeconds without a connection. accept wakes them every
// kAcceptWakeSeconds to look (the listener's receive time-out).
const int kIdleFloor = 2;
// A worker that finds this many waiting when its session ends ends too,
// so that a burst's workers go at once. Below it, workers end only after
// kIdleLifeSeconds without a connection: under steady load the pool keeps
// its size instead of ending workers that the next connections would start
// again (a thread start costs more than a request).
const int kMaxIdleWorkers = 64;
const int kIdleLifeSeconds = 50;
const int kAcceptWakeSeconds = 5;
// While accept fails for want of descriptors or memory, a worker waits this
// long before trying again instead of spinning on the pending connection.
const int kStarvedBackoffMs = 100;

// The listening socket and its generation, in one word so that a worker
// never pairs one generation's socket with another's count. A worker counts
// itself in g_users[generation % 2] while it may call accept on that
// generation's socket, so that ReplaceListener knows when the old one is
// out of use.
uint64_t Listening(unsigned generation, int socket) {
    return (uint64_t)generation << 32 | (uint32_t)socket;
}
unsigned GenerationOf(uint64_t listening) { return (unsigned)(listening >> 32); }
int SocketOf(uint64_t listening) { return (int)(uint32_t)listening; }

std::atomic<uint64_t> g_listening{Listening(0, -1)};
std::atomic<int> g_users[2];

std::atomic<int> g_workers{0};
std::atomic<int> g_idle{0};
std::atomic<int> g_busy{0};          // workers serving a connection
std::atomic<bool> g_starved{false};  // accept is failing for want of resources

bool StartWorker();

// accept failed for want of descriptors or memory: log once per episode and
// wait a little, so that the pending connection does not make us spin.
void Starved(int error) {
    if (!g_starved.exchange(true))
        showmessage("Accept error: %s; waiting for resources\n", LOCAL, MSG_FAILURE, MSG_PRINTF,
                    strerror(error));
    usleep(kStarvedBackoffMs * 1000);
}

// What a failed accept means: true when the worker just tries again.
bool Passing(int error, unsigned generation) {
    if (error == EMFILE || error == ENFILE || error == ENOBUFS || error == ENOMEM) {
        Starved(error);
        return true;
    }
    // A time-out, a connection that went away before we took it, or a socket
    // that was replaced under us: no fault of ours.
    if (error == EAGAIN || error == EWOULDBLOCK || error == EINTR || error == ECONNABORTED)
        return true;
    return GenerationOf(g_listening.load()) != generation;
}

// The next connection on the current listening socket; -1 when none came
// (a time-out, no socket to accept on, a passing failure).
int AcceptNext(in_addr& peer) {
    const uint64_t listening = g_listening.load();
    const unsigned generation = GenerationOf(listening);
    std::atomic<int>& users = g_users[generation % 2];
    users++;
    if (g_listening.load() != listening) {
        // Replaced meanwhile: the replacement may not have seen our count.
        users--;
        return -1;
    }
    const int listener = SocketOf(listening);
    struct sockaddr_in addr;
    socklen_t len = sizeof addr;
    int sock = listener >= 0 ? accept4(listener, (struct sockaddr*)&addr, &len, SOCK_CLOEXEC) : -1;
    int error = errno;
    users--;
    if (listener < 0) {
        usleep(kStarvedBackoffMs * 1000);  // not accepting now
        return -1;
    }
    if (sock < 0) {
        if (Passing(error, generation)) return -1;
        showmessage("Accept fatal error: %s\n\n", LOCAL, MSG_FAILURE, MSG_PRINTF, strerror(error));
        EndProcess(OWL_EXIT_LISTEN);
    }
    if (g_starved.exchange(false))
        showmessage("Accept works again\n", LOCAL, MSG_INFO, MSG_LITERAL);
    peer = addr.sin_addr;
    return sock;
}

// The connection filter: a rejected peer is counted, logged and closed.
bool Admit(int sock, in_addr peer) {
    char dotted[INET_ADDRSTRLEN];
    inet_ntoa_safe(peer, dotted, sizeof dotted);
    if (FilterAdmits(dotted)) return true;
    __atomic_fetch_add(&AgentStatus.FailedConnections, 1, __ATOMIC_RELAXED);
    showmessage("TCP connection rejected\n", peer, MSG_FAILURE, MSG_LITERAL);
    shutdown(sock, SHUT_RDWR);
    close(sock);
    return false;
}

void TakeConnection(int sock, in_addr peer) {
    if (!Admit(sock, peer)) return;
    showmessage("TCP connection accepted\n", peer, MSG_SUCCESS, MSG_LITERAL);
    if (!ClaimSession()) {
        showmessage("Too many sessions: connection closed\n", peer, MSG_FAILURE, MSG_LITERAL);
        shutdown(sock, SHUT_RDWR);
        close(sock);
        return;
    }
    ServeConnection(sock, peer);
}

// A worker's stack is its own mapping, so that a worker that ends leaves
// nothing behind: the accept loop joins it and unmaps the stack (glibc would
// keep a stack of its own making, with its pages, for the next thread).
struct WorkerStack {
    void* base = nullptr;  // the mapping, a guard page at its low end
    size_t size = 0;
};

struct RetiredWorker {
    pthread_t thread;
    WorkerStack stack;
};

Mutex g_retiredLock;
std::vector<RetiredWorker> g_retired GUARDED_BY(g_retiredLock);

size_t PageSize() { return (size_t)sysconf(_SC_PAGESIZE); }

// The sanitizers keep data of their own on a thread's stack.
#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
const size_t kStackSize = 4 * SESSION_STACK_SIZE + 2 * 1024 * 1024;
#else
const size_t kStackSize = SESSION_STACK_SIZE;
#endif

bool MapStack(WorkerStack& stack) {
    stack.size = kStackSize + PageSize();
    stack.base = mmap(nullptr, stack.size, PROT_READ | PROT_WRITE,
                      MAP_PRIVATE | MAP_ANONYMOUS | MAP_STACK, -1, 0);
    if (stack.base == MAP_FAILED) return false;
    mprotect(stack.base, PageSize(), PROT_NONE);
    return true;
}

void* Worker(void* arg) {
    WorkerStack* stack = static_cast<WorkerStack*>(arg);
    // A connection that arrives does not interrupt a session in the middle
    // of its cipher work: under load a request then costs fewer switches
    // and finds its tables still in the cache.
    UseBatchScheduling();
    time_t idleSince = time(nullptr);
    for (;;) {
        g_idle++;
        in_addr peer;
        int sock = AcceptNext(peer);
        int othersIdle = --g_idle;
        if (sock < 0) {
            if (othersIdle >= kIdleFloor && time(nullptr) - idleSince >= kIdleLifeSeconds) break;
            continue;
        }
        // Somebody must wait in accept while this connection is served: a
        // worker that is only finishing a session will be back in a moment,
        // so a new one starts only when every worker is serving.
        if (g_busy.fetch_add(1) + 1 >= g_workers.load()) StartWorker();
        TakeConnection(sock, peer);
        g_busy--;
        if (g_idle.load() >= kMaxIdleWorkers) break;  // enough wait already
        idleSince = time(nullptr);
    }
    g_workers--;
    {
        MutexLock lock(g_retiredLock);
        g_retired.push_back({pthread_self(), *stack});
    }
    delete stack;
    return nullptr;
}

// Starts one more worker unless the workers already fill every session
// place and a few more (evicted sessions end a moment after their eviction).
bool StartWorker() {
    if (g_workers.fetch_add(1) >= SessionLimit() + 64) {
        g_workers--;
        return false;
    }
    WorkerStack* stack = new WorkerStack;
    int rc = MapStack(*stack) ? 0 : -1;
    if (rc == 0) {
        pthread_attr_t attr;
        pthread_attr_init(&attr);
        pthread_attr_setstack(&attr, (char*)stack->base + PageSize(), kStackSize);
        pthread_t thread;
        rc = pthread_create(&thread, &attr, Worker, stack);
        pthread_attr_destroy(&attr);
        if (rc != 0) munmap(stack->base, stack->size);
    }
    if (rc != 0) {
        delete stack;
        g_workers--;
    }
    return rc == 0;
}

// Idle workers wake from accept every kAcceptWakeSeconds.
void SetAcceptWake(int listenSocket) {
    struct timeval tv = {kAcceptWakeSeconds, 0};
    (void)setsockopt(listenSocket, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
}

}  // namespace

void StartWorkers(int listenSocket) {
    SetAcceptWake(listenSocket);
    g_listening = Listening(GenerationOf(g_listening.load()), listenSocket);
    for (int i = 0; i < kIdleFloor; i++) StartWorker();
}

void ReplaceListener(int listenSocket) {
    if (listenSocket >= 0) SetAcceptWake(listenSocket);
    // Only the accept loop replaces the socket, so the next generation is
    // ours to take.
    const uint64_t old = g_listening.load();
    const unsigned generation = GenerationOf(old);
    g_listening = Listening(generation + 1, listenSocket);
    if (SocketOf(old) >= 0) shutdown(SocketOf(old), SHUT_RDWR);  // wakes its workers
    // Bounded: a worker leaves accept on the shutdown, or at its wake-up.
    for (int i = 0; i < 1000 * kAcceptWakeSeconds && g_users[generation % 2].load() > 0; i++)
        usleep(1000);
}

void ReapWorkers() {
    std::vector<RetiredWorker> retired;
    {
        MutexLock lock(g_retiredLock);
        retired.swap(g_retired);
    }
    for (RetiredWorker& r : retired) {
        pthread_join(r.thread, nullptr);
        munmap(r.stack.base, r.stack.size);
    }
    // What the workers' sessions freed goes back to the system too.
    if (!retired.empty()) malloc_trim(0);
}

void EndProcess(int status) {
    fflush(nullptr);
    FlushCoverageCounters();
    _exit(status);
}
