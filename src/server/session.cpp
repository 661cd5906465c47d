#include "server/session.h"

#include <errno.h>
#include <poll.h>
#include <pthread.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>

#include "config/settings.h"
#include "core/log.h"

namespace {

std::atomic<int> g_running{0};
std::atomic<int> g_sessionLimit{MAX_SESSIONS};

// Session threads that have finished a connection wait a while for the next
// one instead of ending, so that a busy agent does not pay for a thread
// start (and its stack) on every connection. Every connection still has a
// thread of its own for as long as it lasts.
const int kMaxIdleThreads = 64;
const auto kIdleThreadLife = std::chrono::seconds(30);

struct IdleThreads {
    std::mutex mutex;
    std::condition_variable wake;
    std::deque<ThreadParams*> handed;  // connections waiting for an idle thread
    int idle = 0;
};

IdleThreads& Idle() {
    static IdleThreads* pool = new IdleThreads;  // never destroyed: threads may outlive main
    return *pool;
}

// Gives the connection to a waiting thread; false when none is free.
bool HandToIdleThread(ThreadParams* params) {
    IdleThreads& pool = Idle();
    std::lock_guard<std::mutex> lock(pool.mutex);
    if (pool.idle <= (int)pool.handed.size()) return false;
    pool.handed.push_back(params);
    pool.wake.notify_one();
    return true;
}

// Waits for the next connection; null when the thread should end.
ThreadParams* WaitForConnection() {
    IdleThreads& pool = Idle();
    std::unique_lock<std::mutex> lock(pool.mutex);
    if (pool.idle >= kMaxIdleThreads) return nullptr;
    pool.idle++;
    pool.wake.wait_for(lock, kIdleThreadLife, [&] { return !pool.handed.empty(); });
    pool.idle--;
    if (pool.handed.empty()) return nullptr;
    ThreadParams* params = pool.handed.front();
    pool.handed.pop_front();
    return params;
}

void* SessionThread(void* arg) {
    for (ThreadParams* params = static_cast<ThreadParams*>(arg); params != nullptr;
         params = WaitForConnection())
        ClientExecute(params);
    return nullptr;
}

// A poll slice while waiting for data: the idle time-out is checked after
// every quiet slice.
const int kPollSliceMs = 250;
const int kChunk = 1024;

struct Session {
    ThreadParams params;
    UpgradeRec upgrade;
    QXRequest request;
    OWLReply reply;
    int wholePacket = 0;
    time_t lastActivity = 0;
    time_t deadline = 0;  // for the whole request; 0: none
    int proven = 0;       // the packet's password digest has matched
    String password;      // the setting, read once per request
    // Request phase table: the session's entry while it waits for its
    // packet; evicted is set (under the table's mutex) when the accept loop
    // closed it to make room and took over its slot.
    uint64_t phaseEntry = 0;
    bool evicted = false;
};

// Sessions in their request phase, keyed in the order they began it, so
// that the first entry is the one that has waited longest.
struct RequestPhaseTable {
    std::mutex mutex;
    std::map<uint64_t, Session*> waiting;
    uint64_t next = 1;
};

RequestPhaseTable& Waiting() {
    static RequestPhaseTable* table = new RequestPhaseTable;  // threads may outlive main
    return *table;
}

void EnterRequestPhase(Session& s) {
    RequestPhaseTable& table = Waiting();
    std::lock_guard<std::mutex> lock(table.mutex);
    s.phaseEntry = table.next++;
    table.waiting[s.phaseEntry] = &s;
}

// Leaves the table (idempotent). The socket is closed only after this, so
// that an eviction never shuts down a descriptor that has been reused.
void LeaveRequestPhase(Session& s) {
    RequestPhaseTable& table = Waiting();
    std::lock_guard<std::mutex> lock(table.mutex);
    if (s.phaseEntry != 0) table.waiting.erase(s.phaseEntry);
    s.phaseEntry = 0;
}

// Shuts down the connection that has waited longest for its request and
// takes its session out of the slot count at once (it leaves without
// touching the count), so that the caller can take its slot. False when no
// session waits.
bool EvictOldestWaiting() {
    RequestPhaseTable& table = Waiting();
    std::lock_guard<std::mutex> lock(table.mutex);
    if (table.waiting.empty()) return false;
    Session* oldest = table.waiting.begin()->second;
    table.waiting.erase(table.waiting.begin());
    oldest->phaseEntry = 0;
    oldest->evicted = true;
    g_running--;
    shutdown(oldest->params.Socket, SHUT_RDWR);
    return true;
}

bool WasEvicted(Session& s) {
    std::lock_guard<std::mutex> lock(Waiting().mutex);
    return s.evicted;
}

void SendReply(Session& s) {
    s.reply.FinalizePacket();
    // One send; a peer that has gone only costs its reply.
    (void)!send(s.params.Socket, s.reply.Data(), s.reply.Length(), MSG_NOSIGNAL);
}

// The whole packet is here: parse, dispatch and answer it.
void AnswerRequest(Session& s) {
    s.wholePacket = 1;
    LeaveRequestPhase(s);
    in_addr peer = s.params.Address;
    if (!s.request.ParseInitRequest(s.password, peer)) {
        showmessage("<-- Invalid QX request received\n", peer, MSG_INFO, 0);
        return;
    }
    showmessage("<-- Correct QX request received\n", peer, MSG_INFO, 0);
    s.reply.InitPacket(nullptr, s.request.GetSessionKey());
    int recognised = ProcessQXRequest(s.request, s.reply, OWLFlags, s.params, s.upgrade);
    String code = s.reply.Length() > 2 ? s.reply.Copy(1, 3) : String();
    code.SetZero();
    showmessage(recognised ? "--> request processed (%s)\n"
                           : "--> request rejected or operation failed (%s)\n",
                peer, MSG_INFO, 1, code.Data());
    SendReply(s);
}

// Bytes of the upgrade body and digest. Returns 0 when the session is over.
int ReceiveUpgrade(Session& s, const char* data, int n) {
    String err;
    DoUpgrading(s.upgrade, data, n, err);
    if (s.upgrade.Active()) return 1;
    if (err.Length() > 0)
        s.reply.SetResult(OWL_AGENT_FAILED) += err;
    else
        s.reply.SetResult(OWL_OK);
    SendReply(s);
    return 0;
}

// Request bytes. Returns 0 when the session is over.
int ReceiveRequest(Session& s, const char* data, int n) {
    s.lastActivity = time(nullptr);
    s.request.AddData(data, n);
    if (!s.request.WholePacket()) {
        // A peer that gets the first bytes wrong is closed before it can
        // make us buffer anything more.
        if (s.request.CheckPacketStart(s.password, s.params.Address, s.proven)) return 1;
        showmessage("<-- Invalid QX request received\n", s.params.Address, MSG_INFO, 0);
        return 0;
    }
    AnswerRequest(s);
    return s.upgrade.Active();
}

// Nothing arrived for a slice. Returns 0 when the session has timed out.
int QuietSlice(Session& s) {
    time_t now = time(nullptr);
    if (s.upgrade.Active()) return now - s.lastActivity <= UPGRADE_STALL_SECONDS;
    int timeout = SettingInt(&TOWLSettings::timeout);
    if (timeout > 0 && !s.wholePacket && s.lastActivity + timeout / 1000 < now) return 0;
    return 1;
}

void BeginRequest(Session& s) {
    s.lastActivity = time(nullptr);
    int timeout;
    {
        TSettingsReadLock lock;
        timeout = OWLSettings.timeout;
        s.password = OWLSettings.password;
    }
    if (timeout > 0) s.deadline = s.lastActivity + timeout / 1000 + REQUEST_GRACE_SECONDS;
    EnterRequestPhase(s);
}

// A request still incomplete at its deadline ends the session.
bool PastDeadline(const Session& s) {
    return !s.wholePacket && s.deadline != 0 && time(nullptr) > s.deadline;
}

void Serve(Session& s) {
    BeginRequest(s);
    char buffer[kChunk];
    for (;;) {
        if (PastDeadline(s)) return;
        struct pollfd pfd = {s.params.Socket, POLLIN, 0};
        int ready = poll(&pfd, 1, kPollSliceMs);
        if (ready < 0) {
            if (errno == EINTR) continue;
            return;
        }
        if (ready == 0) {
            if (!QuietSlice(s)) return;
            continue;
        }
        ssize_t n = recv(s.params.Socket, buffer, sizeof buffer, 0);
        if (n <= 0) return;
        if (s.upgrade.Active()) {
            s.lastActivity = time(nullptr);
            if (!ReceiveUpgrade(s, buffer, (int)n)) return;
        } else if (!ReceiveRequest(s, buffer, (int)n)) {
            return;
        }
    }
}

void EndSession(Session& s) {
    // A transfer cut short leaves no reservation and no temporary file.
    if (s.upgrade.Active()) s.upgrade.Abandon();
    LeaveRequestPhase(s);
    showmessage("Session closed, wait for next ..\n", LOCAL, MSG_INFO, 0);
    shutdown(s.params.Socket, SHUT_RDWR);
    close(s.params.Socket);
    pthread_mutex_lock(&thread_mutex);
    AgentStatus.ActiveConnections--;
    if (OWLFlags.UpgradeScript.Length() > 0) OWLFlags.Upgrade = 1;
    pthread_mutex_unlock(&thread_mutex);
}

}  // namespace

