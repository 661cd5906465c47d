// What an operator meets: settings that would strand the agent are refused,
// stop signals end it cleanly, unwritable logs and failed reloads are
// reported, owl -t / --version, and owlctl as a scripting tool.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>

#include "core/version.h"
#include "protocol/client.h"
#include "support/agent.h"

namespace {

int Count(const std::string& text, const std::string& what) {
    int n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) n++;
    return n;
}

TEST(Operate, SetSettingsRefusesValuesThatStrandTheAgent) {
    TestAgent agent({{"comment", "before"}});
    ASSERT_TRUE(agent.Start()) << agent.Output();
    const std::string file = agent.dir().Read("owl.cfg");
    const std::vector<std::vector<std::string>> refused = {
        {"Port=abc"},
        {"Port=0"},
        {"Port=70000"},
        {"Port=-1"},
        {"Port=1e3"},
        {"Timeout=abc"},
        {"Timeout=1.5"},
        {"Timeout=-5"},
        {"Password="},
        {"Password=   "},
        {"Comment=new", "Port=0"},
        {"Port=0", "Comment=new"},
    };
    for (const auto& params : refused) {
        EXPECT_EQ(agent.Request("SetSettings", params).text, "501\nWrong parameter\n\r")
            << params[0];
        EXPECT_EQ(agent.dir().Read("owl.cfg"), file) << params[0];
    }
    EXPECT_EQ(access(agent.dir().File("owl.cfg.Old").c_str(), F_OK), -1);
    Reply s = agent.Request("GetSettings");
    EXPECT_NE(s.body.find("\nComment=before\n"), std::string::npos);
    EXPECT_NE(s.body.find("\nPort=" + std::to_string(agent.port()) + "\n"), std::string::npos);
    // Sound values still pass, and the file takes them.
    EXPECT_EQ(agent.Request("SetSettings", {"Timeout=3000", "Password=next"}).status, "200");
    EXPECT_NE(agent.dir().Read("owl.cfg").find("timeout=3000\r\n"), std::string::npos);
    EXPECT_EQ(agent.Request("GetInfo", {}, "next").status, "200");
}

// 300,000 lines are refused at once and never hold the settings lock; a
// GetInfo alongside is answered within its own time-out.
TEST(Operate, HugeSetSettingsDoesNotStallOthers) {
    TestAgent agent;
    ASSERT_TRUE(agent.Start()) << agent.Output();
    std::atomic<bool> done{false};
    std::string bigStatus;
    std::thread big([&] {
        std::vector<String> lines(300000);  // empty lines, as a careless console sends them
        String text, err;
        OwlRequest("127.0.0.1", agent.port(), String(agent.password().c_str()),
                   String("SetSettings"), lines, 20000, text, err);
        bigStatus = Str(text).substr(0, 3);
        done = true;
    });
    int answered = 0;
    for (int i = 0; i < 20 && (i == 0 || !done); i++) {
        String text, err;
        int r = OwlRequest("127.0.0.1", agent.port(), String(agent.password().c_str()),
                           String("GetInfo"), {}, 2000, text, err);
        EXPECT_EQ(r, OWL_REPLY) << Str(err);
        answered++;
        usleep(20 * 1000);
    }
    big.join();
    EXPECT_GT(answered, 0);
    EXPECT_EQ(bigStatus, "501");
    // Many lines within the bound are one pass: "200" and the last value wins.
    std::vector<std::string> many(4000, "Comment=x");
    many.back() = "Comment=last";
    EXPECT_EQ(agent.Request("SetSettings", many).status, "200");
    EXPECT_NE(agent.Request("GetSettings").body.find("\nComment=last\n"), std::string::npos);
}

TEST(Operate, FilePortOutOfRangeStopsStartUp) {
    for (const char* port : {"70000", "-5", "65536"}) {
        TestAgent agent({{"port", port}});
        agent.WriteConfig();
        RunResult r = RunProgram(OWL_BINARY, {"-i", agent.ConfigPath()}, 10000);
        EXPECT_EQ(r.status, 1) << port;
        EXPECT_NE(r.output.find(std::string("TCP port ") + port + " is out of range"),
                  std::string::npos)
            << r.output;
        RunResult t = RunProgram(OWL_BINARY, {"-t", agent.ConfigPath()}, 10000);
        EXPECT_EQ(t.status, 1) << t.output;
    }
}

