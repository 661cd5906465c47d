// Managing the real agent: GetInfo, GetSettings, SetSettings, reload,
// restart, port changes and the self-upgrade.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <memory>
#include <string>
#include <thread>

#include "protocol/client.h"
#include "protocol/owl_const.h"
#include "support/agent.h"

namespace {

std::string CopyOwl(const TempDir& dir) {
    std::string path = dir.File("owl-copy");
    std::ifstream in(OWL_BINARY, std::ios::binary);
    std::ofstream out(path, std::ios::binary);
    out << in.rdbuf();
    out.close();
    chmod(path.c_str(), 0755);
    return path;
}

TEST(Manage, GetInfoLines) {
    TestAgent agent({{"udp", "0"}, {"textlog", "0"}, {"comment", "rack 7"}});
    ASSERT_TRUE(agent.Start()) << agent.Output();
    Reply r = agent.Request("GetInfo");
    ASSERT_EQ(r.status, "200") << r.text;
    std::string expectedHead =
        "AgentName=VT Owlwatch\nAgentPlatform=Linux (Red Hat, Mandrake, SuSE)\n"
        "AgentVersion=1.29\nAgentDeveloper=owl developers\nService=0\nActive=0\n"
        "ActiveConnections=1\nOpenedConnections=1\nFailedConnections=0\n"
        "Available tests=TCP%0D%0AUDP%0D%0AUNC%0D%0AFolder Size%0D%0ACount Files%0D%0A"
        "File Availability%0D%0AFile Integrity%0D%0AFile Compare%0D%0AText Log%0D%0A"
        "Process%0D%0ACPU Usage%0D%0AExternal%0D%0AShell Script%0D%0A\n"
        "Enabled tests=1011111101111\nPort=" +
        std::to_string(agent.port()) +
        "\nTimeout=2000\nComment=rack 7\n"
        "Available actions=Execute external command%0D%0ATCP/UDP send%0D%0ASyslog%0D%0A\n"
        "Enabled actions=000\nHostName=";
    EXPECT_EQ(r.body.substr(0, expectedHead.size()), expectedHead);
    EXPECT_NE(r.Value("RunningOS").find("Linux "), std::string::npos);
    EXPECT_EQ(r.Value("OSUpdates"), "not implemented");
    // GetInfo is no management command: any peer that knows the password.
    TestAgent restricted({{"allowmanage", "0"}});
    ASSERT_TRUE(restricted.Start());
    EXPECT_EQ(restricted.Request("GetInfo").status, "200");
    EXPECT_EQ(restricted.Request("GetSettings").status, "600");
}

TEST(Manage, GetSettingsAddsManagementLines) {
    TestAgent agent({{"filterlist", "127.0.0.1 10.0.0.1"}, {"filtermarks", "10"}});
    ASSERT_TRUE(agent.Start()) << agent.Output();
    Reply r = agent.Request("GetSettings");
    ASSERT_EQ(r.status, "200");
    std::string tail = r.body.substr(r.body.find("\nLogOkConn="));
    EXPECT_EQ(tail,
              "\nLogOkConn=1\nLogBadConn=1\nOkLogFile=ok.log\nBadLogFile=fail.log\n"
              "Password=test-password\nIPFiltering=0\nIPFilterAddr=127.0.0.1%0D%0A10.0.0.1\n"
              "IPFilterMarks=10\nAllowUpdates=1\nAllowRManage=1\nUpdateAddr=127.0.0.1\n"
              "ManageAddr=127.0.0.1");
    TestAgent other({{"manageaddr", "10.1.1.1"}});
    ASSERT_TRUE(other.Start());
    EXPECT_EQ(other.Request("GetSettings").text, "600\nOperation is not allowed\n\r");
}

TEST(Manage, SetSettingsAssignsAndSaves) {
    TestAgent agent;
    ASSERT_TRUE(agent.Start()) << agent.Output();
    Reply r = agent.Request("SetSettings", {" LogOkConn = 0 ", "logbadconn=0", "Comment=new one",
                                            "IPFilterAddr=10.0.0.1%0D%0A10.0.0.2",
                                            "IPFilterMarks=11", "no equals sign"});
    EXPECT_EQ(r.text, "200\n\r");
    Reply s = agent.Request("GetSettings");
    EXPECT_EQ(s.Value("LogOkConn"), "0");
    EXPECT_EQ(s.Value("LogBadConn"), "1");  // names match exactly
    EXPECT_EQ(s.Value("Comment"), "new one");
    EXPECT_EQ(s.Value("IPFilterAddr"), "10.0.0.1%0D%0A10.0.0.2");
    std::string cfg = agent.dir().Read("owl.cfg");
    EXPECT_NE(cfg.find("filterlist=10.0.0.1 10.0.0.2\r\n"), std::string::npos) << cfg;
    EXPECT_NE(cfg.find("logsuccess=0"), std::string::npos) << cfg;
    EXPECT_NE(agent.dir().Read("owl.cfg.Old").find("# written by the test"), std::string::npos);

    EXPECT_EQ(agent.Request("SetSettings", {"LogOkConn=true"}).status, "200");
    EXPECT_EQ(agent.Request("GetSettings").Value("LogOkConn"), "0");
    EXPECT_EQ(agent.Request("SetSettings", {"LogOkConn=1"}).status, "200");
    EXPECT_EQ(agent.Request("GetSettings").Value("LogOkConn"), "1");

    // The file is gone: "300", and the new values are in force all the same.
    unlink(agent.ConfigPath().c_str());
    r = agent.Request("SetSettings", {"Comment=after delete"});
    EXPECT_EQ(r.text, "300\nCannot open configuration file '" + agent.ConfigPath() + "'\n\r");
    EXPECT_EQ(agent.Request("GetSettings").Value("Comment"), "after delete");
}

TEST(Manage, PortChange) {
    TestAgent agent;
    ASSERT_TRUE(agent.Start()) << agent.Output();
    int newPort = FreeLoopbackPort();
    EXPECT_EQ(agent.Request("SetSettings", {"Port=" + std::to_string(newPort)}).status, "200");
    std::vector<String> none;
    String text, err;
    int result = OWL_CONNECT_FAILED;
    for (int i = 0; i < 50 && result != OWL_REPLY; i++) {
        usleep(100 * 1000);
        result = OwlRequest("127.0.0.1", newPort, String(agent.password().c_str()),
                            String("GetInfo"), none, 3000, text, err);
    }
    ASSERT_EQ(result, OWL_REPLY) << agent.Output();
    EXPECT_NE(Str(text).find("\nPort=" + std::to_string(newPort) + "\n"), std::string::npos);
    EXPECT_TRUE(agent.WaitForLog("ok.log", "Server port switching .. Ok", 3000));
}

TEST(Manage, PortChangeFallsBackWhenTaken) {
    TestAgent agent;
    ASSERT_TRUE(agent.Start()) << agent.Output();
    int holder = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(holder, (sockaddr*)&addr, sizeof addr), 0);
    ASSERT_EQ(listen(holder, 1), 0);
    socklen_t len = sizeof addr;
    getsockname(holder, (sockaddr*)&addr, &len);
    int taken = ntohs(addr.sin_port);
    // The agent binds 127.0.0.1 with SO_REUSEADDR; a listening socket still
    // keeps the port.
    EXPECT_EQ(agent.Request("SetSettings", {"Port=" + std::to_string(taken)}).status, "200");
    EXPECT_TRUE(agent.WaitForLog("fail.log", "Return to original port", 10000));
    std::string fails = agent.dir().Read("fail.log");
    EXPECT_NE(fails.find("Error: cannot open new port for listening"), std::string::npos);
    Reply r = agent.Request("GetInfo");
    EXPECT_EQ(r.status, "200");
    EXPECT_EQ(r.Value("Port"), std::to_string(agent.port()));
    close(holder);
}

