#include "handlers/manage.h"

#include <string.h>
#include <sys/utsname.h>

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

void AddKeyValue(OWLReply& reply, const char* key, const String& value, int encode) {
    String line(key);
    line += "=";
    line += encode ? owlEncodeStrings(value) : value;
    reply.AddStringParam(line, VALUE_AS_IS);
}

void AddOffered(OWLReply& reply, const TOWLSettings& settings, const char* availableKey,
                const char* enabledKey, SettingShown list) {
    String names, enabled;
    for (const TSettingKey* row : Shown(list)) {
        names += row->offered;
        names += "\r\n";
        enabled += Bool(settings.*(row->number));
    }
    AddKeyValue(reply, availableKey, names, 1);
    AddKeyValue(reply, enabledKey, enabled, 0);
}

// The "GetInfo" lines from the settings in force.
void AddStatus(OWLReply& reply, const TOWLSettings& settings) {
    TAgentStatus status = ReadAgentStatus();
    reply.SetResult(OWL_OK);
    reply.AddVarParams("%s=%s", "AgentName", status.AgentName);
    reply.AddVarParams("%s=%s", "AgentPlatform", status.AgentPlatform);
    reply.AddVarParams("%s=%s", "AgentVersion", status.AgentVersion);
    reply.AddVarParams("%s=%s", "AgentDeveloper", status.AgentDeveloper);
    reply.AddVarParams("Service=%s", Bool(status.Service));
    reply.AddVarParams("Active=%s", Bool(status.Active));
    reply.AddVarParams("ActiveConnections=%d", status.ActiveConnections);
    reply.AddVarParams("OpenedConnections=%d", status.OpenedConnections);
    reply.AddVarParams("FailedConnections=%d", status.FailedConnections);
    AddOffered(reply, settings, "Available tests", "Enabled tests", SettingShown::Test);
    reply.AddVarParams("%s=%d", "Port", settings.port);
    reply.AddVarParams("%s=%d", "Timeout", settings.timeout);
    AddKeyValue(reply, "Comment", settings.comment, 0);
    AddOffered(reply, settings, "Available actions", "Enabled actions", SettingShown::Action);
    struct utsname names;
    if (uname(&names) != 0) return;
    AddKeyValue(reply, "HostName", String(names.nodename), 0);
    String os(names.sysname);
    os += " ";
    os += names.release;
    os += " ";
    os += names.version;
    AddKeyValue(reply, "RunningOS", os, 0);
    AddKeyValue(reply, "OSUpdates", String("not implemented"), 0);
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
