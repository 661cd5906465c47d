#include "config/settingscheck.h"

#include <arpa/inet.h>
#include <errno.h>
#include <netdb.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>

#include "config/ipfilter.h"

const char kPlaceholderPassword[] = "change-me";

namespace {

std::string Text(const String& s) { return std::string(s.Data() ? s.Data() : "", s.Length()); }

std::string Lower(std::string s) {
    for (char& c : s)
        if (c >= 'A' && c <= 'Z') c = (char)(c - 'A' + 'a');
    return s;
}

// Edits (insert, delete, replace, swap of neighbours) that turn a into b.
int Distance(const std::string& a, const std::string& b) {
    std::vector<std::vector<int>> d(a.size() + 1, std::vector<int>(b.size() + 1));
    for (size_t i = 0; i <= a.size(); i++) d[i][0] = (int)i;
    for (size_t j = 0; j <= b.size(); j++) d[0][j] = (int)j;
    for (size_t i = 1; i <= a.size(); i++) {
        for (size_t j = 1; j <= b.size(); j++) {
            int cost = a[i - 1] == b[j - 1] ? 0 : 1;
            d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + cost});
            if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1])
                d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
        }
    }
    return d[a.size()][b.size()];
}

void UnknownKey(std::vector<std::string>& out, int line, const String& name) {
    std::string key = Text(name);
    std::string text = "line " + std::to_string(line) + ": unknown key '" + key + "'";
    if (const char* near = NearestSettingKey(key))
        text += std::string(" (did you mean '") + near + "'?)";
    out.push_back(text);
}

// The filter list items that are not dotted IPv4 addresses: the filter
// compares them with the peer's dotted address, so they never admit anyone.
void CheckFilterList(std::vector<std::string>& out, const String& list) {
    for (int i = 1;; i++) {
        String item = list.GetWord(i, '\n');
        item.Trim();
        if (item.Length() == 0) break;
        in_addr addr;
        if (inet_pton(AF_INET, item.SetZero().Data(), &addr) != 1)
            out.push_back("filterlist: '" + Text(item) + "' is not an IPv4 address");
    }
}

void CheckAddressList(std::vector<std::string>& out, const char* key, const String& list) {
    String err;
    IPAllowed(0u, list, err);
    if (err.Length() > 0) out.push_back(std::string(key) + " '" + Text(list) + "': " + Text(err));
}

}  // namespace

const char* NearestSettingKey(const std::string& name) {
    std::string lower = Lower(name);
    int limit = lower.size() <= 4 ? 1 : lower.size() <= 8 ? 2 : 3;
    const char* best = nullptr;
    for (int i = 0; i < OWLSettingKeyCount; i++) {
        int d = Distance(lower, OWLSettingKeys[i].key);
        if (d <= limit) {
            limit = d - 1;
            best = OWLSettingKeys[i].key;
        }
    }
    return best;
}

std::string BindProblem(const std::string& host, int port) {
    std::string where = "address " + (host.empty() ? std::string("*") : host) + " port " +
                        std::to_string(port) + ": ";
    addrinfo hints;
    memset(&hints, 0, sizeof hints);
    hints.ai_flags = AI_PASSIVE;
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* list = nullptr;
    int rc = getaddrinfo(host.empty() ? nullptr : host.c_str(), std::to_string(port).c_str(),
                         &hints, &list);
    if (rc != 0) return where + gai_strerror(rc);
    std::string problem = "no address";
    for (const addrinfo* ai = list; ai != nullptr && !problem.empty(); ai = ai->ai_next) {
        int fd = socket(ai->ai_family, ai->ai_socktype | SOCK_CLOEXEC, ai->ai_protocol);
        int on = 1;
        // As the listener binds: a port that only lingers from old
        // connections is free.
        if (fd >= 0) setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        if (fd >= 0 && bind(fd, ai->ai_addr, ai->ai_addrlen) == 0)
            problem.clear();
        else
            problem = strerror(errno);
        if (fd >= 0) close(fd);
    }
    freeaddrinfo(list);
    return problem.empty() ? "" : where + problem;
}

std::vector<std::string> CheckSettings(const char* path, const TOWLSettings& settings,
                                       bool probeBind) {
    std::vector<std::string> out;
    VisitConfigurationLines(
        path, [&](int line, const String& name, const TSettingKey* key, const String&) {
            if (key == nullptr) UnknownKey(out, line, name);
        });
    if (settings.password == kPlaceholderPassword)
        out.push_back(std::string("password is the shipped placeholder '") + kPlaceholderPassword +
                      "': set one of your own");
    if (probeBind) {
        std::string problem = BindProblem(Text(settings.host), settings.port);
        if (!problem.empty()) out.push_back("cannot listen on " + problem);
    }
    // Without the filter every address reaches the agent: only the address
    // list and the password then guard management and upgrades.
    if (!settings.filteractive && settings.allowmanage)
        out.push_back(
            "filteractive=0 with allowmanage=1: any address may connect, and only "
            "manageaddr '" +
            Text(settings.manageaddr) + "' and the password guard management");
    if (!settings.filteractive && settings.allowupdates)
        out.push_back(
            "filteractive=0 with allowupdates=1: any address may connect, and only "
            "updateaddr '" +
            Text(settings.updateaddr) + "' and the password guard upgrades");
    CheckFilterList(out, settings.filterlist);
    CheckAddressList(out, "manageaddr", settings.manageaddr);
    CheckAddressList(out, "updateaddr", settings.updateaddr);
    return out;
}
