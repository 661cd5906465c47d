// Management handlers, the agent's own commands: "GetInfo" (identity, counters, offered and
// enabled tests), "GetSettings" (the same and the settings a console may
// change) and "SetSettings" (assign settings and write the configuration
// file). They run on session threads; settings are read and assigned under
// the settings lock.
#pragma once

#include "protocol/owlreply.h"
#include "protocol/qxrequest.h"

// "0" and "1", indexed by a flag.
extern const char* const BoolConst[2];

void GetAgentStatus(const QXRequest& request, OWLReply& reply);
void GetAgentSettings(const QXRequest& request, OWLReply& reply);
void SetAgentSettings(const QXRequest& request, OWLReply& reply);
