#include "handlers/otherplatforms.h"

namespace {

void NotApplicable(OWLReply& reply) {
    reply.SetResult(OWL_NOT_SUPPORTED) += "Not applicable for UNIX/Linux";
}

void NotImplemented(OWLReply& reply) {
    reply.SetResult(OWL_NOT_SUPPORTED) += "not implemented yet";
}

}  // namespace

void TestDiskSpace(const RequestParams&, OWLReply& reply) { NotApplicable(reply); }
void TestService(const RequestParams&, OWLReply& reply) { NotApplicable(reply); }
void TestNTLog(const RequestParams&, OWLReply& reply) { NotApplicable(reply); }
void TestPerfCounter(const RequestParams&, OWLReply& reply) { NotApplicable(reply); }
void GetServicesList(const RequestParams&, OWLReply& reply) { NotApplicable(reply); }
void GetEventLogFiles(const RequestParams&, OWLReply& reply) { NotApplicable(reply); }
void GetEventLogSources(const RequestParams&, OWLReply& reply) { NotApplicable(reply); }

void GetDriveList(const RequestParams&, OWLReply& reply) { NotImplemented(reply); }
void TestSNMP(const RequestParams&, OWLReply& reply) { NotImplemented(reply); }
void TestScript(const RequestParams&, OWLReply& reply) { NotImplemented(reply); }
void TestPing(const RequestParams&, OWLReply& reply) { NotImplemented(reply); }
