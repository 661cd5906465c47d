// Management handlers, the agent's own commands: "GetInfo" (identity, counters, offered and
// enabled tests), "GetSettings" (the same and the settings a console may
// change) and "SetSettings" (assign settings and write the configuration
// file). They run on session threads; settings are read and assigned under
// the settings lock.
#pragma once

#include <vector>

#include "config/settings.h"
#include "protocol/owlreply.h"
#include "protocol/requestparams.h"

// "0" and "1", indexed by a flag.
extern const char* const BoolConst[2];

// A console sends a few dozen settings at most; a "SetSettings" with more
// lines is refused before any of them is looked at.
const int kMaxSettingLines = 4096;

// One "name=value" line of "SetSettings" that names a known setting.
struct TSettingAssignment {
    const TSettingKey* key;
    String value;
};

// Splits the "SetSettings" lines in one pass into out (lines without "=",
// unknown names and the names accepted for other platforms are dropped).
// 1 when every value may be assigned; 0 with out empty when the request has
// too many lines or a value would strand the agent (a port outside 1 to
// 65535, a time-out that is no whole number from 1 up, an empty password).
int ParseSettingAssignments(const RequestParams& request, std::vector<TSettingAssignment>& out);

void GetAgentStatus(const RequestParams& request, OWLReply& reply);
void GetAgentSettings(const RequestParams& request, OWLReply& reply);
void SetAgentSettings(const RequestParams& request, OWLReply& reply);
