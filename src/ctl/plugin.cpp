#include "ctl/plugin.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>

#include "protocol/client.h"
#include "text/codecs.h"

namespace {

long long NowMs() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (long long)ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
}

std::string Trim(const std::string& s) {
    size_t a = s.find_first_not_of(" \t"), b = s.find_last_not_of(" \t");
    return a == std::string::npos ? "" : s.substr(a, b - a + 1);
}

// A decimal number as a range bound: optional sign, digits, optional
// fraction; nothing else (no exponent, no "inf").
bool ParseBound(const std::string& s, double* value) {
    size_t i = (!s.empty() && (s[0] == '-' || s[0] == '+')) ? 1 : 0;
    size_t digits = 0, dots = 0;
    for (size_t j = i; j < s.size(); j++) {
        if (s[j] == '.')
            dots++;
        else if (s[j] >= '0' && s[j] <= '9')
            digits++;
        else
            return false;
    }
    if (digits == 0 || dots > 1) return false;
    *value = strtod(s.c_str(), nullptr);
    return true;
}

}  // namespace

const char* StateName(int state) {
    static const char* const kNames[] = {"OK", "WARNING", "CRITICAL", "UNKNOWN"};
    return state >= 0 && state <= 3 ? kNames[state] : "UNKNOWN";
}

bool ParseRange(const std::string& text, Range* range) {
    Range r;
    r.text = text;
    std::string s = text;
    if (!s.empty() && s[0] == '@') {
        r.inside = true;
        s.erase(0, 1);
    }
    size_t colon = s.find(':');
    std::string start = colon == std::string::npos ? "" : s.substr(0, colon);
    std::string end = colon == std::string::npos ? s : s.substr(colon + 1);
    if (start.empty() && end.empty()) return false;
    if (start == "~")
        r.lowInfinite = true;
    else if (!start.empty() && !ParseBound(start, &r.low))
        return false;
    if (end.empty() && colon != std::string::npos)
        r.highInfinite = true;
    else if (!ParseBound(end, &r.high))
        return false;
    if (!r.lowInfinite && !r.highInfinite && r.low > r.high) return false;
    *range = r;
    return true;
}

bool RangeAlerts(const Range& r, double value) {
    bool within = (r.lowInfinite || value >= r.low) && (r.highInfinite || value <= r.high);
    return r.inside ? within : !within;
}

Range ScaleRange(const Range& range, double factor) {
    Range r = range;
    r.low *= factor;
    r.high *= factor;
    r.text = r.inside ? "@" : "";
    if (r.lowInfinite)
        r.text += "~:";
    else if (r.low != 0 || r.highInfinite)
        r.text += FormatNumber(r.low) + ":";
    if (!r.highInfinite) r.text += FormatNumber(r.high);
    return r;
}

int Verdict(const Thresholds& t, double value) {
    if (t.hasCrit && RangeAlerts(t.crit, value)) return PLUGIN_CRITICAL;
    if (t.hasWarn && RangeAlerts(t.warn, value)) return PLUGIN_WARNING;
    return PLUGIN_OK;
}

std::string FormatNumber(double value) {
    char buf[64];
    if (value == (double)(long long)value && value > -9e18 && value < 9e18) {
        snprintf(buf, sizeof buf, "%lld", (long long)value);
        return buf;
    }
    snprintf(buf, sizeof buf, "%.4f", value);
    std::string s = buf;
    while (s.back() == '0') s.pop_back();
    if (s.back() == '.') s.pop_back();
    return s;
}

std::string FormatPerf(const PerfValue& p) {
    std::string label;
    for (char ch : p.label) label += ch == '\'' ? std::string("''") : std::string(1, ch);
    std::string out = "'" + label + "'=" + FormatNumber(p.value) + p.uom + ";" + p.warn + ";" +
                      p.crit + ";" + p.min + ";" + p.max;
    while (out.back() == ';') out.pop_back();
    return out;
}

AgentReply SplitAgentReply(int result, const std::string& text, const std::string& error) {
    AgentReply r;
    r.result = result;
    r.error = error;
    if (result != OWL_REPLY) return r;
    std::string all = text;
    if (!all.empty() && all.back() == '\r') all.pop_back();
    if (!all.empty() && all.back() == '\n') all.pop_back();
    size_t nl = all.find('\n');
    r.status = all.substr(0, nl);
    while (nl != std::string::npos) {
        size_t next = all.find('\n', nl + 1);
        std::string line = all.substr(nl + 1, next == std::string::npos ? next : next - nl - 1);
        String decoded = owlDecodeStrings(line.data(), (int)line.size());
        r.values.push_back(std::string(decoded.Data() ? decoded.Data() : "", decoded.Length()));
        nl = next;
    }
    return r;
}

// ---- The checks ----

