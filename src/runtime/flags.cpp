#include "runtime/flags.h"

#include "text/version.h"

TOWLFlags::TOWLFlags()
    : UpgradeBusy(0), Terminate(0), Reload(0), Upgrade(0), StartTime(time(nullptr)) {}

TOWLFlags OWLFlags;

TAgentStatus AgentStatus = {
    "VtQxOwStRec",
    1,
    "VT Owlwatch",
    "Linux (Red Hat, Mandrake, SuSE)",
    OWL_VERSION,
    "owl developers",
    0,
    0,
    0,
    0,
    0,
};

Mutex thread_mutex;
Mutex upgrade_mutex;

TAgentStatus ReadAgentStatus() {
    TAgentStatus copy = AgentStatus;
    copy.ActiveConnections = __atomic_load_n(&AgentStatus.ActiveConnections, __ATOMIC_RELAXED);
    copy.OpenedConnections = __atomic_load_n(&AgentStatus.OpenedConnections, __ATOMIC_RELAXED);
    copy.FailedConnections = __atomic_load_n(&AgentStatus.FailedConnections, __ATOMIC_RELAXED);
    return copy;
}
