// The owl program's command line, run as a separate process.
#include <gtest/gtest.h>

#include <string>

#include "support/process.h"

namespace {

const char kMissed[] = "Error\nInvalid or missed command line parameter\n\n Usage: owl";
const char kBadPort[] = "Error\nInvalid port number\n\n Usage: owl";

RunResult Owl(const std::vector<std::string>& args) { return RunProgram(OWL_BINARY, args, 20000); }

TEST(CommandLine, BannerAndUsageText) {
    RunResult r = Owl({});
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

// Each command line ends with status 1 and shows every text of its row.
TEST(CommandLine, Outcomes) {
    const char kLineOk[] = "Command line checking .. Ok\nSettings checking .. ";
    const char kCfg[] = "/nonexistent/owl.cfg";
    const std::string longPath = "/" + std::string(599, 'p');
    const struct {
        std::vector<std::string> args;
        std::vector<std::string> shown;
    } cases[] = {
        {{"-i"}, {kMissed}},
        {{"-i", "-v"}, {kMissed}},
        {{"-p", "1055"}, {kMissed}},
        {{"-d", "-vd", "-p"}, {kMissed}},
        {{"-i", "-p", "0", kCfg}, {kBadPort}},
        {{"-i", "-p", "70000", kCfg}, {kBadPort}},
        {{"-i", "-p", "65536", kCfg}, {kBadPort}},
        {{"-i", "-p", "abc", kCfg}, {kBadPort}},
        // 65535 and -1 pass the command line; the missing file stops them later.
        {{"-i", "-p", "65535", kCfg}, {kLineOk}},
        {{"-i", "-p", "-1", kCfg}, {kLineOk}},
        // Options are bound to their place: -v before -i makes -i the path,
        // -vd before -v makes -v the path; -v then -vd is accepted.
        {{"-v", "-i", "cfg"}, {kLineOk, "'-i'"}},
        {{"-vd", "-v", "cfg"}, {kLineOk, "'-v'"}},
        {{"-i", "-v", "-vd", kCfg}, {kLineOk, std::string("'") + kCfg + "'"}},
        // A long path is cut to 511 bytes.
        {{"-i", longPath}, {"'" + longPath.substr(0, 511) + "'"}},
    };
    for (const auto& c : cases) {
        RunResult r = Owl(c.args);
        EXPECT_EQ(r.status, 1) << c.args.back();
        for (const std::string& text : c.shown)
            EXPECT_NE(r.output.find(text), std::string::npos) << text << "\n" << r.output;
    }
    EXPECT_EQ(Owl({"-i", longPath}).output.find(longPath.substr(0, 512)), std::string::npos);
}

}  // namespace
