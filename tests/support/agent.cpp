#include "support/agent.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

#include "crypto/twofish.h"
#include "protocol/client.h"
#include "protocol/owl_const.h"

std::string Str(const String& s) { return std::string(s.Data() ? s.Data() : "", s.Length()); }

String Bytes(const std::string& s) {
    String r;
    r.AddData(s.data(), (int)s.size());
    return r;
}

int ConnectFrom(const char* source, int port) {
    int sock = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = inet_addr(source);
    struct timeval tv = {3, 0};
    setsockopt(sock, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    if (bind(sock, (sockaddr*)&addr, sizeof addr) == 0) {
        addr.sin_port = htons((uint16_t)port);
        addr.sin_addr.s_addr = inet_addr("127.0.0.1");
        if (connect(sock, (sockaddr*)&addr, sizeof addr) == 0) return sock;
    }
    close(sock);
    return -1;
}

bool ClosedWithoutReply(int sock, int timeoutMs) {
    struct pollfd pfd = {sock, POLLIN, 0};
    if (poll(&pfd, 1, timeoutMs) <= 0) return false;
    char c;
    return recv(sock, &c, 1, 0) <= 0;
}

std::string DecryptReply(const std::string& reply, const std::string& key) {
    String text;
    return DecodeReplyPacket(Bytes(reply), String(key.c_str()), text) ? Str(text) : "";
}

std::string ReadReply(int sock, const std::string& key) {
    String packet, err;
    if (ReadReplyPacket(sock, 5000, packet, err) != OWL_REPLY) return "";
    return DecryptReply(Str(packet), key);
}

int Count(const std::string& text, const std::string& what) {
    int n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) n++;
    return n;
}

