// check_owl's logic, the monitoring-plugin side of the console: threshold
// ranges and the verdict, performance data, the command line, the table of
// checks (each maps to one agent command) and the log check's state file.
// Reentrant except RunCheck's log check, which serialises runs on one state
// file with a lock on a file beside it (safe across processes and threads).
#pragma once

#include <functional>
#include <map>
#include <string>
#include <vector>

// The exit statuses of the plugin interface; nothing else is ever returned.
enum PluginState { PLUGIN_OK = 0, PLUGIN_WARNING = 1, PLUGIN_CRITICAL = 2, PLUGIN_UNKNOWN = 3 };
const char* StateName(int state);

// A threshold range: "10" (alert outside 0..10), "10:" (below 10), "~:10"
// (above 10), "10:20" (outside 10..20), "@10:20" (inside 10..20).
struct Range {
    double low = 0, high = 0;
    bool lowInfinite = false, highInfinite = false, inside = false;
    std::string text;  // as given, for the performance data
};
// True with *range filled when text is a well-formed range (decimal and
// negative bounds allowed, start not above end); false otherwise.
bool ParseRange(const std::string& text, Range* range);
// True when value raises an alert under range.
bool RangeAlerts(const Range& range, double value);
// range with both bounds multiplied by factor, its text rewritten.
Range ScaleRange(const Range& range, double factor);

struct Thresholds {
    bool hasWarn = false, hasCrit = false;
    Range warn, crit;
};
// OK, WARNING or CRITICAL for value; critical wins over warning.
int Verdict(const Thresholds& thresholds, double value);

// One value of the performance data: 'label'=value[UOM];warn;crit;min;max.
struct PerfValue {
    std::string label;
    double value = 0;
    std::string uom;  // "", "B", "%", "s" or "c"
    std::string warn, crit, min, max;
};
std::string FormatPerf(const PerfValue& perf);
// A number as the output shows it: integers whole, others with up to four
// decimals.
std::string FormatNumber(double value);

// The command line: global options, the check's name, its arguments and
// the check options ("mask" -> "*.log", flags -> "").
struct PluginOptions {
    std::string host;
    int port = 1055;
    std::string password;
    bool havePassword = false;
    int timeoutSec = 10;
    bool verbose = false;
    bool help = false, version = false;
    std::string check;
    std::vector<std::string> args;
    std::map<std::string, std::string> named;
    std::string warn, crit;
    bool hasWarn = false, hasCrit = false;
};
// Fills *options from argv; false with *error for a usage error. The
// password is taken from -W FILE or the environment variable OWL_PASSWORD.
bool ParsePluginArgs(int argc, char** argv, PluginOptions* options, std::string* error);

// One reply as a check sees it: the exchange's result (OwlExchangeResult),
// why no reply came, the status and the decoded value lines.
struct AgentReply {
    int result = 0;
    std::string error;
    std::string status;
    std::vector<std::string> values;
};
// Sends one request and returns its reply, waiting at most timeoutMs.
using Asker = std::function<AgentReply(const std::string& command,
                                       const std::vector<std::string>& params, int timeoutMs)>;
// The reply text of the agent split into status and decoded values.
AgentReply SplitAgentReply(int result, const std::string& text, const std::string& error);

struct PluginResult {
    int state = PLUGIN_UNKNOWN;
    std::string text;
    std::vector<PerfValue> perf;
    std::vector<std::string> details;  // lines after the first
};
// Runs the check that options name through ask.
PluginResult RunCheck(const PluginOptions& options, const Asker& ask);
// "OWL <CHECK> <STATUS> - <text> | <perfdata>", then the detail lines.
std::string FormatResult(const std::string& check, const PluginResult& result);
// The usage text (synopsis, options and the checks).
std::string PluginUsage();

// The log check's default state file for these options: one per host,
// port, path and text, under /var/lib/check_owl when writable, else under
// $XDG_STATE_HOME or ~/.local/state (created when missing).
std::string DefaultStatePath(const PluginOptions& options);