namespace {

struct CheckEntry;

// What a check works with: the options, the way to the agent, the
// thresholds and the time left.
struct Ctx {
    const PluginOptions& o;
    const Asker& ask;
    const CheckEntry& entry;
    Thresholds t;
    long long deadline;
    std::string Opt(const char* name) const {
        auto it = o.named.find(name);
        return it == o.named.end() ? "" : it->second;
    }
    bool Has(const char* name) const { return o.named.count(name) > 0; }
    int LeftMs() const { return (int)std::max(1LL, deadline - NowMs()); }
    // A probe's own time-out on the agent, less than ours by margin (the
    // agent looks at a program once a second).
    int ProbeMs(int margin = 1000) const { return std::max(1000, o.timeoutSec * 1000 - margin); }
    std::string Arg(size_t i) const { return i < o.args.size() ? o.args[i] : ""; }
};

using Build = bool (*)(const Ctx&, std::vector<std::string>*, std::string*);
using Judge = void (*)(const Ctx&, const AgentReply&, PluginResult*);
using Run = PluginResult (*)(Ctx&);

struct CheckEntry {
    const char* name;
    const char* command;
    const char* enableKey;  // the agent's configuration key that switches it on
    const char* synopsis;
    const char* options;  // check options, "name=" when it takes a value
    int minArgs, maxArgs;
    bool thresholds;
    const char* defaultCrit;
    int failState;  // the state of a "301" reply: the check could not be done
    Build build;
    Judge judge;
    Run run;  // a check of its own kind (the log check), else null
};

PluginResult Unknown(const std::string& text) {
    PluginResult r;
    r.state = PLUGIN_UNKNOWN;
    r.text = text;
    return r;
}

// What the check looks at, as its texts begin: "PATH: ", "HOST:PORT: " or "".
std::string Target(const Ctx& c) {
    if (c.o.args.empty()) return "";
    return c.o.args[0] + (c.entry.minArgs == 2 && c.entry.run == nullptr ? ":" + c.Arg(1) : "") +
           ": ";
}

// True with *out set when r carries no "200" answer to judge.
bool Unanswered(const Ctx& c, const AgentReply& r, PluginResult* out) {
    const std::string where = c.o.host + ":" + std::to_string(c.o.port);
    std::string text;
    for (const std::string& v : r.values) text += (text.empty() ? "" : " ") + v;
    if (r.result == OWL_CONNECT_FAILED)
        *out = Unknown("cannot connect to " + where + ": " + r.error);
    else if (r.result == OWL_TIMED_OUT)
        *out = Unknown("no reply from " + where + " within the time-out");
    else if (r.result != OWL_REPLY)
        *out = Unknown("no reply from " + where +
                       ": the agent closed the connection (wrong password, or this address "
                       "is not allowed by the agent's filter)");
    else if (r.status == "200")
        return false;
    else if (r.status == "600")
        *out = Unknown(std::string("the check is switched off in the agent's configuration (") +
                       c.entry.enableKey + "=0)");
    else if (r.status == "501")
        *out = Unknown("the agent refused the parameters: " + text);
    else if (r.status == "500")
        *out = Unknown("the agent does not support " + std::string(c.entry.command) + ": " + text);
    else if (r.status == "301")  // the check ran and could not be done
        *out = {c.entry.failState, Target(c) + (r.values.empty() ? "" : r.values[0]), {}, {}};
    else
        *out = Unknown("status " + r.status + ": " + text);
    return true;
}

// Sets the state from the thresholds on value (in the thresholds' unit)
// and adds its performance data, scale times value in uom.
void Measure(const Ctx& c, PluginResult* out, const std::string& label, double value,
             const char* uom, double scale = 1, const std::string& min = "",
             const std::string& max = "") {
    out->state = std::max(out->state == PLUGIN_UNKNOWN ? 0 : out->state, Verdict(c.t, value));
    // The ranges as the user wrote them, or in the unit of the value.
    auto shown = [&](bool has, const Range& r) {
        return !has ? "" : scale == 1 ? r.text : ScaleRange(r, scale).text;
    };
    PerfValue p{
        label, value * scale, uom, shown(c.t.hasWarn, c.t.warn), shown(c.t.hasCrit, c.t.crit), min,
        max};
    out->perf.push_back(p);
}

std::string Human(double bytes) {
    static const char* const kUnits[] = {"B", "KiB", "MiB", "GiB", "TiB", "PiB"};
    int u = 0;
    while (bytes >= 1024 && u < 5) bytes /= 1024, u++;
    char buf[64];
    snprintf(buf, sizeof buf, u ? "%.1f %s" : "%.0f %s", bytes, kUnits[u]);
    return buf;
}

// The factor of --units (1 without it), or 0 for an unknown unit.
double UnitFactor(const Ctx& c) {
    static const char* const kUnits[] = {"B", "KiB", "MiB", "GiB", "TiB"};
    if (!c.Has("units")) return 1;
    for (int i = 0; i < 5; i++)
        if (c.Opt("units") == kUnits[i]) return (double)(1LL << (10 * i));
    return 0;
}

double Num(const AgentReply& r, size_t i) {
    return i < r.values.size() ? strtod(r.values[i].c_str(), nullptr) : 0;
}

bool Units(const Ctx& c, std::vector<std::string>*, std::string* error) {
    if (UnitFactor(c) == 0) *error = "--units takes B, KiB, MiB, GiB or TiB";
    return error->empty();
}

bool BuildDisk(const Ctx& c, std::vector<std::string>* p, std::string* error) {
    *p = {c.Arg(0)};
    return Units(c, p, error);
}

void JudgeDisk(const Ctx& c, const AgentReply& r, PluginResult* out) {
    double total = Num(r, 0), avail = Num(r, 2);
    double pct = total > 0 ? avail * 100 / total : 0;
    pct = (long long)(pct * 100 + 0.5) / 100.0;
    out->text = c.Arg(0) + ": " + FormatNumber(pct) + "% free (" + Human(avail) + " of " +
                Human(total) + ")";
    if (c.Has("units")) {
        Measure(c, out, "free", avail / UnitFactor(c), "B", UnitFactor(c), "0",
                FormatNumber(total));
        out->perf.push_back({"free_pct", pct, "%", "", "", "0", "100"});
    } else {
        out->perf.push_back({"free", avail, "B", "", "", "0", FormatNumber(total)});
        Measure(c, out, "free_pct", pct, "%", 1, "0", "100");
    }
}

bool BuildFolder(const Ctx& c, std::vector<std::string>* p, std::string* error) {
    std::string path = c.Arg(0);
    if (c.Has("mask")) path += "/" + c.Opt("mask");
    *p = {path, c.Has("no-recurse") ? "0" : "1"};
    return Units(c, p, error);
}

void JudgeFolder(const Ctx& c, const AgentReply& r, PluginResult* out) {
    double size = Num(r, 0);
    out->text = c.Arg(0) + (c.Has("mask") ? " (" + c.Opt("mask") + ")" : "") + ": " + Human(size);
    Measure(c, out, "size", size / UnitFactor(c), "B", UnitFactor(c), "0");
}

// The file count's mode option: older, newer, bigger or smaller.
const char* const kCountModes[] = {"older", "newer", "bigger", "smaller"};

bool BuildFiles(const Ctx& c, std::vector<std::string>* p, std::string* error) {
    int mode = 0, given = 0;
    std::string value = "0";
    for (int i = 0; i < 4; i++)
        if (c.Has(kCountModes[i])) mode = i + 1, given++, value = c.Opt(kCountModes[i]);
    if (given > 1) *error = "give one of --older, --newer, --bigger and --smaller";
    double v = 0;
    if (!ParseBound(value, &v) || value.find('.') != std::string::npos || v < 0 || v > 2e9)
        *error = "the files check takes a whole number of minutes or bytes";
    *p = {c.Arg(0), c.Has("mask") ? c.Opt("mask") : "*", c.Has("recurse") ? "1" : "0",
          std::to_string(mode), value};
    return error->empty();
}

void JudgeFiles(const Ctx& c, const AgentReply& r, PluginResult* out) {
    static const char* const kWhat[] = {"", "older than %s min", "newer than %s min",
                                        "bigger than %s B", "smaller than %s B"};
    double n = Num(r, 0);
    out->text = FormatNumber(n) + " files";
    for (int i = 0; i < 4; i++)
        if (c.Has(kCountModes[i])) {
            char buf[128];
            snprintf(buf, sizeof buf, kWhat[i + 1], c.Opt(kCountModes[i]).c_str());
            out->text += std::string(" ") + buf;
        }
    out->text += " in " + c.Arg(0) + " (" + (c.Has("mask") ? c.Opt("mask") : "*") + ")";
    Measure(c, out, "files", n, "", 1, "0");
}

bool BuildPath(const Ctx& c, std::vector<std::string>* p, std::string*) {
    *p = {c.Arg(0)};
    return true;
}

void JudgeFile(const Ctx& c, const AgentReply& r, PluginResult* out) {
    double size = Num(r, 0), age = Num(r, 5);
    std::string path = r.values.size() > 3 ? r.values[3] : c.Arg(0);
    out->text = path + ": " + Human(size) + ", modified " + FormatNumber(age) + " min ago";
    Measure(c, out, "age", age, "s", 60);
    Ctx sizes = c;
    sizes.t = Thresholds();
    ParseRange(c.Opt("size-w"), &sizes.t.warn);
    ParseRange(c.Opt("size-c"), &sizes.t.crit);
    sizes.t.hasWarn = c.Has("size-w");
    sizes.t.hasCrit = c.Has("size-c");
    Measure(sizes, out, "size", size, "B", 1, "0");
}

bool BuildCrc(const Ctx& c, std::vector<std::string>* p, std::string* error) {
    std::string hex = c.Opt("expect");
    if (hex.compare(0, 2, "0x") == 0 || hex.compare(0, 2, "0X") == 0) hex.erase(0, 2);
    if (hex.empty() || hex.size() > 8 ||
        hex.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos)
        *error = "the crc check needs --expect HEX (at most 8 hex digits)";
    *p = {c.Arg(0)};
    return error->empty();
}

void JudgeCrc(const Ctx& c, const AgentReply& r, PluginResult* out) {
    char got[16], want[16];
    snprintf(got, sizeof got, "0x%08llX", (unsigned long long)Num(r, 0));
    std::string hex = c.Opt("expect");
    snprintf(want, sizeof want, "0x%08lX", strtoul(hex.c_str(), nullptr, 16));
    bool same = strcmp(got, want) == 0;
    out->state = same ? PLUGIN_OK : PLUGIN_CRITICAL;
    out->text =
        c.Arg(0) + ": CRC " + got + (same ? " as expected" : " differs from " + std::string(want));
}

// The agent splits a command line at blanks and takes '...' or "..." as one
// argument, without escapes: each argument quoted so that it arrives whole.
bool QuoteArgument(const std::string& a, std::string* out) {
    if (a.find_first_of("\r\n") != std::string::npos) return false;
    if (!a.empty() && a.find_first_of(" \t") == std::string::npos && a[0] != '\'' && a[0] != '"')
        return *out += a, true;
    const char* quote = a.find('\'') == std::string::npos ? "'" : "\"";
    if (a.find(*quote) != std::string::npos) return false;
    *out += quote + a + quote;
    return true;
}

bool BuildProgram(const Ctx& c, std::vector<std::string>* p, std::string* error) {
    std::string line;
    for (size_t i = 0; i < c.o.args.size() && error->empty(); i++) {
        if (i) line += ' ';
        if (!QuoteArgument(c.o.args[i], &line))
            *error = "argument " + std::to_string(i + 1) + " cannot be passed whole to the agent";
    }
    if (c.o.args.size() > 23 || line.size() > 1000)
        *error = "the agent takes at most 23 arguments and about 1000 bytes";
    std::string ms = c.Has("timeout-ms") ? c.Opt("timeout-ms") : std::to_string(c.ProbeMs(3000));
    double v = 0;
    if (!ParseBound(ms, &v) || ms.find('.') != std::string::npos || v < 1 || v > 86400000)
        *error = "--timeout-ms takes a whole number of milliseconds";
    *p = {line, "", "", ms};
    return error->empty();
}

void JudgeProgram(const Ctx& c, const AgentReply& r, PluginResult* out) {
    int code = (int)Num(r, 0);
    std::vector<std::string> params;
    std::string error;
    BuildProgram(c, &params, &error);
    out->text = params[0] + " exited with " + std::to_string(code);
    if (c.t.hasWarn || c.t.hasCrit) return Measure(c, out, "exit", code, "", 1, "0");
    out->state = code >= 0 && code <= 2 ? code : PLUGIN_UNKNOWN;
    out->perf.push_back({"exit", (double)code, "", "", "", "0", ""});
}

// "\r", "\n", "\t" and "\\" in --send and --expect.
std::string Unescape(const std::string& s) {
    std::string out;
    for (size_t i = 0; i < s.size(); i++) {
        const char* esc = i + 1 < s.size() && s[i] == '\\' ? strchr("rnt\\", s[i + 1]) : nullptr;
        if (esc) out += "\r\n\t\\"[esc - "rnt\\"], i++;
        if (!esc) out += s[i];
    }
    return out;
}

bool Port(const Ctx& c, std::string* error) {
    double v = 0;
    if (!ParseBound(c.Arg(1), &v) || v < 1 || v > 65535 || c.Arg(1).find('.') != std::string::npos)
        *error = "the port must be a number from 1 to 65535";
    return error->empty();
}

bool BuildTcp(const Ctx& c, std::vector<std::string>* p, std::string* error) {
    *p = {c.Arg(0), c.Arg(1), std::to_string(c.ProbeMs()), Unescape(c.Opt("send")),
          c.Has("expect") ? "8192" : "0"};
    return Port(c, error);
}

bool BuildUdp(const Ctx& c, std::vector<std::string>* p, std::string* error) {
    if (c.Opt("send").empty()) *error = "the udp check needs --send S";
    *p = {c.Arg(0),
          c.Arg(1),
          std::to_string(c.ProbeMs()),
          "1",
          Unescape(c.Opt("send")),
          c.Has("expect") ? "8192" : "0"};
    return Port(c, error) && error->empty();
}

void JudgeProbe(const Ctx& c, const AgentReply& r, PluginResult* out) {
    double seconds = Num(r, 0) / 1000;
    std::string got = r.values.size() > 1 ? r.values[1] : "";
    out->text = c.Arg(0) + ":" + c.Arg(1) + " answered in " + FormatNumber(seconds) + " s";
    Measure(c, out, "time", seconds, "s", 1, "0");
    if (c.Has("expect") && got.find(Unescape(c.Opt("expect"))) == std::string::npos) {
        out->state = PLUGIN_CRITICAL;
        out->text += ", without the expected text";
        out->details.push_back("received: " + got.substr(0, 200));
    }
}

bool BuildNone(const Ctx&, std::vector<std::string>* p, std::string*) {
    p->clear();
    return true;
}

void JudgeCpu(const Ctx& c, const AgentReply& r, PluginResult* out) {
    double pct = Num(r, 0);
    out->text = "CPU usage " + FormatNumber(pct) + "%";
    Measure(c, out, "cpu", pct, "%", 1, "0", "100");
}

bool BuildProcess(const Ctx& c, std::vector<std::string>* p, std::string* error) {
    // Agents of old passed the name to a shell: only a plain name goes out.
    if (c.Arg(0).find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ"
                                   "0123456789._-+:@/") != std::string::npos)
        *error = "a process name holds only letters, digits and . _ - + : @ /";
    *p = {"", c.Arg(0)};
    return error->empty();
}

