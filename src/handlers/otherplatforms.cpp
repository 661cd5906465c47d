#include "handlers/otherplatforms.h"

namespace {

void NotApplicable(OWLReply& reply) {
    reply.SetResult(OWL_NOT_SUPPORTED) += "Not applicable for UNIX/Linux";
}

void NotImplemented(OWLReply& reply) {
    reply.SetResult(OWL_NOT_SUPPORTED) += "not implemented yet";
}

}  // namespace

void ProcessTest_DiskSpace(const QXRequest&, OWLReply& reply) { NotApplicable(reply); }
void ProcessTest_Service(const QXRequest&, OWLReply& reply) { NotApplicable(reply); }
void ProcessTest_NTLog(const QXRequest&, OWLReply& reply) { NotApplicable(reply); }
void ProcessTest_Perf(const QXRequest&, OWLReply& reply) { NotApplicable(reply); }
void ProcessInfo_ServicesList(const QXRequest&, OWLReply& reply) { NotApplicable(reply); }
void ProcessInfo_EventLogFiles(const QXRequest&, OWLReply& reply) { NotApplicable(reply); }
void ProcessInfo_EventLogSources(const QXRequest&, OWLReply& reply) { NotApplicable(reply); }

void ProcessInfo_GetDriveList(const QXRequest&, OWLReply& reply) { NotImplemented(reply); }
void ProcessTest_SNMP(const QXRequest&, OWLReply& reply) { NotImplemented(reply); }
void ProcessTest_Script(const QXRequest&, OWLReply& reply) { NotImplemented(reply); }
void ProcessTest_Ping(const QXRequest&, OWLReply& reply) { NotImplemented(reply); }
