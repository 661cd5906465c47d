// Programs, scripts, network tests and actions through the real agent, with
// stand-ins on 127.0.0.1 and scripts written into scratch folders.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "support/agent.h"
#include "text/codecs.h"

namespace {

using Settings = std::map<std::string, std::string>;
using Params = std::vector<std::string>;

std::string Enc(const std::string& s) { return Str(owlEncodeStrings(String(s.c_str()))); }

// A loopback socket of type and its port as text.
int Bound(int type, std::string* port) {
    int number = 0, fd = BoundLoopback(type, &number);
    *port = std::to_string(number);
    return fd;
}

// An agent with every action on and a temporary folder of its own.
struct Agent {
    explicit Agent(Settings settings = {})
        : agent(Settings{{"executeaction", "1"}, {"tcpudpaction", "1"}, {"syslogaction", "1"}}) {
        settings["tmpdir"] = tmp.path();
        for (auto& kv : settings) agent.settings()[kv.first] = kv.second;
    }
    std::string Script(const std::string& name, const std::string& text) {
        scripts.Write(name, text);
        chmod(scripts.File(name).c_str(), 0755);
        return scripts.File(name);
    }
    TempDir tmp, scripts;
    TestAgent agent;
};

// One agent for most tests, with the configured scripts: count.sh prints
// its argument count, cpu.sh "12.5" on standard error, list.sh what the
// mode file asks for ("list": a short list; "big" and "long": more than the
// list's bound; anything else: nothing).
class Programs : public ::testing::Test {
  protected:
    static Agent& Shared() {
        if (shared_) return *shared_;
        shared_ = std::make_unique<Agent>();
        Agent& a = *shared_;
        const std::string mode = a.scripts.File("mode");
        a.scripts.Write("mode", "list");
        a.agent.settings()["proccntscript"] = a.Script("count.sh", "#!/bin/sh\necho \"  $#\"\n");
        a.agent.settings()["cpuusagescript"] = a.Script("cpu.sh", "#!/bin/sh\necho 12.5 >&2\n");
        a.agent.settings()["proclistscript"] = a.Script(
            "list.sh", "#!/bin/sh\ncase $(cat " + mode +
                           ") in\nlist) printf 'init\\n\\n sshd \\nbash\\n' ;;\n"
                           "big) yes 0123456789abcdefghi | head -c 100000000\n"
                           "ls -A \"$TMPDIR\" >" +
                           a.scripts.File("seen") +
                           " ;;\n"
                           "long) head -c 10000000 /dev/zero | tr '\\0' a; echo ;;\nesac\n");
        EXPECT_TRUE(a.agent.Start({"-v"})) << a.agent.Output();
        return a;
    }
    static void TearDownTestSuite() { shared_.reset(); }
    inline static std::unique_ptr<Agent> shared_;
};

TEST_F(Programs, ExternalPrograms) {
    // clang-format off
    Shared().agent.Expect({
        {"TEST-ExternalPrg", {"/bin/sh -c 'exit 2'", "", "", "0"}, "200\n2\n"},
        {"TEST-ExternalPrg", {"/bin/true", "", "", "-1"}, "200\n0\n"},
        // The usual scheduling policy (stat's field 41), not the sessions' own.
        {"TEST-ExternalPrg", {"/bin/sh -c 'set -- $(cat /proc/$$/stat); exit ${41}'", "", "", "0"}, "200\n0\n"},
        {"TEST-ExternalPrg", {"", "", "", "5s"}, "501\nWrong parameter\n"},
        {"TEST-ExternalPrg", {" ", "", "", "0"}, "501\nCommand line to execute is not specified\n"},
        {"TEST-ExternalPrg", {"/no/such", "", "", "0"}, "301\nexec error: No such file or directory\n"},
        {"TEST-ExternalPrg", {"/bin/sleep 5", "", "", "200"}, "301\nabnormal termination\n"},
    });
    // clang-format on
}

// The command runs in the folder it is given.
TEST_F(Programs, ExternalCommandAction) {
    TempDir work;
    std::string pwd = "/bin/sh -c 'pwd > " + work.File("pwd") + "'";
    Shared().agent.Expect(
        {{"ACT-ExternalCmd", {pwd, work.path(), "7", "0"}, "200\n0\n"},
         {"ACT-ExternalCmd", {"/bin/true", "", "x", "0"}, "501\nWrong parameter\n"}});
    EXPECT_EQ(work.Read("pwd"), work.path() + "\n");
}

// A marker line in capitals; no marker (the last line); a script without
// "#!" started directly; a shell that is missing; a script that never ends.
TEST_F(Programs, ShellScripts) {
    Agent& a = Shared();
    std::string script =
        Enc("echo plain\r\necho\r\necho \"SCRIPTRES: ok $1\"\r\necho more >&2\r\n");
    long long start = Ms();
    // clang-format off
    a.agent.Expect({
        {"TEST-ShellScript", {"/bin/sh %Script% %PARAMS%", script, "p1", "5", "2"},
         "200\nSCRIPTRES: ok p1\nplain%0D%0ASCRIPTRES: ok p1%0D%0A\n"},
        {"TEST-ShellScript", {"%script% %PARAMS%", Enc("echo a\necho $# $1\n"), "p1", "0", "0"}, "200\n1 p1\n\n"},
        {"TEST-ShellScript", {"/no/sh %script%", "x", "", "1", "0"},
         "301\nScript execution error: exec error: No such file or directory\n"},
        {"TEST-ShellScript", {"/bin/sh %script%", "sleep 30", "", "1", "0"},
         "301\nScript execution error: abnormal termination\n"},
    });
    // clang-format on
    EXPECT_LT(Ms() - start, 3000);
    EXPECT_EQ(Entries(a.tmp.path()), 0);
}

// Process names reach the count script as words, never through a shell.
TEST_F(Programs, ConfiguredScripts) {
    Agent& a = Shared();
    std::string marker = a.scripts.File("pwned");
    // clang-format off
    a.agent.Expect({
        {"TEST-Process", {"ignored", "httpd"}, "200\n1\n"},
        {"TEST-Process", {"", "a b\tc"}, "200\n3\n"},
        {"TEST-Process", {"", "x'; touch " + marker + " '"}, "200\n4\n"},
        {"TEST-Process", {"", "$(touch " + marker + ")`touch " + marker + "`"}, "200\n3\n"},
        {"TEST-Process", {"name", ""}, "501\nName of the process is not specified\n"},
        {"TEST-CPU", {""}, "200\n12.5000\n"},
        {"GetProcessesList", {""}, "200\ninit%0D%0A sshd %0D%0Abash%0D%0A\n"},
    });
    // clang-format on
    EXPECT_FALSE(std::ifstream(marker).good());
    EXPECT_EQ(Entries(a.tmp.path()), 0);
}

TEST_F(Programs, ScriptFailures) {
    Agent bad(Settings{{"proccntscript", "/no/such.sh"}});
    bad.agent.settings()["cpuusagescript"] = bad.Script("cpu.sh", "#!/bin/sh\necho busy\n");
    ASSERT_TRUE(bad.agent.Start()) << bad.agent.Output();
    bad.agent.Expect({{"TEST-CPU", {""}, "301\nScript error\n"},
                      {"TEST-Process", {"", "x"}, "301\nProcCnt script doesn't exist\n"},
                      {"GetProcessesList", {""}, "301\nProcList script is not speified\n"}});
}

// A process-list script that prints without end costs at most the list's
// bound: the reply carries whole pieces up to it, the log says how much was
// left out, the output is stored nowhere and the agent's memory grows by
// less than the output.
TEST_F(Programs, ProcessListIsBounded) {
    Agent& a = Shared();
    const long long peak = PeakMemory(a.agent.pid());
    const long long bound = 8 << 20;
    // Output, the piece a line is cut into, the pieces kept and the bytes left out.
    const struct {
        const char* mode;
        std::string piece;
        long long kept, discarded;
    } cases[] = {
        {"none", "", 0, 0},
        {"big", "0123456789abcdefghi", bound / 21, 100000000 - bound / 21 * 20},
        {"long", std::string(511, 'a'), bound / 513, 10000001 - bound / 513 * 511},
    };
    for (const auto& c : cases) {
        a.scripts.Write("mode", c.mode);
        Reply r = a.agent.Request("GetProcessesList", {}, "", 60000);
        ASSERT_EQ(r.status, "200") << c.mode;
        std::string expected;
        for (long long i = 0; i < c.kept; i++) expected += c.piece + "\r\n";
        EXPECT_TRUE(Str(owlDecodeStrings(Bytes(r.body))) == expected) << c.mode;
        if (c.discarded == 0) continue;
        EXPECT_TRUE(a.agent.WaitForLog("verbose.log",
                                       "list.sh\" printed more than 8388608 bytes: " +
                                           std::to_string(c.discarded) + " bytes discarded\n",
                                       3000))
            << c.mode;
    }
    a.scripts.Write("mode", "list");
    EXPECT_EQ(a.scripts.Read("seen"), "");  // no file of the output in the temporary folder
    if (!kSanitizedBuild) {
        EXPECT_LT(PeakMemory(a.agent.pid()) - peak, 100000000) << peak;
    }
}

// TCP and UDP tests against stand-ins.
TEST_F(Programs, NetworkTests) {
    Agent& a = Shared();
    std::string tcp, udp;
    int fd = Bound(SOCK_DGRAM, &udp);
    {
        TcpPeer answering(
            [](int c) {
                std::string answer = "got:" + ReceiveUntilQuiet(c, 200);
                send(c, answer.data(), answer.size(), MSG_NOSIGNAL);
            },
            2);
        tcp = std::to_string(answering.port);
        std::thread server([&] { UdpReceive(fd, true); });
        // clang-format off
        a.agent.Expect({
            {"TEST-TCP", {"127.0.0.1", tcp, "2000", "", "0"}, "200\n\n"},
            {"TEST-TCP", {"127.0.0.1", tcp, "2000", " a%0D%0Ab\x01", "1000000000"}, "200\ngot: a%0D%0Ab\x01\n"},
            {"TEST-UDP", {"127.0.0.1", udp, "1000", "1", "ping%0A", "100"}, "200\nre:ping%0A\n"},
        }, true);
        // clang-format on
        server.join();
    }
    // clang-format off
    long long start = Ms();
    a.agent.Expect({
        {"TEST-TCP", {"127.0.0.1", tcp, "500", "x", "-5"}, "301\nConnection refused\n-6\n"},
        {"TEST-TCP", {"127.0.0.1", "70000", "500", "", "0"}, "301\nInvalid argument\n-6\n"},
        {"TEST-TCP", {std::string(300, 'h'), "80", "500", "", "0"}, "301\nCannot resolve server name to IP address\n-2\n"},
        {"TEST-TCP", {"127.0.0.1", "8o", "500", "", "0"}, "501\nWrong parameter\n"},
        {"TEST-TCP", {"127.0.0.1", "80", "500", "", "x"}, "501\nWrong parameter\n"},
        {"TEST-UDP", {"127.0.0.1", udp, "500", "2", "q", "10"}, "301\nTimeout\n0\n"},
        {"TEST-UDP", {"127.0.0.1", udp, "500", "0", "q", "0"}, "501\nWrong parameter\n"},
        {"TEST-UDP", {"127.0.0.1", udp, "500", "-3", "q", "0"}, "501\nWrong parameter\n"},
        {"TEST-UDP", {"127.0.0.1", udp, "500", "1", "", "0"}, "501\nWrong parameter\n"},
    });
    // clang-format on
    EXPECT_GE(Ms() - start, 1900);  // two attempts of a whole second each
    close(fd);
}

// The send and syslog actions against stand-ins.
TEST_F(Programs, Actions) {
    Agent& a = Shared();
    std::string got, tcp, udp;
    int fd = Bound(SOCK_DGRAM, &udp);
    {
        TcpPeer reader([&](int c) { got = ReceiveUntilQuiet(c, 3000); });
        tcp = std::to_string(reader.port);
        // clang-format off
        a.agent.Expect({
            {"ACT-TCPUDPsend", {"127.0.0.1", tcp, "0", "first", "1", "second"}, "200\nData has been sent\n"},
            {"ACT-TCPUDPsend", {"127.0.0.1", udp, "1", "one%0D%0A", "0", "two"}, "200\nData has been sent\n"},
            {"ACT-Syslog", {"127.0.0.1", udp, "23", "6", "disk%0Afull"}, "200\nSyslog: Data to 127.0.0.1 has been sent\n"},
        });
        // clang-format on
    }
    EXPECT_EQ(got, "firstsecond");
    EXPECT_EQ(UdpReceive(fd), "one\r\n");
    EXPECT_EQ(UdpReceive(fd), "two");
    std::string datagram = UdpReceive(fd);
    EXPECT_EQ(datagram.substr(0, 5) + datagram.substr(datagram.size() - 18),
              "<190> VT OWL: disk\nfull");
    close(fd);
    // clang-format off
    a.agent.Expect({
        {"ACT-TCPUDPsend", {"127.0.0.1", tcp, "0", "first", "0", ""}, "301\nConnection refused\n"},
        {"ACT-TCPUDPsend", {"", udp, "1", "x"}, "501\nWrong parameter\n"},
        {"ACT-TCPUDPsend", {"127.0.0.1", udp, "1", ""}, "501\nWrong parameter\n"},
        {"ACT-Syslog", {"127.0.0.1", udp, "1", "8", "m"}, "501\nWrong parameter\n"},
        {"ACT-Syslog", {std::string(300, 'h'), "514", "1", "1", "m"}, "301\nCannot resolve server name to IP address\n"},
    });
    // clang-format on
}

// The sample scripts that the package ships, configured as the packaged
// owl.cfg configures them; the counting shells are not counted, the list
// names each process once.
TEST_F(Programs, SampleScripts) {
    const std::string dir = std::string(OWL_SOURCE_DIR) + "/packaging/scripts/";
    setenv("OWL_CPU_INTERVAL", "0.2", 1);
    Agent a(Settings{{"cpuusagescript", dir + "cpuusage.sh"},
                     {"proccntscript", dir + "proccount.sh"},
                     {"proclistscript", dir + "proclist.sh"}});
    ASSERT_TRUE(a.agent.Start()) << a.agent.Output();
    unsetenv("OWL_CPU_INTERVAL");
    // A process with a name of its own: a copy of sleep, started twice.
    const std::string name = "owlsmp" + std::to_string(getpid() % 100000);
    ASSERT_EQ(RunProgram("/bin/cp", {"/bin/sleep", a.scripts.File(name)}).status, 0);
    BackgroundProcess first, second;  // ended when the test ends
    ASSERT_TRUE(first.Start(a.scripts.File(name), {"30"}, a.tmp.File("1.out")));
    ASSERT_TRUE(second.Start(a.scripts.File(name), {"30"}, a.tmp.File("2.out")));
    EXPECT_TRUE(Eventually([&] {
        return a.agent.Request("TEST-Process", {"", name}).body == "2";
    }));
    a.agent.Expect({{"TEST-Process", {"", name + "x"}, "200\n0\n"},
                    {"TEST-Process", {"", "proccount.sh"}, "200\n0\n"}});
    Reply cpu = a.agent.Request("TEST-CPU");
    ASSERT_EQ(cpu.status, "200") << cpu.body;
    EXPECT_GE(std::stod(cpu.body), 0.0);
    EXPECT_LE(std::stod(cpu.body), 100.0);
    // Run as the agent runs it: one line, nothing on standard error.
    std::string out = RunProgram("/bin/sh", {"-c", dir + "cpuusage.sh 2>&1"}).output;
    EXPECT_EQ(out.find('\n'), out.size() - 1) << out;

    Reply list = a.agent.Request("GetProcessesList");
    ASSERT_EQ(list.status, "200") << list.body;
    std::string names = "\r\n" + Str(owlDecodeStrings(String(list.body.c_str())));
    EXPECT_EQ(Count(names, "\r\n" + name + "\r\n"), 1) << names;
    EXPECT_EQ(names.find("\r\n\r\n"), std::string::npos) << names;
}

}  // namespace
