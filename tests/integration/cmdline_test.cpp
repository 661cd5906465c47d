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

TEST(CommandLine, MissingPathIsAUsageError) {
    for (auto args : std::vector<std::vector<std::string>>{
             {"-i"}, {"-i", "-v"}, {"-p", "1055"}, {"-d", "-vd", "-p"}}) {
        RunResult r = Owl(args);
        EXPECT_EQ(r.status, 1);
        EXPECT_NE(r.output.find(kMissed), std::string::npos) << r.output;
    }
}

TEST(CommandLine, PortRange) {
    for (const char* port : {"0", "70000", "65536", "abc"}) {
        RunResult r = Owl({"-i", "-p", port, "/nonexistent/owl.cfg"});
        EXPECT_EQ(r.status, 1) << port;
        EXPECT_NE(r.output.find(kBadPort), std::string::npos) << port << r.output;
    }
    // 65535 and -1 pass the command line; the missing file stops them later.
    for (const char* port : {"65535", "-1"}) {
        RunResult r = Owl({"-i", "-p", port, "/nonexistent/owl.cfg"});
        EXPECT_NE(r.output.find("Command line checking .. Ok\nSettings checking .. "),
                  std::string::npos)
            << port << r.output;
    }
}

TEST(CommandLine, OptionsAreOrderBound) {
    // -v before -i makes -i the configuration path.
    RunResult r = Owl({"-v", "-i", "cfg"});
    EXPECT_NE(r.output.find("Command line checking .. Ok"), std::string::npos);
    EXPECT_NE(r.output.find("'-i'"), std::string::npos) << r.output;
    // -vd before -v makes -v the path.
    r = Owl({"-vd", "-v", "cfg"});
    EXPECT_NE(r.output.find("'-v'"), std::string::npos) << r.output;
    // -v then -vd is accepted.
    r = Owl({"-i", "-v", "-vd", "/nonexistent/x.cfg"});
    EXPECT_NE(r.output.find("Command line checking .. Ok"), std::string::npos);
    EXPECT_NE(r.output.find("'/nonexistent/x.cfg'"), std::string::npos) << r.output;
}

TEST(CommandLine, LongPathIsCutTo511Bytes) {
    std::string path = "/" + std::string(599, 'p');
    RunResult r = Owl({"-i", path});
    EXPECT_EQ(r.status, 1);
    std::string cut = path.substr(0, 511);
    EXPECT_NE(r.output.find("'" + cut + "'"), std::string::npos) << r.output;
    EXPECT_EQ(r.output.find(path.substr(0, 512)), std::string::npos);
}

}  // namespace
