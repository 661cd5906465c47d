// The owl and owlctl command lines run as separate processes: usage texts,
// the configuration check and its warnings, the start-up stages and their
// failures, and owlctl's labelled replies.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

#include "support/agent.h"
#include "text/version.h"

namespace {

const char kMissed[] = "Error\nInvalid or missed command line parameter\n\n Usage: owl";
const char kBadPort[] = "Error\nInvalid port number\n\n Usage: owl";
const std::string kTryHelp = "Try 'owlctl --help' for more information.\n";

// Each command line ends with its status and shows every text of its row
// (whole: exactly that output).
TEST(CommandLine, Outcomes) {
    unsetenv("OWL_PASSWORD");
    const char kLineOk[] = "Command line checking .. Ok\nSettings checking .. ";
    const char kCfg[] = "/nonexistent/owl.cfg";
    const std::string longPath = "/" + std::string(599, 'p');
    TempDir dir;
    auto config = [&](const std::string& name, std::map<std::string, std::string> settings) {
        settings.insert({"filteractive", "1"});
        TestAgent agent(settings);
        agent.WriteConfig();
        dir.Write(name, agent.dir().Read("owl.cfg"));
        return dir.File(name);
    };
    const std::string good = config("good", {}), noPassword = config("nopw", {{"password", ""}});
    const std::string scripts = config("scripts", {{"cpuusagescript", "/nonexistent/cpu.sh"},
                                                   {"proccntscript", good},
                                                   {"proclistscript", "/bin/sh"}});
    // Ports in the file out of range stop the start and the check.
    const std::string port1 = config("p1", {{"port", "70000"}}),
                      port2 = config("p2", {{"port", "-5"}}),
                      port3 = config("p3", {{"port", "65536"}});
    const struct {
        const char* program;
        std::vector<std::string> args;
        int status;
        std::vector<std::string> shown;
        std::string whole = "";
    } cases[] = {
        // clang-format off
        {OWL_BINARY, {}, 1, {"\n Application:  OWL (Owlwatch for Quellix)\n Version:      1.29 for "
            "Linux (Red Hat, Mandrake, SuSE)\n", kMissed, "  owl -d ~/owl/owl.cfg\n\n"}},
        {OWL_BINARY, {"-i"}, 1, {kMissed}},
        {OWL_BINARY, {"-i", "-p", "0", kCfg}, 1, {kBadPort}},
        {OWL_BINARY, {"-i", "-p", "65536", kCfg}, 1, {kBadPort}},
        // 65535 and -1 pass the command line; the missing file stops them later.
        {OWL_BINARY, {"-i", "-p", "65535", kCfg}, 1, {kLineOk}},
        {OWL_BINARY, {"-i", "-p", "-1", kCfg}, 1, {"Settings checking .. Error\nCannot open configuration file "
                        "'/nonexistent/owl.cfg'\nPlease check '/nonexistent/owl.cfg' file\n\n"}},
        // Options are bound to their place: -v before -i makes -i the path,
        // -vd before -v makes -v the path; -v then -vd is accepted.
        {OWL_BINARY, {"-v", "-i", "cfg"}, 1, {kLineOk, "'-i'"}},
        {OWL_BINARY, {"-vd", "-v", "cfg"}, 1, {kLineOk, "'-v'"}},
        {OWL_BINARY, {"-i", "-v", "-vd", kCfg}, 1, {kLineOk, std::string("'") + kCfg + "'"}},
        // A long path is cut to 511 bytes.
        {OWL_BINARY, {"-i", longPath}, 1, {"'" + longPath.substr(0, 511) + "'"}},
        {OWL_BINARY, {"-t", good}, 0, {}, "Settings checking .. Ok\n"},
        {OWL_BINARY, {"-t", scripts}, 0, {}, "Settings checking .. Ok\nWarning: cpuusagescript "
            "'/nonexistent/cpu.sh': no such file\nWarning: proccntscript '" + good + "': not executable\n"},
        {OWL_BINARY, {"-t", "--strict", scripts}, 2, {"Warning: cpuusagescript"}},
        {OWL_BINARY, {"-t", noPassword}, 1, {"Error\n  Password is not specified!\n"}},
        {OWL_BINARY, {"-t", port1}, 1, {"TCP port 70000 is out of range"}},
        {OWL_BINARY, {"-i", port2}, 1, {"TCP port -5 is out of range"}},
        {OWL_BINARY, {"-i", port3}, 1, {"TCP port 65536 is out of range"}},
        {OWL_BINARY, {"--version"}, 0, {}, "owl " OWL_VERSION "\n"},
        {OWLCTL_BINARY, {"--version"}, 0, {}, "owlctl " OWL_VERSION "\n"},
        {OWL_BINARY, {"--help"}, 0, {" Usage: owl [-d|-i]", "owl -t [--strict] <cfg_file>"}},
        {OWLCTL_BINARY, {"--help"}, 0, {"Usage: owlctl", "-c, --config FILE"}},
        // Usage errors: one line and where to look.
        {OWLCTL_BINARY, {"-w", "x"}, 64, {}, "owlctl: no command given\n" + kTryHelp},
        {OWLCTL_BINARY, {"--bogus", "-w", "x", "GetInfo"}, 64, {}, "owlctl: unknown option '--bogus'\n" + kTryHelp},
        {OWLCTL_BINARY, {"-p", "abc", "-w", "x", "GetInfo"}, 64, {}, "owlctl: invalid port\n" + kTryHelp},
        {OWLCTL_BINARY, {"-t", "-1", "-w", "x", "GetInfo"}, 64, {"invalid time-out"}},
        {OWLCTL_BINARY, {"GetInfo"}, 64, {"no password"}},
        {OWLCTL_BINARY, {"-w"}, 64, {}, "owlctl: option '-w' lacks its value\n" + kTryHelp},
        {OWLCTL_BINARY, {"-W", "/nonexistent", "GetInfo"}, 64, {}, "owlctl: cannot read the password "
            "file '/nonexistent': No such file or directory\n" + kTryHelp},
        {OWLCTL_BINARY, {"-c", "/nonexistent/owl.cfg", "GetInfo"}, 64, {"cannot read the configuration "
            "file '/nonexistent/owl.cfg': No such file or directory"}},
        {OWLCTL_BINARY, {"-c", port1, "GetInfo"}, 64, {"no valid port in"}},
        // clang-format on
    };
    for (const auto& c : cases) {
        RunResult r = RunProgram(c.program, c.args, 20000);
        SCOPED_TRACE((c.args.empty() ? "" : c.args.back()) + "\n" + r.output);
        EXPECT_EQ(r.status, c.status);
        for (const std::string& text : c.shown) EXPECT_NE(r.output.find(text), std::string::npos);
        if (!c.whole.empty()) {
            EXPECT_EQ(r.output, c.whole);
        }
    }
    EXPECT_EQ(RunOwl({"-i", longPath}).output.find(longPath.substr(0, 512)), std::string::npos);
}

// owl -t on broken files: each warning's line on standard error, the
// status 0 (2 with --strict); a clean file passes both silently.
TEST(CommandLine, ConfigurationWarnings) {
    TempDir dir;
    int busyPort = 0;
    int busy = BoundLoopback(SOCK_STREAM, &busyPort);
    const std::string base = "owlpath=" + std::string(OWL_BINARY) +
                             "\nport=" + std::to_string(FreeLoopbackPort()) +
                             "\npassword=secret\nhost=127.0.0.1\nfilteractive=1\n";
    const struct {
        std::string lines;  // after the five of base (lines 6 on)
        std::vector<std::string> warnings;
    } cases[] = {
        // clang-format off
        {"", {}},
        {"# hots=x\n\nPort = 1\nhots=0.0.0.0\nfilteractiv=1\nzzz=1\n", {
            "line 9: unknown key 'hots' (did you mean 'host'?)",
            "line 10: unknown key 'filteractiv' (did you mean 'filteractive'?)",
            "line 11: unknown key 'zzz'"}},
        {"password=change-me\n", {"password is the shipped placeholder 'change-me': set one of your own"}},
        {"filteractive=0\nallowupdates=0\n", {"filteractive=0 with allowmanage=1: any address may "
            "connect, and only manageaddr '127.0.0.1' and the password guard management"}},
        {"filteractive=0\nallowmanage=0\nupdateaddr=10.0.0.1\n", {"filteractive=0 with allowupdates=1: "
            "any address may connect, and only updateaddr '10.0.0.1' and the password guard upgrades"}},
        {"filteractive=0\nallowmanage=0\nallowupdates=0\n", {}},
        {"filterlist=127.0.0.1 localhost 10.1\nfiltermarks=111\n", {
            "filterlist: 'localhost' is not an IPv4 address", "filterlist: '10.1' is not an IPv4 address"}},
        {"manageaddr=127.0.0.1,10.0.0.x\nupdateaddr=10.0.0.1-10.0.0.9\n", {
            "manageaddr '127.0.0.1,10.0.0.x': Invalid IP address (10.0.0.) specified"}},
        {"port=" + std::to_string(busyPort) + "\n", {}},  // the first port line wins
        // clang-format on
    };
    for (const auto& c : cases) {
        dir.Write("owl.cfg", base + c.lines);
        RunResult plain = RunOwl({"-t", dir.File("owl.cfg")});
        RunResult strict = RunOwl({"-t", "--strict", dir.File("owl.cfg")});
        SCOPED_TRACE(c.lines + plain.output);
        EXPECT_EQ(plain.status, 0);
        EXPECT_EQ(strict.status, c.warnings.empty() ? 0 : 2);
        std::string expected = "Settings checking .. Ok\n";
        for (const std::string& w : c.warnings) expected += "Warning: " + w + "\n";
        EXPECT_EQ(plain.output, expected);
    }
    dir.Write("owl.cfg", "port=" + std::to_string(busyPort) + "\n" + base);
    RunResult taken = RunOwl({"-t", "--strict", dir.File("owl.cfg")});
    EXPECT_EQ(taken.status, 2);
    EXPECT_NE(taken.output.find("Warning: cannot listen on address 127.0.0.1 port " +
                                std::to_string(busyPort) + ": Address already in use\n"),
              std::string::npos)
        << taken.output;
    close(busy);
    dir.Write("owl.cfg", "hots=x\n");  // errors win over warnings: status 1 either way
    EXPECT_EQ(RunOwl({"-t", "--strict", dir.File("owl.cfg")}).status, 1);
}

// owlctl --explain with the agent's own file (-c): one command of each
// family, every reply value labelled from the command reference.
TEST(Owlctl, ExplainLabelsEachFamily) {
    TestAgent agent({{"syslogaction", "1"}, {"external", "1"}});
    ASSERT_TRUE(agent.Start()) << agent.Output();
    agent.dir().Write("app.log", "one\n");
    int udpPort = 0, udp = BoundLoopback(SOCK_DGRAM, &udpPort);
    const std::string log = agent.dir().File("app.log"), port = std::to_string(udpPort);
    const struct {
        std::vector<std::string> args;
        std::string shown;  // the start of the output
    } cases[] = {
        // clang-format off
        {{"TEST-FileExists", log}, "200\nsize:      4\nchanged: "},
        {{"TEST-TextLog", log, "one", "0", "0", "0"}, "200\nresult:      0\nline: \nmore: 0\n"
            "read position:      3\nlast size:      4\nlast age: "},
        {{"TEST-ExternalPrg", "/bin/sh -c \"exit 3\""}, "200\nexit code: 3\n"},
        {{"TEST-TCP", "127.0.0.1", std::to_string(FreeLoopbackPort()), "1000"}, "301\nerror: Connection refused\ncode: -6\n"},
        {{"ACT-Syslog", "127.0.0.1", port, "1", "6", "hi"}, "200\ntext: Syslog: Data to 127.0.0.1 has been sent\n"},
        {{"GetInfo"}, "200\nAgentName=VT Owlwatch\n"},
        {{"ReloadCfg"}, "200\ntext: Ok\n"},
        {{"TEST-Ping"}, "500\nreason: not implemented yet\n"},
        // clang-format on
    };
    for (const auto& c : cases) {
        std::vector<std::string> args = {"-c", agent.ConfigPath(), "--explain"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        RunResult r = RunOwlctl(args);
        EXPECT_EQ(r.output.substr(0, c.shown.size()), c.shown) << r.output;
    }
    close(udp);
}

// The stages on the console, a warning that does not stop the start, and a
// port already taken.
TEST(Startup, ConsoleStagesAndFailures) {
    TempDir scratch;
    TestAgent agent({{"pidfile", scratch.File("owl.pid")},
                     {"filterlist", "127.0.0.1"},
                     {"filtermarks", "111"}});
    ASSERT_TRUE(agent.Start({"-v"})) << agent.Output();
    EXPECT_NE(access(scratch.File("owl.pid").c_str(), F_OK), 0);  // none in interactive mode
    EXPECT_NE(agent.Output().find(
                  "Command line checking .. Ok\n"
                  "Settings checking .. Warning: FilterMarks has less items than FilterList\n"
                  "CPU testing .. Ok\nBasic encyption checking .. Ok\n"
                  "OWL encyption checking .. Ok\nSock testing .. Ok\n"),
              std::string::npos)
        << agent.Output();
    EXPECT_NE(agent.Output().find("[owl]["), std::string::npos);
    EXPECT_NE(agent.Output().find("\t owl\t\t Listening...\n"), std::string::npos);

    // The same port while the first agent holds it: three tries, then status 4.
    RunResult busy = RunOwl({"-i", agent.ConfigPath()});
    EXPECT_EQ(busy.status, 4);
    EXPECT_NE(busy.output.find("Sock testing .. TCP listen error:\nsocket() or bind() error\n\n"),
              std::string::npos)
        << busy.output;
    EXPECT_NE(busy.output.find("owl: cannot listen on address 127.0.0.1 port " +
                               std::to_string(agent.port()) + ": Address already in use\n"),
              std::string::npos)
        << busy.output;
    // The configuration's warnings go to standard error once the port is
    // proven (the agent above has its filter off).
    EXPECT_NE(agent.Output().find("Sock testing .. Ok\nWarning: filteractive=0 with allowmanage=1"),
              std::string::npos)
        << agent.Output();
    EXPECT_TRUE(agent.WaitForLog("verbose.log", "\t owl\t\t Warning: filteractive=0", 5000));
    RunResult negative = RunOwl({"-i", "-p", "-1", agent.ConfigPath()});
    EXPECT_EQ(negative.status, 4);
    EXPECT_NE(negative.output.find("TCP listen error:"), std::string::npos) << negative.output;
}

}  // namespace