TEST(Manage, ReloadAppReExecutes) {
    TestAgent agent;
    ASSERT_TRUE(agent.Start()) << agent.Output();
    EXPECT_EQ(agent.Request("GetInfo").status, "200");
    EXPECT_EQ(agent.Request("ReloadApp").text, "200\nOk\n\r");
    // Same process (re-executed), a fresh start: the counters begin again.
    Reply r;
    for (int i = 0; i < 50; i++) {
        usleep(100 * 1000);
        r = agent.Request("GetInfo");
        if (r.status == "200" && r.Value("OpenedConnections") == "1") break;
    }
    EXPECT_EQ(r.Value("OpenedConnections"), "1");
    EXPECT_TRUE(agent.process().Running());
    EXPECT_NE(agent.Output().find("Reload request received. Executing.."), std::string::npos);
    std::string out = agent.Output();
    EXPECT_NE(out.find("Listening...", out.find("Reload request received")), std::string::npos);
}

// A restart that cannot start the program keeps the agent serving.
TEST(Manage, FailedRestartKeepsServing) {
    TempDir work;
    work.Write("not-a-program", "plain text\n");  // exists, but cannot be executed
    TestAgent agent({{"owlpath", work.File("not-a-program")}});
    ASSERT_TRUE(agent.Start()) << agent.Output();
    EXPECT_EQ(agent.Request("ReloadApp").text, "200\nOk\n\r");
    EXPECT_TRUE(agent.WaitForLog("fail.log", "Error: cannot start new instance", 5000));
    Reply r;
    for (int i = 0; i < 50 && r.status != "200"; i++) {
        usleep(100 * 1000);
        r = agent.Request("GetInfo");
    }
    EXPECT_EQ(r.status, "200");
    EXPECT_NE(r.body.find("OpenedConnections=2"), std::string::npos);  // the same process
}