int RunningSessions() { return g_running.load(); }

void* ClientExecute(void* arg) {
    Session* s = new Session;
    pthread_mutex_lock(&thread_mutex);
    AgentStatus.ActiveConnections++;
    AgentStatus.OpenedConnections++;
    pthread_mutex_unlock(&thread_mutex);
    ThreadParams* params = static_cast<ThreadParams*>(arg);
    s->params = *params;
    delete params;
    Serve(*s);
    EndSession(*s);
    // An evicted session's slot already belongs to the connection that
    // replaced it.
    if (!WasEvicted(*s)) g_running--;
    delete s;
    return nullptr;
}

void RaiseDescriptorLimit() {
    struct rlimit limit;
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return;
    rlim_t wanted = limit.rlim_max;
    if (wanted == RLIM_INFINITY || wanted > 65536) wanted = 65536;
    if (wanted > limit.rlim_cur) {
        limit.rlim_cur = wanted;
        if (setrlimit(RLIMIT_NOFILE, &limit) != 0) getrlimit(RLIMIT_NOFILE, &limit);
    }
    long usable = ((long)limit.rlim_cur - RESERVED_DESCRIPTORS) / DESCRIPTORS_PER_SESSION;
    if (usable < 1) usable = 1;
    g_sessionLimit = usable < MAX_SESSIONS ? (int)usable : MAX_SESSIONS;
}

int SessionLimit() { return g_sessionLimit.load(); }

int StartSession(int socket, in_addr peer) {
    if (g_running.fetch_add(1) >= g_sessionLimit.load() && !EvictOldestWaiting()) {
        g_running--;
        return 0;
    }
    ThreadParams* params = new ThreadParams{socket, peer};
    if (HandToIdleThread(params)) return 1;
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setstacksize(&attr, SESSION_STACK_SIZE);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    pthread_t thread;
    int rc = pthread_create(&thread, &attr, SessionThread, params);
    pthread_attr_destroy(&attr);
    if (rc != 0) {
        delete params;
        g_running--;
        return 0;
    }
    return 1;
}
