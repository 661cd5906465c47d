// TCP and UDP tests: "TEST-TCP" and "TEST-UDP" probe a service from the
// agent's side of the network and report the time of the exchange and what
// came back (at most 8192 bytes). The exchange (net/exchange.h) runs on the
// calling session thread; any number of sessions may probe at once.
#pragma once

#include "protocol/owlreply.h"
#include "protocol/requestparams.h"

// 1 host, 2 port, 3 time-out in ms (0: 120000), 4 data, 5 bytes to receive.
void ProcessTest_TCP(const RequestParams& params, OWLReply& reply);
// 1 host, 2 port, 3 time-out in ms, 4 attempts, 5 data, 6 bytes to receive.
void ProcessTest_UDP(const RequestParams& params, OWLReply& reply);
