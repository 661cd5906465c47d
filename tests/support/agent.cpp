#include "support/agent.h"

#include <signal.h>
#include <unistd.h>

#include <fstream>

#include "crypto/twofish.h"
#include "protocol/client.h"

std::string Str(const String& s) { return std::string(s.Data() ? s.Data() : "", s.Length()); }

namespace {

void EnsureCipher() {
    static bool done = false;
    if (!done) {
        Twofish_initialise();
        done = true;
    }
}

}  // namespace

TestAgent::TestAgent(std::map<std::string, std::string> settings)
    : settings_(std::move(settings)), port_(FreeLoopbackPort()) {
    std::map<std::string, std::string> defaults = {{"owlpath", OWL_BINARY},
                                                   {"port", std::to_string(port_)},
                                                   {"password", "test-password"},
                                                   {"host", "127.0.0.1"},
                                                   {"timeout", "2000"},
                                                   {"logsuccess", "1"},
                                                   {"logfails", "1"},
                                                   {"oklogfile", "ok.log"},
                                                   {"badlogfile", "fail.log"},
                                                   {"verboselogfile", "verbose.log"}};
    for (auto& kv : defaults)
        if (!settings_.count(kv.first)) settings_[kv.first] = kv.second;
    if (settings_.count("port") && !settings_["port"].empty()) port_ = std::stoi(settings_["port"]);
    password_ = settings_["password"];
    EnsureCipher();
}

TestAgent::~TestAgent() {
    if (daemonPid_ > 0) {
        kill(daemonPid_, SIGKILL);
        for (int i = 0; i < 100 && kill(daemonPid_, 0) == 0; i++) usleep(10000);
    }
}

void TestAgent::WriteConfig() {
    std::ofstream out(ConfigPath(), std::ios::binary);
    out << "# written by the test\n";
    for (auto& kv : settings_)
        if (!kv.second.empty()) out << kv.first << "=" << kv.second << "\n";
}

bool TestAgent::Start(const std::vector<std::string>& options) {
    WriteConfig();
    std::vector<std::string> args = {"-i"};
    args.insert(args.end(), options.begin(), options.end());
    args.push_back(ConfigPath());
    if (!process_.Start(OWL_BINARY, args, dir_.File("console.out"))) return false;
    return process_.WaitForOutput("Listening...", 15000);
}

bool TestAgent::StartDaemon() {
    WriteConfig();
    RunResult r = RunProgram(OWL_BINARY, {"-d", ConfigPath()}, 15000);
    if (r.status != 0) return false;
    std::string pidfile = settings_["pidfile"];
    for (int i = 0; i < 500; i++) {
        std::ifstream in(pidfile);
        int pid = 0;
        if (in >> pid && pid > 0) {
            daemonPid_ = pid;
            return true;
        }
        usleep(10000);
    }
    return false;
}

bool TestAgent::WaitExit(int timeoutMs, int* status) {
    if (daemonPid_ > 0) {
        for (int i = 0; i < timeoutMs / 10; i++) {
            if (kill(daemonPid_, 0) != 0) {
                daemonPid_ = -1;
                *status = 0;
                return true;
            }
            usleep(10000);
        }
        return false;
    }
    return process_.WaitExit(timeoutMs, status);
}

Reply TestAgent::Request(const std::string& command, const std::vector<std::string>& params,
                         const std::string& password) const {
    std::vector<String> p;
    for (const std::string& s : params) p.push_back(String(s.c_str()));
    String text, err;
    Reply r;
    r.result =
        OwlRequest("127.0.0.1", port_, String((password.empty() ? password_ : password).c_str()),
                   String(command.c_str()), p, 10000, text, err);
    r.text = Str(text);
    r.status = r.text.substr(0, 3);
    size_t nl = r.text.find('\n');
    r.body = nl == std::string::npos ? "" : r.text.substr(nl + 1);
    if (r.body.size() >= 2 && r.body.compare(r.body.size() - 2, 2, "\n\r") == 0)
        r.body.resize(r.body.size() - 2);
    else if (!r.body.empty() && r.body.back() == '\r')
        r.body.pop_back();
    return r;
}

int TestAgent::SendRaw(const std::string& bytes, std::string* reply, int timeoutMs) const {
    String packet, answer, err;
    packet.AddData(bytes.data(), (int)bytes.size());
    int result = ExchangePacket("127.0.0.1", port_, packet, timeoutMs, answer, err);
    if (reply) *reply = Str(answer);
    return result;
}

bool TestAgent::WaitForLog(const std::string& file, const std::string& text, int timeoutMs) const {
    for (int waited = 0; waited <= timeoutMs; waited += 20) {
        if (dir_.Read(file).find(text) != std::string::npos) return true;
        usleep(20000);
    }
    return false;
}
