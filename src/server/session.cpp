#include "server/session.h"

#include <errno.h>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <stdint.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <atomic>

#include "config/settings.h"
#include "runtime/log.h"
#include "server/dispatcher.h"

namespace {

std::atomic<int> g_running{0};
std::atomic<int> g_sessionLimit{MAX_SESSIONS};

// A poll slice while waiting for data: the idle time-out is checked after
// every quiet slice.
const int kPollSliceMs = 250;
const int kChunk = 1024;

// ---- sessions waiting for their request ----------------------------------

// The state word of a slot: free, being taken, being evicted, evicted, or
// the order in which its session began waiting for its request (from 1 on).
const uint64_t kSlotFree = 0;
const uint64_t kSlotTaking = UINT64_MAX - 2;
const uint64_t kSlotEvicted = UINT64_MAX - 1;
const uint64_t kSlotEvicting = UINT64_MAX;

// One session in its request phase. A session takes a slot for its whole
// request phase; the worker that must make room for a new connection takes
// the slot that has waited longest away from its session (eviction).
struct PhaseSlot {
    std::atomic<uint64_t> state{kSlotFree};
    std::atomic<int> socket{-1};
};

// Sessions beyond the limit only wait to end after an eviction, so twice
// the limit is room for every session that can exist at once.
const int kPhaseSlots = 2 * MAX_SESSIONS + 64;
PhaseSlot g_slots[kPhaseSlots];
std::atomic<uint64_t> g_nextEntry{1};

bool Waiting(uint64_t state) { return state != kSlotFree && state < kSlotTaking; }

struct Session {
    ThreadParams params;
    UpgradeRec upgrade;
    QXRequest request;
    OWLReply reply;
    int wholePacket = 0;
    time_t lastActivity = 0;
    time_t deadline = 0;        // for the whole request; 0: none
    int proven = 0;             // the packet's password digest has matched
    String password;            // the setting, read once per request
    PhaseSlot* slot = nullptr;  // while waiting for the request
    uint64_t entry = 0;         // the slot's state that marks this session
    bool evicted = false;       // its slot was taken away to make room
    bool upgraded = false;      // an upgrade body came on this connection
};

// Takes a free slot, starting where this thread found one last time.
void EnterRequestPhase(Session& s) {
    thread_local int hint = 0;
    const uint64_t entry = g_nextEntry.fetch_add(1);
    for (int i = 0; i < kPhaseSlots; i++) {
        int at = (hint + i) % kPhaseSlots;
        uint64_t expected = kSlotFree;
        if (!g_slots[at].state.compare_exchange_strong(expected, kSlotTaking)) continue;
        // Not evictable until the socket is in place.
        g_slots[at].socket.store(s.params.Socket);
        g_slots[at].state.store(entry);
        hint = at;
        s.slot = &g_slots[at];
        s.entry = entry;
        return;
    }
    // Every slot taken (cannot happen within the limits): not evictable.
}

// Leaves the request phase (idempotent). The socket is closed only after
// this, so that an eviction never shuts down a descriptor that has been
// reused. Sets s.evicted when the slot was taken away.
void LeaveRequestPhase(Session& s) {
    if (s.slot == nullptr) return;
    uint64_t expected = s.entry;
    if (!s.slot->state.compare_exchange_strong(expected, kSlotFree)) {
        // Being evicted: wait for the evicting worker's shutdown to finish.
        while (s.slot->state.load() == kSlotEvicting) sched_yield();
        s.slot->state.store(kSlotFree);
        s.evicted = true;
    }
    s.slot = nullptr;
}

// The waiting slot that began first, or null.
PhaseSlot* OldestWaiting(uint64_t* state) {
    PhaseSlot* oldest = nullptr;
    uint64_t best = 0;
    for (PhaseSlot& slot : g_slots) {
        uint64_t st = slot.state.load(std::memory_order_relaxed);
        if (Waiting(st) && (oldest == nullptr || st < best)) {
            oldest = &slot;
            best = st;
        }
    }
    *state = best;
    return oldest;
}

// Shuts down the connection that has waited longest for its request and
// takes its session out of the running count at once (it leaves without
// touching the count), so that the caller can take its place. False when
// no session waits.
bool EvictOldestWaiting() {
    for (int attempt = 0; attempt < 16; attempt++) {
        uint64_t state;
        PhaseSlot* oldest = OldestWaiting(&state);
        if (oldest == nullptr) return false;
        if (!oldest->state.compare_exchange_strong(state, kSlotEvicting)) continue;
        g_running--;
        shutdown(oldest->socket.load(), SHUT_RDWR);
        oldest->state.store(kSlotEvicted);
        return true;
    }
    return false;
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
    if (s.evicted) return;  // the connection is shut down already
    in_addr peer = s.params.Address;
    if (!s.request.ParseInitRequest(s.password, peer)) {
        showmessage("<-- Invalid QX request received\n", peer, MSG_INFO, MSG_LITERAL);
        return;
    }
    showmessage("<-- Correct QX request received\n", peer, MSG_INFO, MSG_LITERAL);
    s.reply.InitPacket(nullptr, s.request.GetSessionKey());
    int recognised = ProcessQXRequest(s.request, s.reply, OWLFlags, s.params, s.upgrade);
    String code = s.reply.Length() > 2 ? s.reply.Copy(1, 3) : String();
    code.SetZero();
    showmessage(recognised ? "--> request processed (%s)\n"
                           : "--> request rejected or operation failed (%s)\n",
                peer, MSG_INFO, MSG_PRINTF, code.Data());
    SendReply(s);
}

// Bytes of the upgrade body and digest. Returns 0 when the session is over.
int ReceiveUpgrade(Session& s, const char* data, int n) {
    s.upgraded = true;
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

// The early check refused the packet. What of it has already come is read
// without waiting and without keeping more than its length fields, so that
// the debug lines show a packet that has all come as a whole one. Returns
// the number of bytes received.
int64_t TakeRefusedRest(Session& s) {
    int64_t received = s.request.Length();
    const int64_t whole = s.request.WholeLength();
    char buffer[kChunk];
    while (received < whole) {
        ssize_t n = recv(s.params.Socket, buffer, sizeof buffer, MSG_DONTWAIT);
        if (n <= 0) break;
        received += n;
        if (s.request.Length() < s.request.HeaderLength()) s.request.AddData(buffer, (int)n);
    }
    return received;
}

// Request bytes. Returns 0 when the session is over.
int ReceiveRequest(Session& s, const char* data, int n) {
    s.lastActivity = time(nullptr);
    s.request.AddData(data, n);
    if (!s.request.WholePacket()) {
        // A peer that gets the first bytes wrong is closed before it can
        // make us buffer anything more.
        PacketStart fault = s.request.CheckPacketStart(s.password, s.proven);
        if (fault == PACKET_START_OK) return 1;
        s.request.LogRejectedStart(TakeRefusedRest(s), fault, s.password, s.params.Address);
        showmessage("<-- Invalid QX request received\n", s.params.Address, MSG_INFO, MSG_LITERAL);
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
    const TOWLSettings& settings = CurrentSettings();
    int timeout = settings.timeout;
    s.password = settings.password;
    if (timeout > 0) s.deadline = s.lastActivity + timeout / 1000 + REQUEST_GRACE_SECONDS;
    EnterRequestPhase(s);
}

// A request still incomplete at its deadline ends the session.
bool PastDeadline(const Session& s) {
    return !s.wholePacket && s.deadline != 0 && time(nullptr) > s.deadline;
}

// Waits up to a slice for bytes: 1 when some are there, 0 when none came,
// -1 when the connection failed.
int WaitForBytes(const Session& s) {
    struct pollfd pfd = {s.params.Socket, POLLIN, 0};
    int ready = poll(&pfd, 1, kPollSliceMs);
    if (ready < 0) return errno == EINTR ? 0 : -1;
    return ready;
}

void Serve(Session& s) {
    BeginRequest(s);
    char buffer[kChunk];
    for (;;) {
        if (PastDeadline(s)) return;
        // Bytes are usually there already (a connection is taken once its
        // first bytes have come): look before waiting.
        ssize_t n = recv(s.params.Socket, buffer, sizeof buffer, MSG_DONTWAIT);
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
            int ready = WaitForBytes(s);
            if (ready < 0) return;
            if (ready == 0 && !QuietSlice(s)) return;
            continue;
        }
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
    showmessage("Session closed, wait for next ..\n", LOCAL, MSG_INFO, MSG_LITERAL);
    // close sends the FIN behind the reply; no shutdown round is needed.
    close(s.params.Socket);
    __atomic_fetch_sub(&AgentStatus.ActiveConnections, 1, __ATOMIC_RELAXED);
    if (!s.upgraded) return;
    // A finished upgrade waits for the main loop to run its script.
    MutexLock hold(thread_mutex);
    if (OWLFlags.UpgradeScript.Length() > 0) OWLFlags.Upgrade = 1;
}

}  // namespace

int RunningSessions() { return g_running.load(); }

bool ClaimSession() {
    if (g_running.fetch_add(1) < g_sessionLimit.load() || EvictOldestWaiting()) return true;
    g_running--;
    return false;
}

void ServeConnection(int socket, in_addr peer) {
    Session s;
    s.params = {socket, peer};
    __atomic_fetch_add(&AgentStatus.ActiveConnections, 1, __ATOMIC_RELAXED);
    __atomic_fetch_add(&AgentStatus.OpenedConnections, 1, __ATOMIC_RELAXED);
    Serve(s);
    EndSession(s);
    // An evicted session's place already belongs to the connection that
    // replaced it.
    if (!s.evicted) g_running--;
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
