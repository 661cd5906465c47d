// Text-log handlers: "TEST-TextLog" (one search string or expression) and
// "TEST-TextLog2" (a main and an optional second filter) watch a log file
// for new matching lines. The console sends the scan state of the previous
// check and receives the new one. They run on session threads, any number
// at once; they read only the "textlog" flag of the settings.
#pragma once

#include "protocol/owlreply.h"
#include "protocol/requestparams.h"

// The reported matching line is cut to this many bytes.
const int kReportedLineLength = 1024;

void ProcessTest_TextLog(const RequestParams& params, OWLReply& reply);
void ProcessTest_TextLog2(const RequestParams& params, OWLReply& reply);