void JudgeProcess(const Ctx& c, const AgentReply& r, PluginResult* out) {
    double n = Num(r, 0);
    out->text = FormatNumber(n) + " processes named " + c.Arg(0);
    Measure(c, out, "processes", n, "", 1, "0");
}

void JudgeAgent(const Ctx& c, const AgentReply& r, PluginResult* out) {
    std::map<std::string, std::string> info;
    for (const std::string& v : r.values) {
        size_t eq = v.find('=');
        if (eq != std::string::npos) info[v.substr(0, eq)] = v.substr(eq + 1);
    }
    double opened = atof(info["OpenedConnections"].c_str());
    double failed = atof(info["FailedConnections"].c_str());
    out->text = info["AgentName"] + " " + info["AgentVersion"] + " on " + info["HostName"] + ", " +
                FormatNumber(opened) + " connections, " + FormatNumber(failed) + " failed";
    out->perf.push_back({"connections", opened, "c", "", "", "", ""});
    Measure(c, out, "failed", failed, "c");
    out->perf.push_back({"active", atof(info["ActiveConnections"].c_str()), "", "", "", "", ""});
    out->details.push_back("enabled tests: " + info["Enabled tests"] +
                           ", enabled actions: " + info["Enabled actions"]);
}

}  // namespace

// ---- The log check and its state file ----