TEST(Operate, CheckOnlyAndVersion) {
    TestAgent agent;
    agent.WriteConfig();
    RunResult ok = RunProgram(OWL_BINARY, {"-t", agent.ConfigPath()});
    EXPECT_EQ(ok.status, 0);
    EXPECT_EQ(ok.output, "Settings checking .. Ok\n");
    agent.settings()["cpuusagescript"] = "/nonexistent/cpu.sh";
    agent.settings()["proccntscript"] = agent.ConfigPath();  // not executable
    agent.WriteConfig();
    RunResult scripts = RunProgram(OWL_BINARY, {"-t", agent.ConfigPath()});
    EXPECT_EQ(scripts.status, 0);
    EXPECT_EQ(scripts.output,
              "Settings checking .. Ok\n"
              "Warning: cpuusagescript '/nonexistent/cpu.sh': no such file\n"
              "Warning: proccntscript '" +
                  agent.ConfigPath() + "': not executable\n");
    agent.settings()["password"] = "";
    agent.WriteConfig();
    RunResult bad = RunProgram(OWL_BINARY, {"-t", agent.ConfigPath()});
    EXPECT_EQ(bad.status, 1);
    EXPECT_NE(bad.output.find("Error\n  Password is not specified!\n"), std::string::npos);
    EXPECT_EQ(RunProgram(OWL_BINARY, {"--version"}).output, "owl " OWL_VERSION "\n");
    EXPECT_EQ(RunProgram(OWLCTL_BINARY, {"--version"}).output, "owlctl " OWL_VERSION "\n");
}

// SIGTERM (and SIGINT at the terminal) end the agent like "QUIT": a request
// in progress gets its reply, the exit status is 0.
TEST(Operate, StopSignalsEndLikeQuit) {
    for (int sig : {SIGTERM, SIGINT}) {
        TestAgent agent;
        ASSERT_TRUE(agent.Start()) << agent.Output();
        String key("session-key"), err;
        String packet = BuildRequestPacket(String(agent.password().c_str()), key,
                                           BuildRequestText(String("GetInfo"), {}));
        int sock = ConnectAgent("127.0.0.1", agent.port(), 3000, err);
        ASSERT_GE(sock, 0);
        ASSERT_TRUE(SendAll(sock, packet.Data(), 10, err));
        usleep(100 * 1000);
        agent.process().Kill(sig);
        usleep(300 * 1000);
        ASSERT_TRUE(SendAll(sock, packet.Data() + 10, packet.Length() - 10, err));
        String reply, text;
        EXPECT_EQ(ReadReplyPacket(sock, 5000, reply, err), OWL_REPLY);
        EXPECT_TRUE(DecodeReplyPacket(reply, key, text));
        EXPECT_EQ(Str(text).substr(0, 4), "200\n");
        close(sock);
        int status = -1;
        ASSERT_TRUE(agent.WaitExit(8000, &status));
        EXPECT_EQ(status, 0);
        EXPECT_NE(agent.Output().find(sig == SIGTERM ? "SIGTERM received" : "SIGINT received"),
                  std::string::npos);
    }
}

TEST(Operate, SigtermRemovesThePidFile) {
    TempDir scratch;
    std::string pidfile = scratch.File("owl.pid");
    TestAgent agent({{"pidfile", pidfile}});
    ASSERT_TRUE(agent.StartDaemon());
    ASSERT_EQ(access(pidfile.c_str(), F_OK), 0);
    kill(agent.pid(), SIGTERM);
    int status;
    ASSERT_TRUE(agent.WaitExit(8000, &status));
    EXPECT_EQ(access(pidfile.c_str(), F_OK), -1);
    EXPECT_NE(agent.dir().Read("ok.log").find("SIGTERM received"), std::string::npos);
}

