// Test support: a real owl agent started on a free loopback port with a
// configuration of the test's choosing, a console-side client for it, and
// tables of requests with the replies they must get. One TestAgent belongs
// to one test thread; Request and Ask may be called from several threads.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "support/process.h"
#include "text/vtstring.h"

// The bytes of a String, zero bytes included, and back.
std::string Str(const String& s);
String Bytes(const std::string& s);

// A TCP connection from the loopback address source to 127.0.0.1:port (3 s
// send time-out), or -1.
int ConnectFrom(const char* source, int port);
// True when the peer closes or resets sock within timeoutMs without sending
// anything.
bool ClosedWithoutReply(int sock, int timeoutMs);
// The reply text of an encrypted reply packet under key ("" when it does not
// decode).
std::string DecryptReply(const std::string& packet, const std::string& key = "session-key");
// The decrypted reply read from sock within 5 s ("" when none came).
std::string ReadReply(int sock, const std::string& key = "session-key");
// Number of times what occurs in text.
int Count(const std::string& text, const std::string& what);

// owl and owlctl run with args, waited for at most 20 s.
inline RunResult RunOwl(const std::vector<std::string>& args) {
    return RunProgram(OWL_BINARY, args, 20000);
}
#ifdef OWLCTL_BINARY
inline RunResult RunOwlctl(const std::vector<std::string>& args) {
    return RunProgram(OWLCTL_BINARY, args, 20000);
}
#endif

struct Reply {
    int result = 0;      // OwlExchangeResult
    std::string error;   // why no reply came
    std::string status;  // "200", "500", ...
    std::string text;    // the whole decrypted reply text
    std::string body;    // what follows the status line, without the final LF CR
    // The lines of the body.
    std::vector<std::string> Lines() const;
    // The value of a "Key=value" line of the body, or "<missing>".
    std::string Value(const std::string& key) const;
};

// One request and the reply text it must get, without the final CR
// ("200\n3\n", "500\nnot implemented yet\n").
struct Case {
    std::string command;
    std::vector<std::string> params;
    std::string reply;
};

class TestAgent {
  public:
    // Settings written to the configuration file beside the defaults below
    // (a key mapped to "" is left out of the file).
    explicit TestAgent(std::map<std::string, std::string> settings = {});
    TestAgent(std::initializer_list<std::pair<const std::string, std::string>> settings)
        : TestAgent(std::map<std::string, std::string>(settings)) {}
    // Ends the agent with SIGTERM (SIGKILL after 2 s).
    ~TestAgent();

    // Starts "owl -i [extra options] cfg" (inChild as BackgroundProcess::Start
    // runs it); waits for "Listening...".
    bool Start(const std::vector<std::string>& options = {},
               const std::function<void()>& inChild = nullptr);
    // Starts in daemon mode ("owl -d cfg"); the daemon's pid is read from
    // the pid file.
    bool StartDaemon();
    bool WaitExit(int timeoutMs, int* status);

    // The reply to command within timeoutMs, under password when one is given.
    Reply Request(const std::string& command, const std::vector<std::string>& params = {},
                  const std::string& password = "", int timeoutMs = 10000) const;
    // Sends every request of cases and expects its reply. With elapsed, the
    // first body line of a TCP or UDP probe's "200" reply must be its elapsed time
    // (milliseconds within the time-out of its third parameter) and is left
    // out of the comparison.
    void Expect(const std::vector<Case>& cases, bool elapsed = false) const;
    // The request packet carrying text as it stands, under this agent's
    // password and the session key.
    std::string Packet(const std::string& text, const std::string& key = "session-key") const;
    // The decrypted reply to the request text sent as it stands ("" when no
    // reply came).
    std::string Ask(const std::string& text, const std::string& key = "session-key") const;
    // A connection to the agent from 127.0.0.1, or -1.
    int Connect() const { return ConnectFrom("127.0.0.1", port_); }
    // A connection with bytes sent on it (as many as given), left open.
    int Send(const std::string& bytes) const;

    // Waits at most timeoutMs for a log file beside the configuration to
    // contain text.
    bool WaitForLog(const std::string& file, const std::string& text, int timeoutMs) const;

    int port() const { return port_; }
    // Where requests go from now on (after the agent has moved).
    void set_port(int port) { port_ = port; }
    pid_t pid() const { return daemonPid_ > 0 ? daemonPid_ : process_.pid(); }
    const TempDir& dir() const { return dir_; }
    std::string ConfigPath() const { return dir_.File("owl.cfg"); }
    std::string Output() const { return process_.Output(); }
    std::string password() const { return password_; }
    void WriteConfig();
    std::map<std::string, std::string>& settings() { return settings_; }
    BackgroundProcess& process() { return process_; }

  private:
    TempDir dir_;
    std::map<std::string, std::string> settings_;
    std::string password_;
    int port_;
    BackgroundProcess process_;
    pid_t daemonPid_ = -1;
};

// The agent that the tests of a suite share: made with settings and
// started with options ("-d": as a daemon) on first use; the suite resets
// agent in its TearDownTestSuite.
TestAgent& Shared(std::unique_ptr<TestAgent>& agent,
                  const std::map<std::string, std::string>& settings = {},
                  const std::vector<std::string>& options = {});
