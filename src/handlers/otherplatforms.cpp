#include "handlers/otherplatforms.h"

namespace {

void NotApplicable(OWLReply& reply) {
    reply.SetResult(OWL_NOT_SUPPORTED) += "Not applicable for UNIX/Linux";
}

void NotImplemented(OWLReply& reply) {
    reply.SetResult(OWL_NOT_SUPPORTED) += "not implemented yet";
}

}  // namespace

void ProcessTest_DiskSpace(const RequestParams&, OWLReply& reply) { NotApplicable(reply); }
void ProcessTest_Service(const RequestParams&, OWLReply& reply) { NotApplicable(reply); }
void ProcessTest_NTLog(const RequestParams&, OWLReply& reply) { NotApplicable(reply); }
void ProcessTest_Perf(const RequestParams&, OWLReply& reply) { NotApplicable(reply); }
void ProcessInfo_ServicesList(const RequestParams&, OWLReply& reply) { NotApplicable(reply); }
void ProcessInfo_EventLogFiles(const RequestParams&, OWLReply& reply) { NotApplicable(reply); }
void ProcessInfo_EventLogSources(const RequestParams&, OWLReply& reply) { NotApplicable(reply); }

void ProcessInfo_GetDriveList(const RequestParams&, OWLReply& reply) { NotImplemented(reply); }
void ProcessTest_SNMP(const RequestParams&, OWLReply& reply) { NotImplemented(reply); }
void ProcessTest_Script(const RequestParams&, OWLReply& reply) { NotImplemented(reply); }
void ProcessTest_Ping(const RequestParams&, OWLReply& reply) { NotImplemented(reply); }
