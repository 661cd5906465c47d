// Actions: "ACT-ExternalCmd" (run a command), "ACT-TCPUDPsend" (send one or
// two messages to a TCP or UDP service) and "ACT-Syslog" (one syslog
// message). Each is off unless its setting enables it. They run on the
// calling session thread, which blocks during the command, the connection,
// the pause and the sends; several actions may run at once.
#pragma once

#include "protocol/owlreply.h"
#include "protocol/requestparams.h"

// 1 command line, 2 working folder, 3 a decimal number (unused), 4 time-out
// in ms (0 none, -1 no wait).
void ProcessAct_ExternalCmd(const RequestParams& params, OWLReply& reply);
// 1 host, 2 port, 3 "0" for TCP (else UDP), 4 first message, 5 pause in
// seconds, 6 second message (empty: none).
void ProcessAct_TCPSend(const RequestParams& params, OWLReply& reply);
// 1 syslog server, 2 port, 3 facility, 4 severity 0..7, 5 message.
void ProcessAct_Syslog(const RequestParams& params, OWLReply& reply);