namespace {

// The console's state of one log: read position, last size, last age.
struct LogState {
    std::string pos = "0", size = "0", age = "0";
};

bool StateNumber(const std::string& s) {
    return !s.empty() && s.size() < 21 && s.find_first_not_of("-0123456789") == std::string::npos;
}

// 1 with *state read, 0 when there is no state file yet, -1 when it cannot
// be read or holds something else.
int ReadState(const std::string& path, LogState* state, std::string* error) {
    std::ifstream in(path);
    if (!in) {
        *error = strerror(errno);
        return errno == ENOENT ? 0 : -1;
    }
    std::string tag;
    in >> tag >> state->pos >> state->size >> state->age;
    if (tag == "check_owl-log" && StateNumber(state->pos) && StateNumber(state->size) &&
        StateNumber(state->age))
        return 1;
    *error = "not a state file of check_owl";
    return -1;
}

// Writes the state to a new file beside path and renames it over path.
bool WriteState(const std::string& path, const LogState& s, std::string* error) {
    std::string temp = path + ".new";
    FILE* f = fopen(temp.c_str(), "we");
    bool ok = f && fprintf(f, "check_owl-log %s %s %s\n", s.pos.c_str(), s.size.c_str(),
                           s.age.c_str()) > 0;
    ok = f && fflush(f) == 0 && fsync(fileno(f)) == 0 && ok;
    if (f && fclose(f) != 0) ok = false;
    if (ok && rename(temp.c_str(), path.c_str()) == 0) return true;
    *error = strerror(errno);
    unlink(temp.c_str());
    return false;
}

// A lock held on path + ".lock" (never renamed) for the whole run, taken
// within deadline; -1 with *error when it cannot be had.
int LockState(const std::string& path, long long deadline, std::string* error) {
    int fd = open((path + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) return *error = strerror(errno), -1;
    while (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        if (errno != EWOULDBLOCK || NowMs() >= deadline) {
            *error = errno == EWOULDBLOCK ? "another run holds it" : strerror(errno);
            close(fd);
            return -1;
        }
        usleep(20000);
    }
    return fd;
}

std::string Trimmed(const AgentReply& r, size_t i) { return Trim(r.values[i]); }

// Takes one "200" reply of the log check into the run: 1 to ask again, 0
// when the agent has no more matches or repeats itself.
int TakeLogReply(const AgentReply& r, LogState* state, int* count, std::string* last, bool* nudged,
                 PluginResult* out) {
    LogState next = {Trimmed(r, 3), Trimmed(r, 4), Trimmed(r, 5)};
    bool same = next.pos == state->pos && next.size == state->size && next.age == state->age;
    bool match = atoll(r.values[0].c_str()) > 0;
    if (match && same) {
        // A match moves the read position on, so this is the line reported
        // last time. An agent that kept the size a log had before it was
        // truncated or replaced repeats it forever; with the log's present
        // size as the last size (and no age, which would make it look
        // unchanged) it goes on after the line. Once.
        if (*nudged || next.size == Trimmed(r, 6)) {
            out->details.push_back("the agent repeats a line");
            return 0;
        }
        *nudged = true;
        state->size = Trimmed(r, 6);
        state->age = "0";
        return 1;
    }
    *nudged = false;
    if (match) ++*count, *last = r.values[1];
    *state = next;
    return r.values[2] == "1";
}

// Follows "more matches" from state until the agent has none, within 1000
// rounds and the time-out: the number of matches, the last matching line.
// A round that fails after the first ends the loop with what was counted.
PluginResult FollowLog(Ctx& c, LogState* state, int* count, std::string* last) {
    std::string path = c.Arg(0);
    const char* flags[] = {c.Has("expr") ? "1" : "0", c.Has("case") ? "1" : "0",
                           c.Has("word") ? "1" : "0"};
    PluginResult out;
    out.state = PLUGIN_OK;
    bool nudged = false;
    for (int round = 0;; round++) {
        if (round == 1000 || (round > 0 && NowMs() >= c.deadline)) {
            out.details.push_back("stopped after " + std::to_string(round) +
                                  " rounds: the rest follows on the next run");
            return out;
        }
        AgentReply r = c.ask("TEST-TextLog",
                             {path, c.Arg(1), state->pos, state->size, state->age, flags[0], "0",
                              flags[1], flags[2]},
                             c.LeftMs());
        PluginResult failed;
        bool bad = Unanswered(c, r, &failed);
        if (!bad && r.values.size() < 7)
            bad = true, failed = Unknown("the agent's reply has too few values");
        if (!bad) {
            if (TakeLogReply(r, state, count, last, &nudged, &out) <= 0) return out;
            continue;
        }
        if (round == 0) return failed;
        out.details.push_back("stopped early: " + failed.text);
        return out;
    }
}

PluginResult RunLog(Ctx& c) {
    std::string statePath = c.Has("state") ? c.Opt("state") : DefaultStatePath(c.o);
    if (statePath.empty()) return Unknown("no folder for the state file: give --state FILE");
    std::string error;
    int lock = LockState(statePath, c.deadline, &error);
    if (lock < 0) return Unknown("cannot lock the state file " + statePath + ".lock: " + error);
    LogState state;
    int known = ReadState(statePath, &state, &error);
    int count = 0;
    std::string last;
    PluginResult out = known < 0 ? Unknown("cannot read the state file " + statePath + ": " + error)
                                 : FollowLog(c, &state, &count, &last);
    if (out.state != PLUGIN_UNKNOWN && !WriteState(statePath, state, &error))
        out = Unknown("cannot write the state file " + statePath + ": " + error);
    close(lock);
    if (out.state == PLUGIN_UNKNOWN) return out;
    if (known == 0) {
        out.text = "first run: recorded the end of " + c.Arg(0);
    } else {
        out.text = std::to_string(count) + " matching lines in " + c.Arg(0) + " since the last run";
        if (count > 0) out.text += ", the last: " + last;
    }
    Measure(c, &out, "matches", count, "", 1, "0");
    return out;
}

// clang-format off
const CheckEntry kChecks[] = {
    {"disk", "TEST-UNC", "unc", "disk PATH [--units B|KiB|MiB|GiB|TiB]", "units=", 1, 1, true,
     nullptr, PLUGIN_CRITICAL, BuildDisk, JudgeDisk, nullptr},
    {"folder-size", "TEST-FolderSize", "foldersize",
     "folder-size PATH [--mask M] [--no-recurse] [--units U]", "mask= no-recurse units=", 1, 1,
     true, nullptr, PLUGIN_CRITICAL, BuildFolder, JudgeFolder, nullptr},
    {"files", "TEST-CountFiles", "countfiles",
     "files PATH [--older MIN|--newer MIN|--bigger BYTES|--smaller BYTES] [--mask M] [--recurse]",
     "older= newer= bigger= smaller= mask= recurse", 1, 1, true, nullptr, PLUGIN_CRITICAL,
     BuildFiles, JudgeFiles, nullptr},
    {"file", "TEST-FileExists", "fileexists",
     "file PATH [--age-w R] [--age-c R] [--size-w R] [--size-c R]",
     "age-w= age-c= size-w= size-c=", 1, 1, true, nullptr, PLUGIN_CRITICAL, BuildPath, JudgeFile,
     nullptr},
    {"crc", "TEST-FileCRC", "filecrc", "crc PATH --expect HEX", "expect=", 1, 1, false, nullptr,
     PLUGIN_CRITICAL, BuildCrc, JudgeCrc, nullptr},
    {"log", "TEST-TextLog", "textlog", "log PATH TEXT [--expr] [--case] [--word] [--state FILE]",
     "expr case word state=", 2, 2, true, "0", PLUGIN_UNKNOWN, nullptr, nullptr, RunLog},
    {"program", "TEST-ExternalPrg", "external", "program [--timeout-ms N] CMD [ARG ...]",
     "timeout-ms=", 1, 64, true, nullptr, PLUGIN_UNKNOWN, BuildProgram, JudgeProgram, nullptr},
    {"tcp", "TEST-TCP", "tcp", "tcp HOST PORT [--send S] [--expect S]", "send= expect=", 2, 2,
     true, nullptr, PLUGIN_CRITICAL, BuildTcp, JudgeProbe, nullptr},
    {"udp", "TEST-UDP", "udp", "udp HOST PORT --send S [--expect S]", "send= expect=", 2, 2, true,
     nullptr, PLUGIN_CRITICAL, BuildUdp, JudgeProbe, nullptr},
    {"cpu", "TEST-CPU", "cpuusage", "cpu", "", 0, 0, true, nullptr, PLUGIN_UNKNOWN, BuildNone,
     JudgeCpu, nullptr},
    {"process", "TEST-Process", "process", "process NAME", "", 1, 1, true, nullptr,
     PLUGIN_UNKNOWN, BuildProcess, JudgeProcess, nullptr},
    {"agent", "GetInfo", "", "agent", "", 0, 0, true, nullptr, PLUGIN_UNKNOWN, BuildNone,
     JudgeAgent, nullptr},
};
// clang-format on

const CheckEntry* FindCheck(const std::string& name) {
    for (const CheckEntry& entry : kChecks)
        if (name == entry.name) return &entry;
    return nullptr;
}

// Whether the check takes the option name: 1 as a flag, 2 with a value, 0 not.
int CheckOption(const CheckEntry* entry, const std::string& name) {
    if (!entry) return 0;
    std::string list = std::string(" ") + entry->options + " ";
    if (list.find(" " + name + " ") != std::string::npos) return 1;
    return list.find(" " + name + "= ") != std::string::npos ? 2 : 0;
}

// One threshold option into *range, or a usage error.
bool Threshold(const std::string& text, bool given, Range* range, bool* has, std::string* error) {
    *has = given;
    if (given && !ParseRange(text, range)) *error = "malformed range '" + text + "'";
    return error->empty();
}

// The thresholds of the check from the command line and its defaults.
bool MakeThresholds(const PluginOptions& o, const CheckEntry& entry, Thresholds* t,
                    std::string* error) {
    bool warn = o.hasWarn, crit = o.hasCrit;
    std::string w = o.warn, c = o.crit;
    auto age = [&](const char* key, std::string* text, bool* has) {
        if (o.named.count(key)) *text = o.named.at(key), *has = true;
    };
    age("age-w", &w, &warn);
    age("age-c", &c, &crit);
    if (!entry.thresholds && (warn || crit))
        *error = std::string("the ") + entry.name + " check takes no thresholds";
    if (!crit && entry.defaultCrit) c = entry.defaultCrit, crit = true;
    Range unused;
    bool unusedHas;
    for (const char* key : {"size-w", "size-c"})
        if (o.named.count(key)) Threshold(o.named.at(key), true, &unused, &unusedHas, error);
    return error->empty() && Threshold(w, warn, &t->warn, &t->hasWarn, error) &&
           Threshold(c, crit, &t->crit, &t->hasCrit, error);
}

// What no reply, a switched-off check or a refusal leave of a result is in
// Unanswered; here the request goes out.
PluginResult RunSimple(Ctx& c) {
    std::vector<std::string> params;
    std::string error;
    if (!c.entry.build(c, &params, &error)) return Unknown(error);
    AgentReply r = c.ask(c.entry.command, params, c.LeftMs());
    PluginResult out;
    if (Unanswered(c, r, &out)) return out;
    out.state = PLUGIN_OK;
    c.entry.judge(c, r, &out);
    return out;
}

}  // namespace

PluginResult RunCheck(const PluginOptions& o, const Asker& ask) {
    const CheckEntry* entry = FindCheck(o.check);
    if (!entry) return Unknown("unknown check '" + o.check + "' (see --help)");
    std::string error;
    Ctx c{o, ask, *entry, Thresholds(), NowMs() + o.timeoutSec * 1000LL};
    if ((int)o.args.size() < entry->minArgs || (int)o.args.size() > entry->maxArgs)
        return Unknown(std::string("usage: check_owl -H HOST ") + entry->synopsis);
    if (!MakeThresholds(o, *entry, &c.t, &error)) return Unknown(error);
    return entry->run ? entry->run(c) : RunSimple(c);
}

// ---- The command line and the output ----

namespace {

struct GlobalOption {
    char letter;
    const char* name;
    bool value;
};
const GlobalOption kGlobalOptions[] = {
    {'H', "hostname", true}, {'p', "port", true},    {'W', "password-file", true},
    {'t', "timeout", true},  {'w', "warning", true}, {'c', "critical", true},
    {'v', "verbose", false}, {'h', "help", false},   {'V', "version", false},
};

bool WholeNumber(const std::string& s, int low, int high, int* out) {
    double v = 0;
    if (!ParseBound(s, &v) || s.find_first_of(".+-") != std::string::npos || v < low || v > high)
        return false;
    *out = (int)v;
    return true;
}

bool ReadPasswordFile(const std::string& path, std::string* password) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    std::getline(in, *password);
    while (!password->empty() && (password->back() == '\r' || password->back() == '\n'))
        password->pop_back();
    return true;
}

// Applies one global option; false with *error when its value is bad.
bool ApplyGlobal(char letter, const std::string& value, PluginOptions* o, std::string* error) {
    switch (letter) {
        case 'H':
            o->host = value;
            break;
        case 'p':
            if (!WholeNumber(value, 1, 65535, &o->port)) *error = "invalid port";
            break;
        case 't':
            if (!WholeNumber(value, 1, 3600, &o->timeoutSec)) *error = "invalid time-out";
            break;
        case 'w':
            o->warn = value, o->hasWarn = true;
            break;
        case 'c':
            o->crit = value, o->hasCrit = true;
            break;
        case 'v':
            o->verbose = true;
            break;
        case 'h':
            o->help = true;
            break;
        case 'V':
            o->version = true;
            break;
        case 'W':
            if (!ReadPasswordFile(value, &o->password))
                *error = "cannot read the password file " + value;
            o->havePassword = true;
            break;
    }
    return error->empty();
}

// The option at argv[*i] ("-x", "-xVALUE", "--name", "--name=VALUE"),
// its value taken from the next argument when it needs one.
bool ApplyOption(int argc, char** argv, int* i, PluginOptions* o, std::string* error) {
    std::string arg = argv[*i], name, value;
    bool inline_ = false, isLong = arg.compare(0, 2, "--") == 0;
    size_t eq = arg.find('=');
    name = isLong ? arg.substr(2, eq == std::string::npos ? eq : eq - 2) : arg.substr(1, 1);
    if (isLong && eq != std::string::npos) value = arg.substr(eq + 1), inline_ = true;
    if (!isLong && arg.size() > 2) value = arg.substr(2), inline_ = true;
    const GlobalOption* global = nullptr;
    for (const GlobalOption& g : kGlobalOptions)
        if (isLong ? name == g.name : name[0] == g.letter) global = &g;
    int kind = global   ? (global->value ? 2 : 1)
               : isLong ? CheckOption(FindCheck(o->check), name)
                        : 0;
    if (kind == 0) return *error = "unknown option " + arg, false;
    if (kind == 1 && inline_) return *error = "option " + name + " takes no value", false;
    if (kind == 2 && !inline_) {
        if (*i + 1 >= argc) return *error = "option " + arg + " needs a value", false;
        value = argv[++*i];
    }
    if (global) return ApplyGlobal(global->letter, value, o, error);
    o->named[name] = value;
    return true;
}

}  // namespace