std::vector<std::string> Reply::Lines() const {
    std::vector<std::string> lines;
    std::istringstream in(body);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

std::string Reply::Value(const std::string& key) const {
    for (const std::string& line : Lines())
        if (line.compare(0, key.size() + 1, key + "=") == 0) return line.substr(key.size() + 1);
    return "<missing>";
}

TestAgent::TestAgent(std::map<std::string, std::string> settings)
    : settings_(std::move(settings)), port_(FreeLoopbackPort()) {
    // insert leaves the keys the test set as they are.
    settings_.insert({{"owlpath", OWL_BINARY},
                      {"port", std::to_string(port_)},
                      {"password", "test-password"},
                      {"host", "127.0.0.1"},
                      {"timeout", "2000"},
                      {"logsuccess", "1"},
                      {"logfails", "1"},
                      {"oklogfile", "ok.log"},
                      {"badlogfile", "fail.log"},
                      {"verboselogfile", "verbose.log"}});
    if (!settings_["port"].empty()) port_ = std::stoi(settings_["port"]);
    password_ = settings_["password"];
    static bool cipherReady = (Twofish_initialise(), true);
    (void)cipherReady;
}

TestAgent::~TestAgent() {
    if (daemonPid_ > 0) StopProcess(daemonPid_);
}

void TestAgent::WriteConfig() {
    std::ofstream out(ConfigPath(), std::ios::binary);
    out << "# written by the test\n";
    for (auto& kv : settings_)
        if (!kv.second.empty()) out << kv.first << "=" << kv.second << "\n";
}

bool TestAgent::Start(const std::vector<std::string>& options,
                      const std::function<void()>& inChild) {
    WriteConfig();
    std::vector<std::string> args = {"-i"};
    args.insert(args.end(), options.begin(), options.end());
    args.push_back(ConfigPath());
    if (!process_.Start(OWL_BINARY, args, dir_.File("console.out"), inChild)) return false;
    return process_.WaitForOutput("Listening...", 15000);
}

bool TestAgent::StartDaemon() {
    WriteConfig();
    if (RunProgram(OWL_BINARY, {"-d", ConfigPath()}, 15000).status != 0) return false;
    return Eventually([&] { return (std::ifstream(settings_["pidfile"]) >> daemonPid_).good(); });
}

bool TestAgent::WaitExit(int timeoutMs, int* status) {
    if (daemonPid_ <= 0) return process_.WaitExit(timeoutMs, status);
    *status = 0;
    if (!Eventually([&] { return kill(daemonPid_, 0) != 0; }, timeoutMs)) return false;
    daemonPid_ = -1;
    return true;
}

Reply TestAgent::Request(const std::string& command, const std::vector<std::string>& params,
                         const std::string& password, int timeoutMs) const {
    std::vector<String> p;
    for (const std::string& s : params) p.push_back(String(s.c_str()));
    String text, err;
    Reply r;
    r.result =
        OwlRequest("127.0.0.1", port_, String((password.empty() ? password_ : password).c_str()),
                   String(command.c_str()), p, timeoutMs, text, err);
    r.error = Str(err);
    r.text = Str(text);
    r.status = r.text.substr(0, 3);
    size_t nl = r.text.find('\n');
    r.body = nl == std::string::npos ? "" : r.text.substr(nl + 1);
    // Without the final LF CR (or a lone CR).
    size_t end = r.body.size() >= 2 && r.body.compare(r.body.size() - 2, 2, "\n\r") == 0 ? 2 : 0;
    if (!end && !r.body.empty() && r.body.back() == '\r') end = 1;
    r.body.resize(r.body.size() - end);
    return r;
}

void TestAgent::Expect(const std::vector<Case>& cases, bool elapsed) const {
    for (const Case& c : cases) {
        Reply r = Request(c.command, c.params);
        std::string got = r.text.substr(0, r.text.size() - (r.text.empty() ? 0 : 1));
        const std::string what = c.command + " " + (c.params.empty() ? "" : c.params[0]);
        if (elapsed && r.status == "200" && (c.command == "TEST-TCP" || c.command == "TEST-UDP")) {
            // Milliseconds, within the probe's time-out (its third parameter).
            size_t nl = got.find('\n', 4);
            std::string ms = got.substr(4, nl == std::string::npos ? 0 : nl - 4);
            EXPECT_TRUE(!ms.empty() && ms.find_first_not_of("0123456789") == std::string::npos &&
                        std::stoll(ms) <= std::stoll(c.params.at(2)))
                << what << ": elapsed '" << ms << "'";
            got.erase(4, nl == std::string::npos ? 0 : nl - 3);
        }
        EXPECT_EQ(got, c.reply) << what;
    }
}

int TestAgent::Send(const std::string& bytes) const {
    int sock = Connect();
    String err;
    EXPECT_TRUE(sock >= 0 && SendAll(sock, bytes.data(), (int)bytes.size(), err)) << Str(err);
    return sock;
}

std::string TestAgent::Ask(const std::string& text, const std::string& key) const {
    String reply, err;
    ExchangePacket("127.0.0.1", port_, Bytes(Packet(text, key)), 3000, reply, err);
    return DecryptReply(Str(reply), key);
}

std::string TestAgent::Packet(const std::string& text, const std::string& key) const {
    return Str(BuildRequestPacket(String(password_.c_str()), String(key.c_str()), Bytes(text)));
}

bool TestAgent::WaitForLog(const std::string& file, const std::string& text, int timeoutMs) const {
    return Eventually([&] { return dir_.Read(file).find(text) != std::string::npos; }, timeoutMs);
}

TestAgent& Shared(std::unique_ptr<TestAgent>& agent,
                  const std::map<std::string, std::string>& settings,
                  const std::vector<std::string>& options) {
    if (agent) return *agent;
    agent = std::make_unique<TestAgent>(settings);
    bool daemon = !options.empty() && options[0] == "-d";
    if (daemon && agent->settings()["pidfile"].empty())
        agent->settings()["pidfile"] = agent->dir().File("owl.pid");
    EXPECT_TRUE(daemon ? agent->StartDaemon() : agent->Start(options)) << agent->Output();
    return *agent;
}
