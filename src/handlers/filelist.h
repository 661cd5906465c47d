// The file list and the commands this platform does not offer:
// "GetFilesList" lists one folder's sub-folders and files for the console's
// file picker; "TEST-DiskSpace", "TEST-Service", "TEST-NTLog",
// "TEST-PerfCounter", "GetServicesList", "GetEventLogFiles" and
// "GetEventLogSources" answer "Not applicable for UNIX/Linux";
// "GetDriveList", "TEST-SNMP", "TEST-Script" and "TEST-Ping" answer "not
// implemented yet". The refusals read nothing and consult no setting. All
// run on session threads, several at once, with only local state.
#pragma once

#include "fs/filesearch.h"
#include "protocol/owlreply.h"
#include "protocol/qxrequest.h"

// Appends the lines of one listed entry to reply: its name (not encoded),
// its attribute bits, then its size if withSize, the status-change time of
// folder + name (0 when the status call fails) if withChangeTime, and its
// modification time if withModifyTime. rec is a copy: the caller's search
// is neither advanced nor closed.
void AddFileStr(OWLReply& reply, String folder, TSearchRec rec, int withSize, int withChangeTime,
                int withModifyTime);

void ProcessInfo_GetFileList(const QXRequest& params, OWLReply& reply);

// "500" "Not applicable for UNIX/Linux".
void ProcessTest_DiskSpace(const QXRequest& params, OWLReply& reply);
void ProcessTest_Service(const QXRequest& params, OWLReply& reply);
void ProcessTest_NTLog(const QXRequest& params, OWLReply& reply);
void ProcessTest_Perf(const QXRequest& params, OWLReply& reply);
void ProcessInfo_ServicesList(const QXRequest& params, OWLReply& reply);
void ProcessInfo_EventLogFiles(const QXRequest& params, OWLReply& reply);
void ProcessInfo_EventLogSources(const QXRequest& params, OWLReply& reply);

// "500" "not implemented yet".
void ProcessInfo_GetDriveList(const QXRequest& params, OWLReply& reply);
void ProcessTest_SNMP(const QXRequest& params, OWLReply& reply);
void ProcessTest_Script(const QXRequest& params, OWLReply& reply);
void ProcessTest_Ping(const QXRequest& params, OWLReply& reply);