bool ParsePluginArgs(int argc, char** argv, PluginOptions* o, std::string* error) {
    bool rest = false;
    for (int i = 1; i < argc && error->empty(); i++) {
        std::string arg = argv[i];
        // The program check's command ends the options: its arguments are its own.
        bool own = o->check == "program" && !o->args.empty();
        if (!rest && !own && arg == "--") {
            rest = true;
        } else if (!rest && !own && arg.size() > 1 && arg[0] == '-') {
            ApplyOption(argc, argv, &i, o, error);
        } else if (o->check.empty()) {
            o->check = arg;
        } else {
            o->args.push_back(arg);
        }
    }
    if (!error->empty() || o->help || o->version) return error->empty();
    if (o->host.empty()) *error = "no host: give -H HOST";
    if (o->check.empty()) *error = "no check given (see --help)";
    if (!o->havePassword && error->empty()) {
        const char* env = getenv("OWL_PASSWORD");
        if (!env) *error = "no password: give -W FILE or set OWL_PASSWORD";
        o->password = env ? env : "";
    }
    return error->empty();
}

namespace {

// Text of the output: no "|" (it starts the performance data), no line
// breaks inside a line.
std::string Clean(const std::string& s) {
    std::string out = s;
    for (char& ch : out) {
        if (ch == '|') ch = '/';
        if (ch == '\r' || ch == '\n') ch = ' ';
    }
    return out;
}

std::string Upper(std::string s) {
    for (char& ch : s) ch = (char)toupper((unsigned char)ch);
    return s;
}

}  // namespace

