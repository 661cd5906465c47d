#include "handlers/manage.h"

#include <string.h>
#include <sys/utsname.h>

#include <vector>

#include "config/settings.h"
#include "runtime/flags.h"
#include "text/codecs.h"

const char* const BoolConst[2] = {"0", "1"};

namespace {

struct Offered {
    const char* name;
    int TOWLSettings::*flag;
};

// The tests and actions the agent offers, in reply order.
const Offered kTests[] = {
    {"TCP", &TOWLSettings::tcp},
    {"UDP", &TOWLSettings::udp},
    {"UNC", &TOWLSettings::unc},
    {"Folder Size", &TOWLSettings::foldersize},
    {"Count Files", &TOWLSettings::countfiles},
    {"File Availability", &TOWLSettings::fileexists},
    {"File Integrity", &TOWLSettings::filecrc},
    {"File Compare", &TOWLSettings::comparefiles},
    {"Text Log", &TOWLSettings::textlog},
    {"Process", &TOWLSettings::process},
    {"CPU Usage", &TOWLSettings::cpuusage},
    {"External", &TOWLSettings::external},
    {"Shell Script", &TOWLSettings::shellscript},
};

const Offered kActions[] = {
    {"Execute external command", &TOWLSettings::executeaction},
    {"TCP/UDP send", &TOWLSettings::tcpudpaction},
    {"Syslog", &TOWLSettings::syslogaction},
};

const char* Bool(int flag) { return BoolConst[flag ? 1 : 0]; }

void AddKeyValue(OWLReply& reply, const char* key, const String& value, int encode) {
    String line(key);
    line += "=";
    line += encode ? owlEncodeStrings(value) : value;
    reply.AddStringParam(line, VALUE_AS_IS);
}

template <size_t N>
void AddOffered(OWLReply& reply, const TOWLSettings& settings, const char* availableKey,
                const char* enabledKey, const Offered (&list)[N]) {
    String names, enabled;
    for (const Offered& o : list) {
        names += o.name;
        names += "\r\n";
        enabled += Bool(settings.*(o.flag));
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
    AddOffered(reply, settings, "Available tests", "Enabled tests", kTests);
    reply.AddVarParams("%s=%d", "Port", settings.port);
    reply.AddVarParams("%s=%d", "Timeout", settings.timeout);
    AddKeyValue(reply, "Comment", settings.comment, 0);
    AddOffered(reply, settings, "Available actions", "Enabled actions", kActions);
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

// The settings "GetSettings" adds to the "GetInfo" lines, in reply order,
// by their remote names in the key table. Flags travel as BoolConst texts
// and the filter list with its line breaks escaped.
const char* const kManagedSettings[] = {
    "LogOkConn",    "LogBadConn",    "OkLogFile",    "BadLogFile",   "Password",   "IPFiltering",
    "IPFilterAddr", "IPFilterMarks", "AllowUpdates", "AllowRManage", "UpdateAddr", "ManageAddr",
};

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
// again: a port outside 1..65535, a time-out that is no whole number of
// milliseconds, an empty password.
bool Acceptable(const TSettingAssignment& a) {
    if (a.key->number == &TOWLSettings::port) return WholeNumberIn(a.value, 1, 65535);
    if (a.key->number == &TOWLSettings::timeout) return WholeNumberIn(a.value, 1, 2147483647L);
    if (a.key->text == &TOWLSettings::password) return a.value.Length() > 0;
    return true;
}

}  // namespace

void GetInfo(const RequestParams&, OWLReply& reply) { AddStatus(reply, CurrentSettings()); }

void GetSettings(const RequestParams&, OWLReply& reply) {
    const TOWLSettings& settings = CurrentSettings();
    AddStatus(reply, settings);
    for (const char* name : kManagedSettings) {
        const TSettingKey* key = FindRemoteSetting(String(name));
        if (key == nullptr) continue;
        AddKeyValue(reply, name, SettingValue(settings, *key), key->kind == SettingKind::List);
    }
}

int ParseSettingAssignments(const RequestParams& request, std::vector<TSettingAssignment>& out) {
    out.clear();
    bool ok = SplitAssignments(request, out);
    for (const TSettingAssignment& a : out) ok = ok && Acceptable(a);
    if (!ok) out.clear();
    return ok ? 1 : 0;
}

void SetSettings(const RequestParams& request, OWLReply& reply) {
    std::vector<TSettingAssignment> assignments;
    if (!ParseSettingAssignments(request, assignments)) {
        reply.SetResult(OWL_BAD_PARAMETER) += "Wrong parameter";
        return;
    }
    // optmutex across assignment and save: a reload cannot slip in between
    // and write the old values back.
    std::lock_guard<std::mutex> hold(optmutex);
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
