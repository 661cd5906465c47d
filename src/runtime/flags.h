// The process-wide records of the running agent: OWLFlags (requests that
// sessions raise for the main thread, and the upgrade reservation) and
// AgentStatus (identity and connection counters).
// Thread use: the flag words are atomics, set to 1 by sessions (or a signal
// handler) and polled by the accept loop; the connection counters change
// with atomic operations (__atomic builtins) and are read through
// ReadAgentStatus; UpgradeScript is guarded by thread_mutex and UpgradeBusy
// by upgrade_mutex.
#pragma once

#include <pthread.h>
#include <time.h>

#include <atomic>

#include "sync/mutex.h"
#include "text/vtstring.h"

extern Mutex thread_mutex;
extern Mutex upgrade_mutex;

class TOWLFlags {
  public:
    TOWLFlags();

    int UpgradeBusy GUARDED_BY(upgrade_mutex);
    std::atomic<int> Terminate;  // "QUIT"
    std::atomic<int> Reload;     // "ReloadApp", late memory fault
    std::atomic<int> Upgrade;    // a finished upgrade waits for the loop
    String UpgradeScript GUARDED_BY(thread_mutex);
    time_t StartTime;
};

extern TOWLFlags OWLFlags;

struct TAgentStatus {
    const char* Signature;
    int RecordVersion;
    const char* AgentName;
    const char* AgentPlatform;
    const char* AgentVersion;
    const char* AgentDeveloper;
    int Service;
    int Active;
    int ActiveConnections;  // atomic
    int OpenedConnections;  // atomic
    int FailedConnections;  // atomic
};

extern TAgentStatus AgentStatus;

// A copy of the record with each counter read atomically.
TAgentStatus ReadAgentStatus();
