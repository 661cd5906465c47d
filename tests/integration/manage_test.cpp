// Managing the real agent: GetInfo, GetSettings, SetSettings, port changes,
// restarts, the self-upgrade, unwritable logs and owlctl as a scripting
// tool.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <map>
#include <memory>
#include <thread>

#include "protocol/client.h"
#include "protocol/owl_const.h"
#include "support/agent.h"

namespace {

// One agent for the tests that leave its settings as they found them;
// those that change them start their own.
class Manage : public ::testing::Test {
  protected:
    static std::map<std::string, std::string> Settings() {
        return {{"udp", "0"},
                {"textlog", "0"},
                {"comment", "rack \"7\""},
                {"filterlist", "127.0.0.1 10.0.0.1"},
                {"filtermarks", "10"}};
    }
    static TestAgent& Shared() {
        if (!shared_) {
            shared_ = std::make_unique<TestAgent>(Settings());
            EXPECT_TRUE(shared_->Start()) << shared_->Output();
        }
        return *shared_;
    }
    static void TearDownTestSuite() { shared_.reset(); }
    inline static std::unique_ptr<TestAgent> shared_;
};

TEST_F(Manage, InfoNamesTheAgentItsSwitchesAndCounters) {
    TestAgent& agent = Shared();
    // Asked again until no other session is still ending as it answers.
    int opened = 0;
    Reply r;
    EXPECT_TRUE(Eventually([&] {
        opened = std::stoi(agent.Request("GetInfo").Value("OpenedConnections"));
        r = agent.Request("GetInfo");
        return r.Value("ActiveConnections") == "1";
    }));
    std::string expectedHead =
        "AgentName=VT Owlwatch\nAgentPlatform=Linux (Red Hat, Mandrake, SuSE)\n"
        "AgentVersion=1.29\nAgentDeveloper=owl developers\nService=0\nActive=0\n"
        "ActiveConnections=1\nOpenedConnections=" +
        std::to_string(opened + 1) +
        "\nFailedConnections=0\n"
        "Available tests=TCP%0D%0AUDP%0D%0AUNC%0D%0AFolder Size%0D%0ACount Files%0D%0A"
        "File Availability%0D%0AFile Integrity%0D%0AFile Compare%0D%0AText Log%0D%0A"
        "Process%0D%0ACPU Usage%0D%0AExternal%0D%0AShell Script%0D%0A\n"
        "Enabled tests=1011111101111\nPort=" +
        std::to_string(agent.port()) +
        "\nTimeout=2000\nComment=rack \"7\"\n"
        "Available actions=Execute external command%0D%0ATCP/UDP send%0D%0ASyslog%0D%0A\n"
        "Enabled actions=000\nHostName=";
    EXPECT_EQ(r.text.substr(0, 4 + expectedHead.size()), "200\n" + expectedHead);
    EXPECT_NE(r.Value("RunningOS").find("Linux "), std::string::npos);
    char host[256] = {0};
    gethostname(host, sizeof host - 1);
    EXPECT_EQ(r.Value("HostName"), host);
    EXPECT_EQ(r.Value("OSUpdates"), "not implemented");
    r = agent.Request("GetSettings");
    EXPECT_EQ(r.text.substr(r.text.find("\nLogOkConn=")),
              "\nLogOkConn=1\nLogBadConn=1\nOkLogFile=ok.log\nBadLogFile=fail.log\n"
              "Password=test-password\nIPFiltering=0\nIPFilterAddr=127.0.0.1%0D%0A10.0.0.1\n"
              "IPFilterMarks=10\nAllowUpdates=1\nAllowRManage=1\nUpdateAddr=127.0.0.1\n"
              "ManageAddr=127.0.0.1\n\r");
}

// owlctl: the password from a file or the environment, JSON replies.
TEST_F(Manage, OwlctlPasswordSourcesAndJson) {
    TestAgent& agent = Shared();
    std::string port = std::to_string(agent.port());
    agent.dir().Write("pw", agent.password() + "\n");
    setenv("OWL_PASSWORD", agent.password().c_str(), 1);
    RunResult env = RunOwlctl({"--port", port, "--json", "SetSettings", "Port=0"});
    unsetenv("OWL_PASSWORD");
    EXPECT_EQ(env.status, 1);
    EXPECT_EQ(env.output, "{\"status\": \"501\", \"lines\": [\"Wrong parameter\"]}\n");
    RunResult json = RunOwlctl({"-p", port, "-W", agent.dir().File("pw"), "-j", "GetInfo"});
    EXPECT_EQ(json.status, 0) << json.output;
    EXPECT_NE(json.output.find("\"Comment=rack \\\"7\\\"\""), std::string::npos) << json.output;
    EXPECT_NE(json.output.find("\"Available tests=TCP\\r\\nUDP\\r\\n"), std::string::npos);
    // A name's bytes that are not UTF-8 go out as Latin-1, UTF-8 as it is.
    TempDir names;
    names.Write("x\xF5\x80\x80\x80\xC3\xA9", "");
    json = RunOwlctl({"-p", port, "-W", agent.dir().File("pw"), "-j", "GetFilesList",
                      names.path() + "/", "x*", "0", "1"});
    EXPECT_NE(json.output.find("\"x\\u00f5\\u0080\\u0080\\u0080\xC3\xA9\""), std::string::npos)
        << json.output;
}

// Values that would strand the agent are refused whole; the file stays.
TEST_F(Manage, StrandingValuesAreRefusedWhole) {
    TestAgent& agent = Shared();
    const std::string before = agent.dir().Read("owl.cfg");
    std::vector<std::vector<std::string>> refused = {{"Comment=new", "Port=0"},
                                                     {"Port=0", "Comment=new"}};
    for (const char* one :
         {"Port=abc", "Port=0", "Port=70000", "Port=-1", "Port=1e3", "Timeout=abc", "Timeout=1.5",
          "Timeout=-5", "Timeout=99999999999", "Password=", "Password=   "})
        refused.push_back({one});
    for (const auto& params : refused) {
        EXPECT_EQ(agent.Request("SetSettings", params).text, "501\nWrong parameter\n\r")
            << params[0];
        EXPECT_EQ(agent.dir().Read("owl.cfg"), before) << params[0];
    }
    EXPECT_EQ(access(agent.dir().File("owl.cfg.Old").c_str(), F_OK), -1);
    EXPECT_EQ(agent.Request("GetSettings").Value("Comment"), "rack \"7\"");
}

// A new port that is taken: the agent returns to its own; a free one: served
// there from then on.
TEST_F(Manage, PortChangesFallBackOrMove) {
    TestAgent agent(Settings());
    ASSERT_TRUE(agent.Start()) << agent.Output();
    const std::string port = std::to_string(agent.port());
    int taken = 0, holder = BoundLoopback(SOCK_STREAM, &taken);
    EXPECT_EQ(agent.Request("SetSettings", {"Port=" + std::to_string(taken)}).status, "200");
    EXPECT_TRUE(agent.WaitForLog("fail.log", "Return to original port", 10000));
    EXPECT_NE(agent.dir().Read("fail.log").find("Error: cannot open new port for listening"),
              std::string::npos);
    EXPECT_EQ(agent.Request("GetInfo").Value("Port"), port);
    close(holder);
    const std::string newPort = std::to_string(FreeLoopbackPort());
    EXPECT_EQ(agent.Request("SetSettings", {"Port=" + newPort}).status, "200");
    agent.set_port(std::stoi(newPort));
    EXPECT_TRUE(Eventually([&] { return agent.Request("GetInfo").Value("Port") == newPort; }));
    EXPECT_TRUE(agent.WaitForLog("ok.log", "Server port switching .. Ok", 3000));
}

// The file is gone: "300", and the new values are in force all the same.
TEST_F(Manage, SettingsWithoutTheFile) {
    TestAgent agent;
    ASSERT_TRUE(agent.Start()) << agent.Output();
    unlink(agent.ConfigPath().c_str());
    EXPECT_EQ(agent.Request("SetSettings", {"Comment=after delete", "Password=next"}).text,
              "300\nCannot open configuration file '" + agent.ConfigPath() + "'\n\r");
    EXPECT_EQ(agent.Request("GetSettings", {}, "next").Value("Comment"), "after delete");
}

// A restart that cannot start the program keeps the agent serving. (The
// re-execution is a test of its own: what the agent counted before an exec
// is not in its coverage data.)
TEST_F(Manage, FailedRestartKeepsServing) {
    TempDir work;
    work.Write("not-a-program", "plain text\n");  // exists, but cannot be executed
    TestAgent agent({{"owlpath", work.File("not-a-program")}});
    ASSERT_TRUE(agent.Start()) << agent.Output();
    EXPECT_EQ(agent.Request("ReloadApp").text, "200\nOk\n\r");
    EXPECT_TRUE(agent.WaitForLog("fail.log", "Error: cannot start new instance", 5000));
    Reply r;
    EXPECT_TRUE(Eventually([&] { return (r = agent.Request("GetInfo")).status == "200"; }));
    EXPECT_EQ(r.Value("OpenedConnections"), "2");  // the same process
}

TEST_F(Manage, ReloadAppReExecutes) {
    TestAgent agent;
    ASSERT_TRUE(agent.Start()) << agent.Output();
    EXPECT_EQ(agent.Request("GetInfo").status, "200");
    EXPECT_EQ(agent.Request("ReloadApp").text, "200\nOk\n\r");
    // Same process (re-executed), a fresh start: the counters begin again.
    EXPECT_TRUE(
        Eventually([&] { return agent.Request("GetInfo").Value("OpenedConnections") == "1"; }));
    EXPECT_TRUE(agent.process().Running());
    std::string out = agent.Output();
    size_t reload = out.find("Reload request received. Executing..");
    EXPECT_NE(reload, std::string::npos);
    EXPECT_NE(out.find("Listening...", reload), std::string::npos);
}

// An agent whose program file is a copy of owl in a scratch folder, which
// an upgrade replaces with a stand-in that records its arguments.
class Upgrade : public ::testing::Test {
  protected:
    void SetUp() override {
        std::ifstream in(OWL_BINARY, std::ios::binary);
        std::ofstream(work_.File("owl-copy"), std::ios::binary) << in.rdbuf();
        chmod(work_.File("owl-copy").c_str(), 0755);
        agent_.reset(
            new TestAgent({{"owlpath", work_.File("owl-copy")}, {"tmpdir", work_.path()}}));
        ASSERT_TRUE(agent_->Start()) << agent_->Output();
        std::string script = "#!/bin/sh\n# the new agent of the upgrade test\necho \"$@\" > '" +
                             work_.File("new-agent-ran") + "'\n";
        while (script.size() < 5000) script += "# padding to a plausible size\n";
        body_ = Bytes(script);
    }
    // Both replies to an upgrade with body in pieces of chunk bytes.
    std::string Send(const String& body, int chunk, int pauseMs) {
        String first, final, err;
        OwlUpgrade("127.0.0.1", agent_->port(), String(agent_->password().c_str()), body,
                   UpgradeDigest(body_), chunk, pauseMs, 20000, first, final, err);
        return Str(first) + Str(final);
    }
    // Waits for the new program to have run; what it recorded.
    std::string NewProgramRan() const {
        Eventually([&] { return !work_.Read("new-agent-ran").empty(); }, 10000);
        return work_.Read("new-agent-ran");
    }

