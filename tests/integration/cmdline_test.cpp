// The owl and owlctl command lines run as separate processes: usage texts,
// the configuration check, the start-up stages and their failures.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <string>

#include "core/version.h"
#include "support/agent.h"

namespace {

const char kMissed[] = "Error\nInvalid or missed command line parameter\n\n Usage: owl";
const char kBadPort[] = "Error\nInvalid port number\n\n Usage: owl";

TEST(CommandLine, BannerAndUsageText) {
    RunResult r = RunOwl({});
    EXPECT_EQ(r.status, 1);
    const std::string rule(61, '-');
    const std::string expected =
        rule +
        "\n Application:  OWL (Owlwatch for Quellix)\n"
        " Version:      1.29 for Linux (Red Hat, Mandrake, SuSE)\n" +
        rule +
        "\nCommand line checking .. Error\nInvalid or missed command line parameter\n\n"
        " Usage: owl [-d|-i] [-v|-vd] [-p <port>] <cfg_file>\n"
        "  -d        - daemon mode (default)\n"
        "  -i        - interactive mode\n"
        "  -v        - verbose mode\n"
        "  -vd       - verbose debugging mode\n"
        "  -p <port> - overrides TCP port number specified in cfg_file\n"
        "  cfg_file  - obligatory parameter, path to configuration file\n"
        "\n"
        " Examples:\n"
        "  owl -i -v -p 1055 /etc/owl/owl.cfg\n"
        "  owl -d ~/owl/owl.cfg\n"
        "\n";
    EXPECT_EQ(r.output, expected);
}

// Each command line ends with its status and shows every text of its row
// (whole: exactly that output).
TEST(CommandLine, Outcomes) {
    unsetenv("OWL_PASSWORD");
    const char kLineOk[] = "Command line checking .. Ok\nSettings checking .. ";
    const char kCfg[] = "/nonexistent/owl.cfg";
    const std::string longPath = "/" + std::string(599, 'p');
    TempDir dir;
    auto config = [&](const std::string& name, std::map<std::string, std::string> settings) {
        TestAgent agent(settings);
        agent.WriteConfig();
        dir.Write(name, agent.dir().Read("owl.cfg"));
        return dir.File(name);
    };
    const std::string good = config("good", {}), noPassword = config("nopw", {{"password", ""}});
    const std::string scripts =
        config("scripts", {{"cpuusagescript", "/nonexistent/cpu.sh"}, {"proccntscript", good}});
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
        {OWL_BINARY, {"-i"}, 1, {kMissed}},
        {OWL_BINARY, {"-i", "-v"}, 1, {kMissed}},
        {OWL_BINARY, {"-p", "1055"}, 1, {kMissed}},
        {OWL_BINARY, {"-d", "-vd", "-p"}, 1, {kMissed}},
        {OWL_BINARY, {"-i", "-p", "0", kCfg}, 1, {kBadPort}},
        {OWL_BINARY, {"-i", "-p", "70000", kCfg}, 1, {kBadPort}},
        {OWL_BINARY, {"-i", "-p", "65536", kCfg}, 1, {kBadPort}},
        {OWL_BINARY, {"-i", "-p", "abc", kCfg}, 1, {kBadPort}},
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
        {OWL_BINARY, {"-t", noPassword}, 1, {"Error\n  Password is not specified!\n"}},
        {OWL_BINARY, {"-i", port1}, 1, {"TCP port 70000 is out of range"}},
        {OWL_BINARY, {"-t", port1}, 1, {"TCP port 70000 is out of range"}},
        {OWL_BINARY, {"-i", port2}, 1, {"TCP port -5 is out of range"}},
        {OWL_BINARY, {"-t", port2}, 1, {}},
        {OWL_BINARY, {"-i", port3}, 1, {"TCP port 65536 is out of range"}},
        {OWL_BINARY, {"-t", port3}, 1, {}},
        {OWL_BINARY, {"--version"}, 0, {}, "owl " OWL_VERSION "\n"},
        {OWLCTL_BINARY, {"--version"}, 0, {}, "owlctl " OWL_VERSION "\n"},
        {OWLCTL_BINARY, {"--help"}, 0, {"Usage: owlctl"}},
        {OWLCTL_BINARY, {"-w", "x"}, 64, {"Usage: owlctl"}},
        {OWLCTL_BINARY, {"--bogus", "-w", "x", "GetInfo"}, 64, {"Usage: owlctl"}},
        {OWLCTL_BINARY, {"-p", "abc", "-w", "x", "GetInfo"}, 64, {"Usage: owlctl"}},
        {OWLCTL_BINARY, {"-p", "0", "-w", "x", "GetInfo"}, 64, {"Usage: owlctl"}},
        {OWLCTL_BINARY, {"-t", "-1", "-w", "x", "GetInfo"}, 64, {"Usage: owlctl"}},
        {OWLCTL_BINARY, {"GetInfo"}, 64, {"Usage: owlctl"}},
        {OWLCTL_BINARY, {"-w"}, 64, {"Usage: owlctl"}},
        // clang-format on
    };
    for (const auto& c : cases) {
        RunResult r = RunProgram(c.program, c.args, 20000);
        SCOPED_TRACE(c.args.back() + "\n" + r.output);
        EXPECT_EQ(r.status, c.status);
        for (const std::string& text : c.shown) EXPECT_NE(r.output.find(text), std::string::npos);
        if (!c.whole.empty()) {
            EXPECT_EQ(r.output, c.whole);
        }
    }
    EXPECT_EQ(RunOwl({"-i", longPath}).output.find(longPath.substr(0, 512)), std::string::npos);
    EXPECT_EQ(RunOwlctl({"--help"}).output.rfind("Usage: owlctl", 0), 0u);
}

// The stages on the console, a warning that does not stop the start, and a
// port already taken.
TEST(Startup, ConsoleStagesAndFailures) {
    TempDir scratch;
    TestAgent agent({{"pidfile", scratch.File("owl.pid")},
                     {"filterlist", "127.0.0.1"},
                     {"filtermarks", "111"}});
    ASSERT_TRUE(agent.Start()) << agent.Output();
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
    RunResult negative = RunOwl({"-i", "-p", "-1", agent.ConfigPath()});
    EXPECT_EQ(negative.status, 4);
    EXPECT_NE(negative.output.find("TCP listen error:"), std::string::npos) << negative.output;
}

}  // namespace
