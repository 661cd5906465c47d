// check_owl: one owl check for Nagios, Icinga and the other systems that
// run monitoring plugins. Prints "OWL <CHECK> <STATUS> - <text> | <perfdata>"
// and exits 0 (OK), 1 (WARNING), 2 (CRITICAL) or 3 (UNKNOWN), never with
// anything else. It runs no shell and no program: every check is one or
// more requests to the agent (see ctl/plugin.h).
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <string>

#include "crypto/twofish.h"
#include "ctl/plugin.h"
#include "protocol/client.h"
#include "text/version.h"

namespace {

std::string Text(const String& s) { return std::string(s.Data() ? s.Data() : "", s.Length()); }

// Line breaks shown as \n and \r, for the verbose lines.
std::string Shown(const std::string& s) {
    std::string out;
    for (char ch : s) out += ch == '\n' ? "\\n" : ch == '\r' ? "\\r" : std::string(1, ch);
    return out;
}

char alarmLine[256];

// The last guard of the time-out: the checks keep to it themselves.
void OnAlarm(int) {
    ssize_t n = write(STDOUT_FILENO, alarmLine, strlen(alarmLine));
    (void)n;
    _exit(PLUGIN_UNKNOWN);
}

}  // namespace

int main(int argc, char** argv) {
    PluginOptions o;
    std::string error;
    if (!ParsePluginArgs(argc, argv, &o, &error)) {
        printf("%s", FormatResult(o.check, {PLUGIN_UNKNOWN, error, {}, {}}).c_str());
        return PLUGIN_UNKNOWN;
    }
    if (o.help || o.version) {
        if (o.help) printf("%s", PluginUsage().c_str());
        if (o.version && !o.help) printf("check_owl %s\n", OWL_VERSION);
        return PLUGIN_UNKNOWN;  // as the standard plugins do: no check was made
    }
    snprintf(
        alarmLine, sizeof alarmLine, "%s",
        FormatResult(
            o.check,
            {PLUGIN_UNKNOWN, "time-out after " + std::to_string(o.timeoutSec) + " seconds", {}, {}})
            .c_str());
    signal(SIGALRM, OnAlarm);
    alarm(o.timeoutSec + 1);
    Twofish_initialise();
    std::vector<std::string> verbose;
    Asker ask = [&](const std::string& command, const std::vector<std::string>& params,
                    int timeoutMs) {
        std::vector<String> p;
        for (const std::string& s : params) p.push_back(String(s.c_str()));
        String text, err;
        int result = OwlRequest(o.host.c_str(), o.port, String(o.password.c_str()),
                                String(command.c_str()), p, timeoutMs, text, err);
        if (o.verbose) {
            verbose.push_back("request: " +
                              Shown(Text(BuildRequestText(String(command.c_str()), p))));
            verbose.push_back("reply: " + Shown(result == OWL_REPLY ? Text(text) : Text(err)));
        }
        return SplitAgentReply(result, Text(text), Text(err));
    };
    PluginResult result = RunCheck(o, ask);
    alarm(0);
    result.details.insert(result.details.end(), verbose.begin(), verbose.end());
    printf("%s", FormatResult(o.check, result).c_str());
    return result.state >= 0 && result.state <= 3 ? result.state : PLUGIN_UNKNOWN;
}
