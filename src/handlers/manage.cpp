#include "handlers/manage.h"

#include <stdio.h>
#include <string.h>
#include <sys/utsname.h>
#include <time.h>

#include <algorithm>
#include <vector>

#include "config/settings.h"
#include "runtime/flags.h"
#include "text/codecs.h"

const char* const BoolConst[2] = {"0", "1"};

namespace {

// The rows of the key table shown in list, in their reply order.
std::vector<const TSettingKey*> ShownRows(SettingShown list) {
    std::vector<const TSettingKey*> rows;
    for (int i = 0; i < OWLSettingKeyCount; i++)
        if (OWLSettingKeys[i].shown == list) rows.push_back(&OWLSettingKeys[i]);
    std::sort(rows.begin(), rows.end(), [](const TSettingKey* x, const TSettingKey* y) {
        return x->shownOrder < y->shownOrder;
    });
    return rows;
}

// Made once, on first use (thread-safe), and read-only afterwards.
const std::vector<const TSettingKey*>& Shown(SettingShown list) {
    static const std::vector<const TSettingKey*> tests = ShownRows(SettingShown::Test);
    static const std::vector<const TSettingKey*> actions = ShownRows(SettingShown::Action);
    static const std::vector<const TSettingKey*> managed = ShownRows(SettingShown::Managed);
    return list == SettingShown::Test ? tests : list == SettingShown::Action ? actions : managed;
}

const char* Bool(int flag) { return BoolConst[flag ? 1 : 0]; }

// A "key=value" line written straight into the reply (GetInfo is asked
// often: no formatting buffer and no line of its own).
void AddLine(OWLReply& reply, const char* key, const char* value, int length = -1) {
    reply.CommandSeparatorCheck();
    reply.AddData(key, -1);
    reply.AddChar('=');
    reply.AddData(value, length);
    reply.AddChar('\n');
}

void AddKeyValue(OWLReply& reply, const char* key, const String& value, int encode) {
    const String text = encode ? owlEncodeStrings(value) : value;
    AddLine(reply, key, text.Data(), text.Length());
}

void AddNumberLine(OWLReply& reply, const char* key, int value) {
    char digits[16];
    AddLine(reply, key, digits, snprintf(digits, sizeof digits, "%d", value));
}

// The offered names of a list, each followed by CR LF, escaped: they come
// from the key table, so they are made once.
const String& OfferedNames(SettingShown list) {
    auto make = [](SettingShown l) {
        String names;
        for (const TSettingKey* row : Shown(l)) {
            names += row->offered;
            names += "\r\n";
        }
        return owlEncodeStrings(names);
    };
    static const String tests = make(SettingShown::Test), actions = make(SettingShown::Action);
    return list == SettingShown::Test ? tests : actions;
}

void AddOffered(OWLReply& reply, const TOWLSettings& settings, const char* availableKey,
                const char* enabledKey, SettingShown list) {
    const String& names = OfferedNames(list);
    AddLine(reply, availableKey, names.Data(), names.Length());
    String enabled;
    for (const TSettingKey* row : Shown(list)) enabled += Bool(settings.*(row->number));
    AddLine(reply, enabledKey, enabled.Data(), enabled.Length());
}

// The host's names. uname is a system call; the host name may change at any
// time, so a thread keeps its answer only for the second it was asked in.
const struct utsname* HostNames() {
    thread_local struct utsname names;
    thread_local time_t asked = 0;
    thread_local bool known = false;
    time_t now = time(nullptr);
    if (now != asked) {
        known = uname(&names) == 0;
        asked = now;
    }
    return known ? &names : nullptr;
}

// The "GetInfo" lines from the settings in force.
void AddStatus(OWLReply& reply, const TOWLSettings& settings) {
    TAgentStatus status = ReadAgentStatus();
    reply.SetResult(OWL_OK);
    AddLine(reply, "AgentName", status.AgentName);
    AddLine(reply, "AgentPlatform", status.AgentPlatform);
    AddLine(reply, "AgentVersion", status.AgentVersion);
    AddLine(reply, "AgentDeveloper", status.AgentDeveloper);
    AddLine(reply, "Service", Bool(status.Service));
    AddLine(reply, "Active", Bool(status.Active));
    AddNumberLine(reply, "ActiveConnections", status.ActiveConnections);
    AddNumberLine(reply, "OpenedConnections", status.OpenedConnections);
    AddNumberLine(reply, "FailedConnections", status.FailedConnections);
    AddOffered(reply, settings, "Available tests", "Enabled tests", SettingShown::Test);
    AddNumberLine(reply, "Port", settings.port);
    AddNumberLine(reply, "Timeout", settings.timeout);
    AddLine(reply, "Comment", settings.comment.Data(), settings.comment.Length());
    AddOffered(reply, settings, "Available actions", "Enabled actions", SettingShown::Action);
    const struct utsname* names = HostNames();
    if (names == nullptr) return;
    AddLine(reply, "HostName", names->nodename);
    reply.CommandSeparatorCheck();
    reply.AddData("RunningOS=", -1);
    for (const char* part : {names->sysname, " ", names->release, " ", names->version})
        reply.AddData(part, -1);
    reply.AddChar('\n');
    AddLine(reply, "OSUpdates", "not implemented");
}

// The "name=value" lines of the request, split in one pass, that name a
// known setting (names match exactly; lines without "=", unknown names and
// the few names accepted for other platforms are dropped). 0 when the
// request has too many lines.
int SplitAssignments(const RequestParams& request, std::vector<TSettingAssignment>& out) {
    if (request.GetParamsCount() > kMaxSettingLines) return 0;
    const char* p = request.Text().Data();
    const char* end = p + request.Text().Length();
    while (p < end) {
        const char* lf = (const char*)memchr(p, '\n', end - p);
        if (lf == nullptr) break;  // text after the last line end is no parameter
        String line;
        line.CopyData(p, (int)(lf - p));
        p = lf + 1;
        int eq = line.Trim().Pos('=');
        if (eq == 0) continue;
        String name = line.Copy(1, eq - 1);
        const TSettingKey* key = FindRemoteSetting(name.Trim());
        if (key == nullptr) continue;
        String value = line.Copy(eq + 1, line.Length());
        out.push_back({key, value.Trim()});
    }
    return 1;
}

// A whole number of digits only, from low up to high.
bool WholeNumberIn(const String& text, long low, long high) {
    if (text.Length() == 0 || text.Length() > 10) return false;
    long n = 0;
    for (int i = 1; i <= text.Length(); i++) {
        if (text[i] < '0' || text[i] > '9') return false;
        n = n * 10 + (text[i] - '0');
    }
    return n >= low && n <= high;
}

// The values that would leave the agent unreachable or unable to start
// again are refused: the key table bounds the port, the time-out (a whole
// number of milliseconds) and the password (not empty).
bool Acceptable(const TSettingAssignment& a) {
    const TSettingKey& key = *a.key;
    if (key.low == 0 && key.high == 0) return true;
    if (key.kind == SettingKind::Number) return WholeNumberIn(a.value, key.low, key.high);
    return a.value.Length() >= key.low && a.value.Length() <= key.high;
}

}  // namespace