// SIGHUP and ReloadCfg read the file again; the port stays, a new password
// takes effect, a file that fails its checks is reported and the running
// settings stay.
TEST(Manage, ReloadCfgAndSighupInDaemonMode) {
    TempDir scratch;
    TestAgent agent({{"pidfile", scratch.File("owl.pid")}, {"comment", "first"}});
    ASSERT_TRUE(agent.StartDaemon());
    EXPECT_EQ(agent.Request("GetInfo").Value("Comment"), "first");
    agent.settings()["comment"] = "second";
    agent.settings()["port"] = std::to_string(FreeLoopbackPort());
    agent.WriteConfig();
    kill(agent.pid(), SIGHUP);
    std::string comment;
    for (int i = 0; i < 40 && comment != "second"; i++) {
        usleep(100 * 1000);
        comment = agent.Request("GetInfo").Value("Comment");
    }
    EXPECT_EQ(comment, "second");  // and still served on the old port
    std::string oldPassword = agent.password();
    agent.settings()["comment"] = "third";
    agent.settings()["password"] = "changed";
    agent.WriteConfig();
    EXPECT_EQ(agent.Request("ReloadCfg").text, "200\nOk\n\r");
    EXPECT_EQ(agent.Request("GetInfo", {}, oldPassword).result, OWL_NO_REPLY);
    EXPECT_EQ(agent.Request("GetInfo", {}, "changed").Value("Comment"), "third");

    agent.settings()["password"] = "";
    agent.WriteConfig();
    kill(agent.pid(), SIGHUP);
    EXPECT_TRUE(agent.WaitForLog("fail.log", "Configuration reload failed", 5000));
    EXPECT_NE(agent.dir().Read("fail.log").find("Password is not specified!"), std::string::npos);
    EXPECT_EQ(agent.Request("ReloadCfg", {}, "changed").text,
              "300\n  Password is not specified!\n\r");
    EXPECT_EQ(agent.Request("GetInfo", {}, "changed").status, "200");
    EXPECT_EQ(agent.Request("QUIT", {}, "changed").status, "200");
    int status;
    EXPECT_TRUE(agent.WaitExit(5000, &status));
}

// An agent whose program file is a copy of owl in a scratch folder, which
// an upgrade may replace.
class Upgrade : public ::testing::Test {
  protected:
    void SetUp() override {
        agent_.reset(new TestAgent({{"owlpath", CopyOwl(work_)}, {"tmpdir", work_.path()}}));
        ASSERT_TRUE(agent_->Start()) << agent_->Output();
        body_ = Bytes(NewProgram());
    }
    // A stand-in for the new agent: records its arguments.
    std::string NewProgram() const {
        std::string script = "#!/bin/sh\n# the new agent of the upgrade test\necho \"$@\" > '" +
                             work_.File("new-agent-ran") + "'\n";
        while (script.size() < 5000) script += "# padding to a plausible size\n";
        return script;
    }
    // Sends body with digest in pieces of chunk bytes; the two replies.
    int Send(const String& body, const String& digest, int chunk, int pauseMs, String& first,
             String& final) {
        String err;
        int result = OwlUpgrade("127.0.0.1", agent_->port(), String(agent_->password().c_str()),
                                body, digest, chunk, pauseMs, 20000, first, final, err);
        EXPECT_EQ(result, OWL_REPLY) << Str(err);
        return result;
    }
    // Waits for the new program to have run; what it recorded.
    std::string NewProgramRan() const {
        for (int i = 0; i < 100 && work_.Read("new-agent-ran").empty(); i++) usleep(100 * 1000);
        return work_.Read("new-agent-ran");
    }

