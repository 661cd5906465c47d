// Programs and scripts through the real agent: TEST-ExternalPrg,
// ACT-ExternalCmd, TEST-ShellScript and the configured scripts of
// TEST-Process, TEST-CPU and GetProcessesList.
#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "protocol/codecs.h"
#include "support/agent.h"

namespace {

long long Ms() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

std::string Enc(const std::string& s) { return Str(owlEncodeStrings(String(s.c_str()))); }

// Entries of a folder besides "." and "..".
int Entries(const std::string& path) {
    int n = 0;
    DIR* d = opendir(path.c_str());
    while (dirent* e = readdir(d))
        if (std::string(e->d_name) != "." && std::string(e->d_name) != "..") n++;
    closedir(d);
    return n;
}

using Settings = std::map<std::string, std::string>;

// An agent whose temporary folder is a TempDir of its own.
struct ScriptAgent {
    explicit ScriptAgent(const std::map<std::string, std::string>& settings = {})
        : agent(settings) {
        agent.settings()["tmpdir"] = tmp.path();
    }
    std::string Script(const std::string& name, const std::string& text) {
        scripts.Write(name, text);
        chmod(scripts.File(name).c_str(), 0755);
        return scripts.File(name);
    }
    TempDir tmp, scripts;
    TestAgent agent;
};

struct Case {
    std::string command;
    std::vector<std::string> params;
    std::string text;  // the whole reply text without the final CR
};

void Expect(const TestAgent& agent, const std::vector<Case>& cases) {
    for (const Case& c : cases) {
        Reply r = agent.Request(c.command, c.params);
        EXPECT_EQ(r.text, c.text + "\r") << c.command << " " << c.params[0];
    }
}

TEST(Programs, ExternalAndActionReplies) {
    ScriptAgent s(Settings{{"executeaction", "1"}});
    ASSERT_TRUE(s.agent.Start()) << s.agent.Output();
    std::string out = s.scripts.File("pwd");
    Expect(s.agent,
           {
               {"TEST-ExternalPrg", {"/bin/sh -c 'exit 2'", "", "", "0"}, "200\n2\n"},
               {"TEST-ExternalPrg", {"/bin/true", "", "", "-1"}, "200\n0\n"},
               {"TEST-ExternalPrg", {"", "", "", "5s"}, "501\nWrong parameter\n"},
               {"TEST-ExternalPrg",
                {" ", "", "", "0"},
                "501\nCommand line to execute is not specified\n"},
               {"TEST-ExternalPrg",
                {"/no/such/prog", "", "", "0"},
                "301\nexec error: No such file or directory\n"},
               {"TEST-ExternalPrg", {"/bin/sleep 5", "", "", "200"}, "301\nabnormal termination\n"},
               {"ACT-ExternalCmd",
                {"/bin/sh -c 'pwd > " + out + "'", s.tmp.path(), "7", "0"},
                "200\n0\n"},
               {"ACT-ExternalCmd", {"/bin/true", "", "x", "0"}, "501\nWrong parameter\n"},
               {"ACT-ExternalCmd",
                {"", "", "", "0"},
                "501\nCommand line to execute is not specified\n"},
           });
    EXPECT_EQ(s.scripts.Read("pwd"), s.tmp.path() + "\n");

    ScriptAgent off(Settings{{"external", "0"}});
    ASSERT_TRUE(off.agent.Start());
    Expect(off.agent, {{"TEST-ExternalPrg", {"/bin/true"}, "600\ntest is not allowed\n"},
                       {"ACT-ExternalCmd", {"/bin/true"}, "600\noperation is not allowed\n"}});
}

TEST(Programs, TenSlowProgramsRunSideBySide) {
    ScriptAgent s;
    ASSERT_TRUE(s.agent.Start()) << s.agent.Output();
    std::atomic<int> ok{0};
    long long start = Ms();
    std::vector<std::thread> clients;
    for (int i = 0; i < 10; i++)
        clients.emplace_back([&] {
            Reply r = s.agent.Request("TEST-ExternalPrg", {"/bin/sleep 2", "", "", "0"});
            if (r.text == "200\n0\n\r") ok++;
        });
    for (auto& t : clients) t.join();
    EXPECT_EQ(ok, 10);
    EXPECT_LT(Ms() - start, 6000);
}

TEST(Programs, ShellScript) {
    ScriptAgent s;
    ASSERT_TRUE(s.agent.Start()) << s.agent.Output();
    std::string script = "echo plain\r\necho\r\necho \"SCRIPTRES: ok $1\"\r\necho more >&2\r\n";
    Reply r = s.agent.Request("TEST-ShellScript",
                              {"/bin/sh %Script% %PARAMS%", Enc(script), Enc("p1"), "5", "2"});
    EXPECT_EQ(r.text, "200\nSCRIPTRES: ok p1\nplain%0D%0ASCRIPTRES: ok p1%0D%0A\n\r");
    // Without a marker the last line is the result; a "#!"-less script
    // started directly.
    r = s.agent.Request("TEST-ShellScript", {"%script%", Enc("echo a\necho b\n"), "", "0", "0"});
    EXPECT_EQ(r.text, "200\nb\n\n\r");
    long long start = Ms();
    r = s.agent.Request("TEST-ShellScript", {"/bin/sh %script%", Enc("sleep 30"), "", "1", "0"});
    EXPECT_EQ(r.text, "301\nScript execution error: abnormal termination\n\r");
    EXPECT_LT(Ms() - start, 3000);
    r = s.agent.Request("TEST-ShellScript", {"/no/shell %script%", Enc("x"), "", "1", "0"});
    EXPECT_EQ(r.text, "301\nScript execution error: exec error: No such file or directory\n\r");
    EXPECT_EQ(Entries(s.tmp.path()), 0);
}

TEST(Programs, ConfiguredScripts) {
    ScriptAgent s;
    std::string marker = s.scripts.File("pwned");
    s.agent.settings()["proccntscript"] = s.Script("count.sh", "#!/bin/sh\necho \"  $#\"\n");
    s.agent.settings()["cpuusagescript"] = s.Script("cpu.sh", "#!/bin/sh\necho 12.5 >&2\n");
    s.agent.settings()["proclistscript"] =
        s.Script("list.sh", "#!/bin/sh\nprintf 'init\\n\\n sshd \\nbash\\n'\n");
    ASSERT_TRUE(s.agent.Start()) << s.agent.Output();
    Expect(s.agent,
           {
               {"TEST-Process", {"ignored", "httpd"}, "200\n1\n"},
               {"TEST-Process", {"", "a b\tc"}, "200\n3\n"},
               {"TEST-Process", {"", "x; touch " + marker}, "200\n3\n"},
               {"TEST-Process", {"", "$(touch " + marker + ")`touch " + marker + "`"}, "200\n3\n"},
               {"TEST-Process", {"name", ""}, "501\nName of the process is not specified\n"},
               {"TEST-CPU", {""}, "200\n12.5000\n"},
               {"GetProcessesList", {""}, "200\ninit%0D%0A sshd %0D%0Abash%0D%0A\n"},
           });
    EXPECT_FALSE(std::ifstream(marker).good());
    EXPECT_EQ(Entries(s.tmp.path()), 0);

    ScriptAgent bad;
    bad.agent.settings()["proccntscript"] = bad.scripts.File("missing.sh");
    bad.agent.settings()["cpuusagescript"] = bad.Script("cpu.sh", "#!/bin/sh\necho busy\n");
    ASSERT_TRUE(bad.agent.Start()) << bad.agent.Output();
    Expect(bad.agent, {
                          {"TEST-Process", {"", "x"}, "301\nProcCnt script doesn't exist\n"},
                          {"TEST-CPU", {""}, "301\nScript error\n"},
                          {"GetProcessesList", {""}, "301\nProcList script is not speified\n"},
                      });
    EXPECT_EQ(Entries(bad.tmp.path()), 0);
    ScriptAgent off(Settings{{"process", "0"}, {"cpuusage", "0"}});
    ASSERT_TRUE(off.agent.Start());
    Expect(off.agent, {{"TEST-Process", {"", "x"}, "600\ntest is not allowed\n"},
                       {"TEST-CPU", {""}, "600\ntest is not allowed\n"},
                       {"GetProcessesList", {""}, "600\ntest is not allowed\n"}});
}

}  // namespace