// An unwritable log is named on the console at start and, once, in the next
// log that can be written.
TEST(Operate, UnwritableLogIsReported) {
    TestAgent agent({{"badlogfile", "/nonexistent-owl-folder/fail.log"}});
    ASSERT_TRUE(agent.Start()) << agent.Output();
    EXPECT_NE(agent.Output().find("Warning: cannot open log file "
                                  "'/nonexistent-owl-folder/fail.log': No such file or directory"),
              std::string::npos)
        << agent.Output();
    for (int i = 0; i < 3; i++) EXPECT_EQ(agent.Request("GetInfo").status, "200");
    agent.Request("GetInfo", {}, "wrong password");  // a failure the bad log misses
    ASSERT_TRUE(agent.WaitForLog("ok.log", "Cannot open log file", 3000));
    EXPECT_EQ(Count(agent.dir().Read("ok.log"), "Cannot open log file"), 1);
}

TEST(Owlctl, UsageErrorsAndPasswordSources) {
    unsetenv("OWL_PASSWORD");
    const std::vector<std::vector<std::string>> usage = {
        {"-w", "x"},
        {"--bogus", "-w", "x", "GetInfo"},
        {"-p", "abc", "-w", "x", "GetInfo"},
        {"-p", "0", "-w", "x", "GetInfo"},
        {"-t", "-1", "-w", "x", "GetInfo"},
        {"GetInfo"},
        {"-w"},
    };
    for (const auto& args : usage) {
        RunResult r = RunProgram(OWLCTL_BINARY, args);
        EXPECT_EQ(r.status, 64) << args[0] << r.output;
        EXPECT_NE(r.output.find("Usage: owlctl"), std::string::npos);
    }
    RunResult help = RunProgram(OWLCTL_BINARY, {"--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_EQ(help.output.rfind("Usage: owlctl", 0), 0u);

    TestAgent agent({{"comment", "a \"quoted\" note"}});
    ASSERT_TRUE(agent.Start()) << agent.Output();
    std::string port = std::to_string(agent.port());
    agent.dir().Write("pw", agent.password() + "\n");
    RunResult file =
        RunProgram(OWLCTL_BINARY, {"-p", port, "-W", agent.dir().File("pw"), "GetInfo"});
    EXPECT_EQ(file.status, 0) << file.output;
    setenv("OWL_PASSWORD", agent.password().c_str(), 1);
    RunResult env = RunProgram(OWLCTL_BINARY, {"--port", port, "--json", "SetSettings", "Port=0"});
    unsetenv("OWL_PASSWORD");
    EXPECT_EQ(env.status, 1);
    EXPECT_EQ(env.output, "{\"status\": \"501\", \"lines\": [\"Wrong parameter\"]}\n");
    RunResult json =
        RunProgram(OWLCTL_BINARY, {"-p", port, "-w", agent.password(), "-j", "GetInfo"});
    EXPECT_NE(json.output.find("\"Comment=a \\\"quoted\\\" note\""), std::string::npos);
    EXPECT_NE(json.output.find("\"Available tests=TCP\\r\\nUDP\\r\\n"), std::string::npos);
}

TEST(Owlctl, SaysWhyNoReplyCame) {
    const char kWhy[] = "closed without a reply (wrong password, or this address is not allowed)";
    TestAgent open;
    ASSERT_TRUE(open.Start()) << open.Output();
    RunResult wrong =
        RunProgram(OWLCTL_BINARY, {"-p", std::to_string(open.port()), "-w", "nope", "GetInfo"});
    EXPECT_EQ(wrong.status, 2);
    EXPECT_NE(wrong.output.find(kWhy), std::string::npos) << wrong.output;
    TestAgent filtered({{"filteractive", "1"}, {"filterlist", "10.9.9.9"}});
    ASSERT_TRUE(filtered.Start()) << filtered.Output();
    RunResult rejected = RunProgram(OWLCTL_BINARY, {"-p", std::to_string(filtered.port()), "-w",
                                                    filtered.password(), "GetInfo"});
    EXPECT_EQ(rejected.status, 2);
    EXPECT_NE(rejected.output.find(kWhy), std::string::npos) << rejected.output;
}

}  // namespace