    TempDir work_;
    std::unique_ptr<TestAgent> agent_;
    String body_;
};

TEST_F(Upgrade, OneChunkAndOwlctl) {
    work_.Write("new-owl", NewProgram());
    RunResult r = RunProgram(OWLCTL_BINARY,
                             {"-p", std::to_string(agent_->port()), "-w", agent_->password(),
                              "upgrade", work_.File("new-owl")},
                             20000);
    EXPECT_EQ(r.status, 0) << r.output;
    EXPECT_EQ(r.output, "200\n");
    EXPECT_FALSE(NewProgramRan().empty());
}

// The digest arrives in pieces: it is collected until its 16 bytes are there.
TEST_F(Upgrade, DigestSplitAcrossChunks) {
    String first, final;
    // 5000 + 16 bytes in pieces of 7, with a pause so that they arrive apart.
    Send(body_, UpgradeDigest(body_), 7, 1, first, final);
    EXPECT_EQ(Str(final), "200\n\r");
    EXPECT_FALSE(NewProgramRan().empty());
}

TEST_F(Upgrade, FailuresReleaseTheReservation) {
    TestAgent& agent = *agent_;
    EXPECT_EQ(agent.Request("UpgradeCode", {"100"}).text, "501\nWrong file parameter(s)\n\r");
    EXPECT_EQ(agent.Request("UpgradeCode", {"10485760"}).text, "501\nWrong file parameter(s)\n\r");

    // A changed byte: "Wrong CRC" and no temporary file left.
    String changed = body_;
    changed.Data()[50] ^= 1;
    String first, final, err;
    Send(changed, UpgradeDigest(body_), 0, 0, first, final);
    EXPECT_EQ(Str(final), "300\nWrong CRC\n\r");
    EXPECT_NE(access(work_.File("owl__.upd").c_str(), F_OK), 0);

    // A peer that leaves mid-body frees the reservation for the next one.
    {
        String key = NewSessionKey();
        String request =
            BuildRequestPacket(String(agent.password().c_str()), key,
                               BuildRequestText(String("UpgradeCode"), {String("101")}));
        int sock = ConnectAgent("127.0.0.1", agent.port(), 3000, err);
        ASSERT_GE(sock, 0);
        ASSERT_TRUE(SendAll(sock, request.Data(), request.Length(), err));
        String packet, text;
        ASSERT_EQ(ReadReplyPacket(sock, 5000, packet, err), OWL_REPLY);
        ASSERT_TRUE(DecodeReplyPacket(packet, key, text));
        EXPECT_EQ(Str(text), "200\n\r");
        // A second upgrade while this one transfers is refused.
        EXPECT_EQ(agent.Request("UpgradeCode", {"5000"}).text, "302\n\r");
        ASSERT_TRUE(SendAll(sock, "partial", 7, err));
        close(sock);
    }
    Reply next;
    for (int i = 0; i < 30; i++) {
        usleep(100 * 1000);
        next = agent.Request("UpgradeCode", {"101"});
        if (next.status == "200") break;
    }
    EXPECT_EQ(next.text, "200\n\r");
    EXPECT_TRUE(agent.process().Running());
}

// The agent installs the program at owlpath and starts it with its own
// arguments. Links planted at both upgrade names in the temporary folder
// are replaced, never followed: the files they point at stay as they were.
TEST_F(Upgrade, InstallsAndStartsTheNewProgramWithoutFollowingLinks) {
    TempDir other;
    other.Write("precious", "keep me\n");
    other.Write("script", "keep me too\n");
    ASSERT_EQ(symlink(other.File("precious").c_str(), work_.File("owl__.upd").c_str()), 0);
    ASSERT_EQ(symlink(other.File("script").c_str(), work_.File("owlupd__.sh").c_str()), 0);
    String first, final;
    Send(body_, UpgradeDigest(body_), 1024, 0, first, final);
    EXPECT_EQ(Str(first), "200\n\r");
    EXPECT_EQ(Str(final), "200\n\r");
    EXPECT_EQ(NewProgramRan(), "-i " + agent_->ConfigPath() + "\n");
    EXPECT_EQ(work_.Read("owl-copy"), Str(body_));
    EXPECT_EQ(other.Read("precious"), "keep me\n");
    EXPECT_EQ(other.Read("script"), "keep me too\n");
    int status;
    EXPECT_TRUE(agent_->WaitExit(5000, &status));
}

}  // namespace
