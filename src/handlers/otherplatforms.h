// The commands of other platforms, which this one refuses with "500":
// "TEST-DiskSpace", "TEST-Service", "TEST-NTLog", "TEST-PerfCounter",
// "GetServicesList", "GetEventLogFiles" and "GetEventLogSources" answer "Not
// applicable for UNIX/Linux"; "GetDriveList", "TEST-SNMP", "TEST-Script" and
// "TEST-Ping" answer "not implemented yet". The refusals read nothing and
// consult no setting: any thread, any number at once.
#pragma once

#include "protocol/owlreply.h"
#include "protocol/requestparams.h"

// "500" "Not applicable for UNIX/Linux".
void TestDiskSpace(const RequestParams& params, OWLReply& reply);
void TestService(const RequestParams& params, OWLReply& reply);
void TestNTLog(const RequestParams& params, OWLReply& reply);
void TestPerfCounter(const RequestParams& params, OWLReply& reply);
void GetServicesList(const RequestParams& params, OWLReply& reply);
void GetEventLogFiles(const RequestParams& params, OWLReply& reply);
void GetEventLogSources(const RequestParams& params, OWLReply& reply);

// "500" "not implemented yet".
void GetDriveList(const RequestParams& params, OWLReply& reply);
void TestSNMP(const RequestParams& params, OWLReply& reply);
void TestScript(const RequestParams& params, OWLReply& reply);
void TestPing(const RequestParams& params, OWLReply& reply);