std::string FormatResult(const std::string& check, const PluginResult& r) {
    std::string out = "OWL " + (FindCheck(check) ? Upper(check) + " " : "") + StateName(r.state) +
                      " - " + Clean(r.text);
    for (size_t i = 0; i < r.perf.size(); i++) out += (i ? " " : " | ") + FormatPerf(r.perf[i]);
    out += "\n";
    for (const std::string& line : r.details) out += Clean(line) + "\n";
    return out;
}

std::string PluginUsage() {
    std::string text =
        "Usage: check_owl -H HOST [-p PORT] [-W PASSFILE] [-t SECONDS] [-v]\n"
        "                 CHECK [ARGS] [check options] [-w RANGE] [-c RANGE]\n"
        "Runs one check on an owl agent and reports it the way monitoring plugins do.\n"
        "  -H, --hostname HOST        the agent's address\n"
        "  -p, --port PORT            the agent's port (default 1055)\n"
        "  -W, --password-file FILE   the password, on the first line of FILE\n"
        "                             (else the environment variable OWL_PASSWORD)\n"
        "  -t, --timeout SECONDS      time-out for the whole check (default 10)\n"
        "  -w, --warning RANGE        warning range\n"
        "  -c, --critical RANGE       critical range\n"
        "  -v, --verbose              show each request and the raw reply\n"
        "  -h, --help, -V, --version\n"
        "Ranges: 10 (alert outside 0..10), 10: (below 10), ~:10 (above 10),\n"
        "10:20 (outside 10..20), @10:20 (inside 10..20).\n"
        "Checks:\n";
    for (const CheckEntry& entry : kChecks) text += std::string("  ") + entry.synopsis + "\n";
    text += "Exit status: 0 OK, 1 WARNING, 2 CRITICAL, 3 UNKNOWN (also after --help).\n";
    return text;
}