    TempDir work_;
    std::unique_ptr<TestAgent> agent_;
    String body_;
};

// Refused, owlctl shows the agent's reply; allowed, the new program runs.
TEST_F(Upgrade, ByOwlctl) {
    work_.Write("new-owl", Str(body_));
    const std::vector<std::string> upgrade = {"-p",      std::to_string(agent_->port()),
                                              "-w",      agent_->password(),
                                              "upgrade", work_.File("new-owl")};
    EXPECT_EQ(agent_->Request("SetSettings", {"AllowUpdates=0"}).status, "200");
    EXPECT_EQ(RunOwlctl(upgrade).output, "600\nOperation is not allowed\n");
    EXPECT_EQ(agent_->Request("SetSettings", {"AllowUpdates=1"}).status, "200");
    RunResult r = RunOwlctl(upgrade);
    EXPECT_EQ(r.status, 0) << r.output;
    EXPECT_EQ(r.output, "200\n");
    EXPECT_FALSE(NewProgramRan().empty());
}

// Failed upgrades release the reservation.
TEST_F(Upgrade, FailuresReleaseTheReservation) {
    TestAgent& agent = *agent_;
    EXPECT_EQ(agent.Request("UpgradeCode", {"100"}).text, "501\nWrong file parameter(s)\n\r");
    EXPECT_EQ(agent.Request("UpgradeCode", {"10485760"}).text, "501\nWrong file parameter(s)\n\r");
    // A changed byte: "Wrong CRC" and no temporary file left.
    String changed = body_;
    changed.Data()[50] ^= 1;
    EXPECT_EQ(Send(changed, 0, 0), "200\n\r300\nWrong CRC\n\r");
    EXPECT_NE(access(work_.File("owl__.upd").c_str(), F_OK), 0);

    // A peer that leaves mid-body frees the reservation for the next one;
    // while it transfers, a second upgrade is refused.
    int sock = agent.Send(agent.Packet("UpgradeCode\n101\n\r"));
    EXPECT_EQ(ReadReply(sock), "200\n\r");
    EXPECT_EQ(agent.Request("UpgradeCode", {"5000"}).text, "302\n\r");
    ASSERT_EQ(send(sock, "partial", 7, MSG_NOSIGNAL), 7);
    EXPECT_TRUE(Eventually([&] { return access(work_.File("owl__.upd").c_str(), F_OK) == 0; }));
    close(sock);
    EXPECT_TRUE(Eventually([&] { return agent.Request("UpgradeCode", {"101"}).status == "200"; }));
    EXPECT_TRUE(agent.process().Running());
}

// A transfer that stalls for UPGRADE_STALL_SECONDS (shortened to 1 here) is
// abandoned: the connection closes and the reservation is free again.
TEST_F(Manage, StalledUpgradeIsAbandoned) {
    TestAgent agent;
    ASSERT_TRUE(agent.Start({}, [] { setenv("OWL_TEST_UPGRADE_STALL", "1", 1); }))
        << agent.Output();
    int sock = agent.Send(agent.Packet("UpgradeCode\n1000\n\r"));
    EXPECT_EQ(ReadReply(sock), "200\n\r");
    EXPECT_EQ(agent.Request("UpgradeCode", {"1000"}).text, "302\n\r");
    EXPECT_TRUE(ClosedWithoutReply(sock, 5000));
    close(sock);
    EXPECT_TRUE(Eventually([&] { return agent.Request("UpgradeCode", {"1000"}).status == "200"; }));
}

// The agent installs the program at owlpath and starts it with its own
// arguments. Links planted at both upgrade names in the temporary folder are
// replaced, never followed.
TEST_F(Upgrade, InstallsWithoutFollowingLinks) {
    TestAgent& agent = *agent_;
    TempDir other;
    other.Write("precious", "keep me\n");
    other.Write("script", "keep me too\n");
    ASSERT_EQ(symlink(other.File("precious").c_str(), work_.File("owl__.upd").c_str()), 0);
    ASSERT_EQ(symlink(other.File("script").c_str(), work_.File("owlupd__.sh").c_str()), 0);
    // The digest arrives in pieces of 7 bytes, apart: collected until whole.
    EXPECT_EQ(Send(body_, 7, 1), "200\n\r200\n\r");
    EXPECT_EQ(NewProgramRan(), "-i " + agent.ConfigPath() + "\n");
    EXPECT_EQ(work_.Read("owl-copy"), Str(body_));
    EXPECT_EQ(other.Read("precious"), "keep me\n");
    EXPECT_EQ(other.Read("script"), "keep me too\n");
    int status;
    EXPECT_TRUE(agent.WaitExit(5000, &status));
}

// 300,000 lines are refused at once and never hold the settings lock; a
// GetInfo alongside is answered within its own time-out. An unwritable log
// is named on the console at start and, once, in the next log that can be
// written.
TEST_F(Manage, HugeSetSettingsAndUnwritableLog) {
    TestAgent agent({{"badlogfile", "/nonexistent-owl-folder/fail.log"}});
    ASSERT_TRUE(agent.Start()) << agent.Output();
    EXPECT_NE(agent.Output().find("Warning: cannot open log file "
                                  "'/nonexistent-owl-folder/fail.log': No such file or directory"),
              std::string::npos)
        << agent.Output();
    std::atomic<bool> done{false};
    std::string bigStatus;
    std::thread big([&] {
        // Empty lines, as a careless console sends them.
        bigStatus =
            agent.Request("SetSettings", std::vector<std::string>(300000), "", 20000).status;
        done = true;
    });
    for (int i = 0; i < 20 && (i == 0 || !done); i++, usleep(20 * 1000)) {
        Reply r = agent.Request("GetInfo", {}, "", 2000);
        EXPECT_EQ(r.result, OWL_REPLY) << r.error;
    }
    big.join();
    EXPECT_EQ(bigStatus, "501");
    // As many lines as the bound allows are one pass: "200" and the last
    // value wins.
    std::vector<std::string> many(4096, "Comment=x");
    many.back() = "Comment=last";
    EXPECT_EQ(agent.Request("SetSettings", many).status, "200");
    EXPECT_EQ(agent.Request("GetSettings").Value("Comment"), "last");

    agent.Request("GetInfo", {}, "wrong password");  // a failure the bad log misses
    ASSERT_TRUE(agent.WaitForLog("ok.log", "Cannot open log file", 3000));
    EXPECT_EQ(Count(agent.dir().Read("ok.log"), "Cannot open log file"), 1);
}

}  // namespace
