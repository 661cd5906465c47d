// The real agent serving over loopback: framing, the dispatcher's fixed
// answers, bad peers, time-outs, the connection filter, permissions,
// stopping, the daemon, faults, and clients racing reloads.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <memory>
#include <sstream>
#include <thread>

#include "protocol/client.h"
#include "protocol/owl_const.h"
#include "support/agent.h"

namespace {

const char kUnknownQuit[] = "500\nUnknown command \"quit\"\n\r";

// The framing tests share an agent with a one-second idle time-out and a
// verbose log; the daemon tests share a daemon.
class Serve : public ::testing::Test {
  protected:
    static TestAgent& Framing() { return Shared(framing_, {{"timeout", "1000"}}, {"-v"}); }
    static TestAgent& Daemon() { return Shared(daemon_, {{"comment", "first"}}, {"-d"}); }
    static void TearDownTestSuite() {
        framing_.reset();
        daemon_.reset();
    }
    inline static std::unique_ptr<TestAgent> framing_, daemon_;
};

// Odd request texts get their fixed answers and are logged as failures.
TEST_F(Serve, OddRequestsGetFixedAnswersAndAreLogged) {
    TestAgent& agent = Framing();
    const std::pair<std::string, std::string> asked[] = {
        {"TEST-SNMP\n/tmp\n\r", "500\nnot implemented yet\n\r"},
        {"quit\r", kUnknownQuit},
        {"  Get Info \n\r", "500\nUnknown command \"Get Info\"\n\r"},
        {"\r", "500\nVoid request received\n\r"},
        {"GetInfo\n", "502\nEndOfTransmission signal missed\n\r"},
        {"", "502\nEndOfTransmission signal missed\n\r"},  // no end mark either
    };
    for (const auto& [text, reply] : asked) EXPECT_EQ(agent.Ask(text), reply) << text;
    EXPECT_EQ(agent.Ask("quit\r", ""), kUnknownQuit);  // an empty session key is served too
    EXPECT_EQ(agent.Request("TEST-UNC", {}, "wrong").result, OWL_NO_REPLY);

    EXPECT_TRUE(agent.WaitForLog("verbose.log", "<-- Invalid QX request received", 3000));
    const std::string fails = agent.dir().Read("fail.log");
    EXPECT_NE(fails.find("\t 127.0.0.1\t Unknown command \"quit\"\n"), std::string::npos) << fails;
    EXPECT_NE(fails.find("Void request received"), std::string::npos);
    EXPECT_NE(fails.find("EndOfTransmission signal missed"), std::string::npos);
    EXPECT_EQ(fails.find("accepted"), std::string::npos);  // successes go to ok.log only
    std::string oks = agent.dir().Read("ok.log");
    EXPECT_NE(oks.find("\t 127.0.0.1\t TCP connection accepted\n"), std::string::npos);
    for (const char* line :
         {"--> request processed (500)", "--> request rejected or operation failed (500)",
          "\t owl\t\t Session closed, wait for next ..\n"})
        EXPECT_TRUE(agent.WaitForLog("verbose.log", line, 3000)) << line;
    // Debug lines need -vd.
    EXPECT_EQ(agent.dir().Read("verbose.log").find("TCP packet size"), std::string::npos);
}

// QUIT with CR and no LF is a valid stop request. (An empty host, the
// built-in default: every address.)
TEST_F(Serve, QuitStops) {
    TestAgent agent({{"host", ""}});
    ASSERT_TRUE(agent.Start()) << agent.Output();
    EXPECT_EQ(agent.Ask("QUIT\r"), "200\nOk\n\r");
    int status = -1;
    ASSERT_TRUE(agent.WaitExit(3000, &status));
    EXPECT_EQ(status, 0);
    EXPECT_NE(agent.Output().find("Terminate request received. Terminating..\n"),
              std::string::npos);
}

// With -vd a rejected packet shows how far it got: one that has all come
// every size up to the check that refused it, even when the early check
// refused it before it was all read; one cut short the sizes that came.
TEST_F(Serve, RejectedPacketsLogTheirSizes) {
    TestAgent agent;
    ASSERT_TRUE(agent.Start({"-vd"})) << agent.Output();
    auto wrong = [](const std::string& text) {
        return Str(BuildRequestPacket(String("wrong"), String("key"), Bytes(text)));
    };
    const std::string large = wrong(std::string(2000, 'x'));
    // A long key puts the request's length field past the first read.
    const std::string longKey = Str(BuildRequestPacket(
        String("wrong"), String(std::string(2000, 'k').c_str()), Bytes("TEST-UNC\n/\n\r")));
    std::string badAuth = large, digestLength5 = large.substr(0, 8);
    badAuth[4] = 0x04;
    digestLength5[6] = 5;
    // Five bytes announced, the first five of the right digest sent.
    std::string rightStart = agent.Packet(std::string(2000, 'x'), "key").substr(0, 13);
    rightStart[6] = 5;
    const std::string sizes = "TCP packet size: 2033|OWL packet size: 2029|Pswd size: 16|";
    const std::pair<std::string, std::string> rows[] = {
        {wrong("TEST-UNC\n/\n\r"),
         "TCP packet size: 45|OWL packet size: 41|Pswd size: 16|"
         "Key size: 3|Req size: 12|Wrong password or MD5 error|"},
        {large, sizes + "Key size: 3|Req size: 2000|Wrong password or MD5 error|"},
        {badAuth, sizes + "Key size: 3|Req size: 2000|"},
        {longKey,
         "TCP packet size: 2042|OWL packet size: 2038|Pswd size: 16|"
         "Key size: 2000|Req size: 12|Wrong password or MD5 error|"},
        {large + "extra", "TCP packet size: 2038|OWL packet size: 2029|"},
        {large.substr(0, 30),
         "TCP packet size: 30|OWL packet size: 2029|Pswd size: 16|"
         "Key size: 3|Wrong password or MD5 error|"},
        {digestLength5,
         "TCP packet size: 8|OWL packet size: 2029|Pswd size: 5|"
         "Wrong password or MD5 error|"},
        {rightStart,
         "TCP packet size: 13|OWL packet size: 2029|Pswd size: 5|"
         "Wrong password or MD5 error|"},
        {std::string("\xFF\xFF\xFF\x7F", 4), "TCP packet size: 4|OWL packet size: 2147483647|"},
    };
    std::string expected;
    for (const auto& [bytes, lines] : rows) {
        int sock = agent.Send(bytes);
        EXPECT_TRUE(ClosedWithoutReply(sock, 3000)) << lines;
        close(sock);
        expected += lines + "Invalid QX request received|";
    }
    std::string seen;
    std::istringstream verbose(agent.dir().Read("verbose.log"));
    for (std::string line; std::getline(verbose, line);)
        if (line.find("\t <-- ") != std::string::npos)
            seen += line.substr(line.find("<-- ") + 4) + "|";
    EXPECT_EQ(seen, expected);
}

// A peer that keeps sending a byte at a time, never silent for the idle
// time-out, is still closed once its request's deadline has passed.
TEST_F(Serve, RequestDeadlineEndsATricklingPeer) {
    TestAgent agent({{"timeout", "1000"}});
    ASSERT_TRUE(agent.Start({}, [] { setenv("OWL_TEST_REQUEST_GRACE", "0", 1); }))
        << agent.Output();
    const std::string packet = agent.Packet("GetInfo\n\r");
    int sock = agent.Send(packet.substr(0, 1));
    bool closed = false;
    for (size_t at = 1; at < 16 && !closed; at++) {
        usleep(200 * 1000);
        char c;
        closed =
            recv(sock, &c, 1, MSG_DONTWAIT) == 0 || send(sock, &packet[at], 1, MSG_NOSIGNAL) != 1;
    }
    EXPECT_TRUE(closed);  // within about two seconds, not after three
    close(sock);
}

const char kRefused[] = "600\nOperation is not allowed\n\r";

// Management needs its switch and the right address; GetInfo and upgrades
// do not. Upgrades need theirs, changed one at a time as a console does.
TEST_F(Serve, ManagementNeedsPermission) {
    TestAgent agent({{"allowmanage", "0"}});
    ASSERT_TRUE(agent.Start()) << agent.Output();
    for (const char* command : {"QUIT", "ReloadCfg", "ReloadApp", "GetSettings", "SetSettings"})
        EXPECT_EQ(agent.Request(command).text, kRefused) << command;
    EXPECT_EQ(agent.Request("GetInfo").status, "200");
    EXPECT_EQ(agent.Request("UpgradeCode", {"1000"}).text, "200\n\r");  // allowed by default
    EXPECT_TRUE(agent.process().Running());
    TestAgent other;
    ASSERT_TRUE(other.Start()) << other.Output();
    const struct {
        const char* setting;
        std::string upgrade, settings;
    } steps[] = {
        {"AllowUpdates=0", kRefused, "200"},
        {"AllowUpdates=1", "", "200"},
        {"UpdateAddr=10.0.0.1", kRefused, "200"},
        {"ManageAddr=10.1.1.1", kRefused, kRefused},
    };
    for (const auto& step : steps) {
        EXPECT_EQ(other.Request("SetSettings", {step.setting}).text, "200\n\r") << step.setting;
        std::string upgrade = other.Request("UpgradeCode", {"1000"}).text;
        if (step.upgrade.empty())
            EXPECT_NE(upgrade, kRefused) << step.setting;
        else
            EXPECT_EQ(upgrade, step.upgrade) << step.setting;
        Reply settings = other.Request("GetSettings");
        EXPECT_EQ(settings.status == "200" ? "200" : settings.text, step.settings) << step.setting;
    }
    EXPECT_EQ(other.Request("QUIT").text, kRefused);
    EXPECT_EQ(other.Request("GetInfo").status, "200");
}

TEST_F(Serve, ConnectionFilter) {
    TestAgent open(
        {{"filteractive", "1"}, {"filterlist", "10.0.0.1 127.0.0.1"}, {"filtermarks", "01"}});
    ASSERT_TRUE(open.Start()) << open.Output();
    EXPECT_EQ(open.Request("quit").status, "500");

    // 127.0.0.12 is listed, which must not admit 127.0.0.1; the listed
    // 127.0.0.1 is switched off by its mark. owlctl says why no reply came.
    TestAgent closed(
        {{"filteractive", "1"}, {"filterlist", "127.0.0.12 127.0.0.1"}, {"filtermarks", "10"}});
    ASSERT_TRUE(closed.Start()) << closed.Output();
    EXPECT_EQ(closed.Request("quit").result, OWL_NO_REPLY);
    const char kWhy[] = "closed without a reply (wrong password, or this address is not allowed)";
    for (const TestAgent* agent : {&open, &closed}) {
        std::string password = agent == &open ? "nope" : agent->password();
        RunResult r = RunOwlctl({"-p", std::to_string(agent->port()), "-w", password, "GetInfo"});
        EXPECT_EQ(r.status, 2);
        EXPECT_NE(r.output.find(kWhy), std::string::npos) << r.output;
    }
    std::string fails = closed.dir().Read("fail.log");
    EXPECT_NE(fails.find("\t 127.0.0.1\t TCP connection rejected\n"), std::string::npos) << fails;
}

// ReloadCfg puts a new password in force; a file that fails its checks is
// reported, by SIGHUP and by ReloadCfg, and the running settings stay.
TEST_F(Serve, DaemonReloadCfgAndFailedReloads) {
    TestAgent& agent = Daemon();
    agent.settings()["password"] = "changed";
    agent.WriteConfig();
    EXPECT_EQ(agent.Request("ReloadCfg").text, "200\nOk\n\r");
    EXPECT_EQ(agent.Request("GetInfo").result, OWL_NO_REPLY);
    agent.settings()["password"] = "";
    agent.WriteConfig();
    kill(agent.pid(), SIGHUP);
    EXPECT_TRUE(agent.WaitForLog("fail.log", "Configuration reload failed", 5000))
        << ProcessState(agent.pid());
    EXPECT_NE(agent.dir().Read("fail.log").find("Password is not specified!"), std::string::npos);
    EXPECT_EQ(agent.Request("ReloadCfg", {}, "changed").text,
              "300\n  Password is not specified!\n\r");
    agent.settings()["password"] = agent.password();
    agent.WriteConfig();
    EXPECT_EQ(agent.Request("ReloadCfg", {}, "changed").text, "200\nOk\n\r");
}

// A fault after the first FAULT_RESTART_SECONDS (shortened to 1 here)
// starts the agent over in the same process.
TEST_F(Serve, LateFaultRestarts) {
    TestAgent agent;
    ASSERT_TRUE(agent.Start({}, [] { setenv("OWL_TEST_FAULT_RESTART", "1", 1); }))
        << agent.Output();
    const time_t started = time(nullptr);
    EXPECT_TRUE(Eventually([&] { return time(nullptr) > started + 1; }, 3000));
    // The fault strikes a session thread (one that waits in accept).
    const pid_t pid = agent.process().pid();
    const std::string proc = "/proc/" + std::to_string(pid) + "/";
    const int policy = SchedulingPolicy(proc);
    pid_t worker = 0;
    ForEachThread(pid, [&](const std::string& task) {
        std::string call;
        std::ifstream(task + "syscall") >> call;
        pid_t tid = std::stoi(task.substr(proc.size() + 5));
        if (call == "288" && tid != pid) worker = tid;
    });
    ASSERT_NE(worker, 0) << ProcessState(pid);
    syscall(SYS_tgkill, pid, worker, SIGSEGV);
    EXPECT_TRUE(Eventually([&] { return Count(agent.Output(), "Listening...") == 2; }));
    EXPECT_TRUE(agent.process().Running());
    // Started over with the policy it was started with, not the session's.
    EXPECT_EQ(SchedulingPolicy(proc), policy);
    EXPECT_EQ(agent.Request("GetInfo").Value("OpenedConnections"), "1");
}

// Reloads, settings changes and port changes while 16 clients keep asking:
// every reply that comes is whole and right, and the agent serves on.
TEST_F(Serve, ReloadsAndPortChangesRaceWithClients) {
    TestAgent agent({{"logsuccess", "0"}, {"verboselogfile", ""}});
    ASSERT_TRUE(agent.Start()) << agent.Output();
    std::atomic<int> port{agent.port()};
    std::atomic<bool> stop{false};
    std::atomic<int> answered{0}, wrong{0};
    const String password(agent.password().c_str());
    std::vector<std::thread> clients;
    for (int i = 0; i < 16; i++)
        clients.emplace_back([&] {
            for (int n = 0; n < 20000 && !stop; n++) {
                String text, err;
                // Refused or unanswered while a port is switched over: a
                // moment before the next try, so as not to starve the agent.
                if (OwlRequest("127.0.0.1", port, password, String("GetInfo"), {}, 5000, text,
                               err) != OWL_REPLY) {
                    usleep(1000);
                    continue;
                }
                bool whole = Str(text).find("200\nAgentName=") == 0 &&
                             Str(text).find("OSUpdates=not implemented\n\r") != std::string::npos;
                (whole ? answered : wrong)++;
            }
        });
    for (int round = 0; round < 6; round++) {
        const char* command = round % 3 == 0 ? "ReloadCfg" : "SetSettings";
        EXPECT_EQ(agent.Request(command, {"Comment=round " + std::to_string(round)}).status, "200");
        if (round % 3 != 2) continue;
        const int next = FreeLoopbackPort();
        EXPECT_EQ(agent.Request("SetSettings", {"Port=" + std::to_string(next)}).status, "200");
        agent.set_port(next);
        EXPECT_TRUE(Eventually([&] { return agent.Request("GetInfo").status == "200"; }, 5000));
        port = next;
    }
    // A loaded machine may have let the clients ask little meanwhile.
    EXPECT_TRUE(Eventually([&] { return answered > 100; }, 20000));
    stop = true;
    for (auto& t : clients) t.join();
    EXPECT_EQ(wrong, 0);
    EXPECT_EQ(agent.Request("GetInfo").Value("Port"), std::to_string(port));
}

}  // namespace