namespace {

// A file name part: letters, digits, '.', '-' and '_' kept, the rest '_'.
std::string FileNamePart(const std::string& s) {
    std::string out;
    for (char ch : s) out += isalnum((unsigned char)ch) || ch == '.' || ch == '-' ? ch : '_';
    return out;
}

bool MakeFolders(const std::string& path) {
    for (size_t at = path.find('/', 1);; at = path.find('/', at + 1)) {
        std::string part = path.substr(0, at);
        if (mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) return false;
        if (at == std::string::npos) return true;
    }
}

}  // namespace

std::string DefaultStatePath(const PluginOptions& o) {
    std::string dir = "/var/lib/check_owl";
    if (access(dir.c_str(), W_OK) != 0) {
        const char* xdg = getenv("XDG_STATE_HOME");
        const char* home = getenv("HOME");
        if (xdg && xdg[0] == '/')
            dir = std::string(xdg) + "/check_owl";
        else if (home && home[0] == '/')
            dir = std::string(home) + "/.local/state/check_owl";
        else
            return "";
        if (!MakeFolders(dir)) return "";
    }
    // FNV-1a over path and text tells apart logs whose names look alike.
    unsigned long long hash = 14695981039346656037ULL;
    std::string key = o.args.at(0) + '\0' + o.args.at(1);
    for (unsigned char ch : key) hash = (hash ^ ch) * 1099511628211ULL;
    char hex[20];
    snprintf(hex, sizeof hex, "%016llx", hash);
    std::string base = o.args[0].substr(o.args[0].rfind('/') + 1);
    return dir + "/log-" + FileNamePart(o.host) + "-" + std::to_string(o.port) + "-" +
           FileNamePart(base) + "-" + hex + ".state";
}