void GetAgentStatus(const RequestParams&, OWLReply& reply) { AddStatus(reply, CurrentSettings()); }

void GetAgentSettings(const RequestParams&, OWLReply& reply) {
    const TOWLSettings& settings = CurrentSettings();
    AddStatus(reply, settings);
    // Flags travel as "0"/"1" and the filter list with its line breaks
    // escaped.
    for (const TSettingKey* key : Shown(SettingShown::Managed))
        AddKeyValue(reply, key->remote, SettingValue(settings, *key),
                    key->kind == SettingKind::List);
}

int ParseSettingAssignments(const RequestParams& request, std::vector<TSettingAssignment>& out) {
    out.clear();
    bool ok = SplitAssignments(request, out);
    for (const TSettingAssignment& a : out) ok = ok && Acceptable(a);
    if (!ok) out.clear();
    return ok ? 1 : 0;
}

void SetAgentSettings(const RequestParams& request, OWLReply& reply) {
    std::vector<TSettingAssignment> assignments;
    if (!ParseSettingAssignments(request, assignments)) {
        reply.SetResult(OWL_BAD_PARAMETER) += "Wrong parameter";
        return;
    }
    // optmutex across assignment and save: a reload cannot slip in between
    // and write the old values back.
    MutexLock hold(optmutex);
    {
        TSettingsWriteLock lock;
        for (const TSettingAssignment& a : assignments)
            SetSettingFromRemote(OWLSettings, *a.key, a.value);
    }
    String err;
    if (OWLSettings.SaveOptionsHeld(err))
        reply.SetResult(OWL_OK);
    else
        reply.SetResult(OWL_AGENT_FAILED) += err;
}
