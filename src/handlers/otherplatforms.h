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
void ProcessTest_DiskSpace(const RequestParams& params, OWLReply& reply);
void ProcessTest_Service(const RequestParams& params, OWLReply& reply);
void ProcessTest_NTLog(const RequestParams& params, OWLReply& reply);
void ProcessTest_Perf(const RequestParams& params, OWLReply& reply);
void ProcessInfo_ServicesList(const RequestParams& params, OWLReply& reply);
void ProcessInfo_EventLogFiles(const RequestParams& params, OWLReply& reply);
void ProcessInfo_EventLogSources(const RequestParams& params, OWLReply& reply);

// "500" "not implemented yet".
void ProcessInfo_GetDriveList(const RequestParams& params, OWLReply& reply);
void ProcessTest_SNMP(const RequestParams& params, OWLReply& reply);
void ProcessTest_Script(const RequestParams& params, OWLReply& reply);
void ProcessTest_Ping(const RequestParams& params, OWLReply& reply);
