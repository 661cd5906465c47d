// check_owl against the real agent: the first line and exit status of every
// check by threshold, the UNKNOWN cases, and the log check's runs across
// appends, truncation, rotation and two runs at once.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <thread>

#include "support/agent.h"

namespace {

struct Plugin {
    int status;
    std::string line;    // the first line
    std::string output;  // everything
};

// check_owl against agent (its password from a file) with args.
Plugin Check(const TestAgent& agent, std::vector<std::string> args, int port = 0) {
    agent.dir().Write("pw", agent.password() + "\n");
    std::vector<std::string> all = {"-H", "127.0.0.1",
                                    "-p", std::to_string(port ? port : agent.port()),
                                    "-W", agent.dir().File("pw")};
    all.insert(all.end(), args.begin(), args.end());
    RunResult r = RunProgram(CHECK_OWL_BINARY, all, 20000);
    return {r.status, r.output.substr(0, r.output.find('\n')), r.output};
}

// text against pattern, where "{}" stands for any text.
bool Like(const std::string& text, const std::string& pattern) {
    size_t star = pattern.find("{}");
    if (star == std::string::npos) return text == pattern;
    if (text.compare(0, star, pattern, 0, star) != 0) return false;
    for (size_t at = star; at <= text.size(); at++)
        if (Like(text.substr(at), pattern.substr(star + 2))) return true;
    return false;
}

struct Case {
    std::vector<std::string> args;
    int status;
    std::string line;  // "" when only the status counts
};

void Expect(const TestAgent& agent, const std::vector<Case>& cases) {
    for (const Case& c : cases) {
        Plugin p = Check(agent, c.args);
        EXPECT_EQ(p.status, c.status) << p.output;
        if (!c.line.empty()) {
            EXPECT_TRUE(Like(p.line, c.line)) << p.line << "\n" << c.line;
        }
    }
}

// Every check: one exact first line with its performance data, and the
// verdict by threshold.
TEST(CheckOwl, EveryCheckAndItsVerdicts) {
    TempDir data, scripts;
    const std::string d = data.path();
    data.Write("a.txt", "hello");
    data.Write("b.txt", "0123456789");
    time_t old = time(nullptr) - 7230;
    struct timespec t[2] = {{old, 0}, {old, 0}};
    utimensat(AT_FDCWD, data.File("a.txt").c_str(), t, 0);
    scripts.Write("cpu.sh", "#!/bin/sh\necho 12.5\n");
    scripts.Write("count.sh", "#!/bin/sh\necho \"  $#\"\n");
    chmod(scripts.File("cpu.sh").c_str(), 0755);
    chmod(scripts.File("count.sh").c_str(), 0755);
    TestAgent agent{{"cpuusagescript", scripts.File("cpu.sh")},
                    {"proccntscript", scripts.File("count.sh")}};
    ASSERT_TRUE(agent.Start()) << agent.Output();
    const std::string a = data.File("a.txt");
    // clang-format off
    Expect(agent, {
        {{"disk", d}, 0, "OWL DISK OK - " + d + ": {}% free ({} of {}) | 'free'={}B;;;0;{} 'free_pct'={}%;;;0;100"},
        {{"disk", ""}, 3, "OWL DISK UNKNOWN - the agent refused the parameters: Path not specified"},
        {{"disk", d, "-w", "@0:100", "-c", "@0:100"}, 2, ""},
        {{"disk", d, "--units", "KiB", "-c", "1:"}, 0, "{} 'free'={}B;;1024:;0;{} 'free_pct'={}%;;;0;100"},
        {{"folder-size", d, "--mask", "*.txt", "--no-recurse"}, 0, "OWL FOLDER-SIZE OK - " + d + " (*.txt): 15 B | 'size'=15B;;;0"},
        {{"folder-size", d, "--units", "KiB", "-w", "0.01"}, 1, "{} | 'size'=15B;10.24;;0"},
        {{"folder-size", d, "-c", "10"}, 2, ""},
        {{"files", d, "--older", "60", "--mask", "*.txt"}, 0, "OWL FILES OK - 1 files older than 60 min in " + d + " (*.txt) | 'files'=1;;;0"},
        {{"files", d, "--bigger", "5", "-w", "0"}, 1, "OWL FILES WARNING - 1 files bigger than 5 B in " + d + " (*) | 'files'=1;0;;0"},
        {{"files", d, "-c", "1"}, 2, ""},
        {{"file", a}, 0, "OWL FILE OK - " + a + ": 5 B, modified 120 min ago | 'age'=7200s 'size'=5B;;;0"},
        {{"file", a, "--age-w", "60"}, 1, "{} | 'age'=7200s;3600 'size'=5B;;;0"},
        {{"file", a, "--size-c", "4"}, 2, "{} 'size'=5B;;4;0"},
        {{"file", d + "/none"}, 2, "OWL FILE CRITICAL - " + d + "/none: no such file or acess denied"},
        {{"crc", a, "--expect", "c9ef5979"}, 0, "OWL CRC OK - " + a + ": CRC 0xC9EF5979 as expected"},
        {{"crc", a, "--expect", "0x1"}, 2, "OWL CRC CRITICAL - " + a + ": CRC 0xC9EF5979 differs from 0x00000001"},
        {{"program", "/bin/sh", "-c", "exit 0"}, 0, ""},
        {{"program", "/bin/sh", "-c", "exit 1"}, 1, ""},
        {{"program", "/bin/sh", "-c", "exit 2"}, 2, "OWL PROGRAM CRITICAL - /bin/sh -c 'exit 2' exited with 2 | 'exit'=2;;;0"},
        {{"program", "/bin/sh", "-c", "exit 5"}, 3, ""},
        {{"-w", "3", "-c", "10", "program", "/bin/sh", "-c", "exit 5"}, 1, ""},
        {{"program", "--timeout-ms", "1000", "/bin/sleep", "5"}, 3, "OWL PROGRAM UNKNOWN - /bin/sleep: abnormal termination"},
        {{"cpu"}, 0, "OWL CPU OK - CPU usage 12.5% | 'cpu'=12.5%;;;0;100"},
        {{"cpu", "-w", "10"}, 1, "{} | 'cpu'=12.5%;10;;0;100"},
        {{"cpu", "-c", "~:10"}, 2, ""},
        {{"process", "sshd"}, 0, "OWL PROCESS OK - 1 processes named sshd | 'processes'=1;;;0"},
        {{"process", "sshd", "-c", "2:", "-w", "2:"}, 2, ""},
        {{"agent"}, 0, "OWL AGENT OK - VT Owlwatch 1.29 on {}, {} connections, 0 failed | 'connections'={}c 'failed'=0c 'active'=1"},
        {{"agent", "-c", "@0"}, 2, ""},
    });
    // clang-format on
    // The probes, with their peers on 127.0.0.1.
    int udp = 0, fd = BoundLoopback(SOCK_DGRAM, &udp);
    std::thread udpPeer([&] { UdpReceive(fd, true); });
    TcpPeer tcp([](int c) { send(c, "hello tcp", 9, MSG_NOSIGNAL); }, 4);
    const std::string T = std::to_string(tcp.port), U = std::to_string(udp);
    // clang-format off
    Expect(agent, {
        {{"udp", "127.0.0.1", U, "--send", "ping\\n", "--expect", "re:ping\n"}, 0, "OWL UDP OK - 127.0.0.1:" + U + " answered in {} s | 'time'={}s;;;0"},
        {{"udp", "127.0.0.1", U, "--send", "x", "-c", "@0:10", "-w", "@0:10"}, 2, ""},
        {{"tcp", "127.0.0.1", T, "--expect", "hello"}, 0, "OWL TCP OK - 127.0.0.1:" + T + " answered in {} s | 'time'={}s;;;0"},
        {{"tcp", "127.0.0.1", T, "--expect", "bye"}, 2, "{} without the expected text | {}"},
        {{"tcp", "127.0.0.1", T, "-c", "@0:10"}, 2, ""},
        {{"tcp", "127.0.0.1", std::to_string(FreeLoopbackPort())}, 2, "OWL TCP CRITICAL - 127.0.0.1:{}: Connection refused"},
        {{"tcp", "127.0.0.1", "8o"}, 3, ""},
    });
    // clang-format on
    udpPeer.join();
    close(fd);
}

// Everything that leaves no verdict is UNKNOWN, with the likely reason.
TEST(CheckOwl, UnknownCases) {
    TestAgent agent{{"unc", "0"}};
    ASSERT_TRUE(agent.Start()) << agent.Output();
    TestAgent wrong{{"password", "other"}, {"port", std::to_string(agent.port())}};
    const std::string P = "127.0.0.1:" + std::to_string(agent.port());
    TcpPeer silent([](int c) { ReceiveUntilQuiet(c, 3000); });
    // clang-format off
    Expect(agent, {
        {{"disk", "/"}, 3, "OWL DISK UNKNOWN - the check is switched off in the agent's configuration (unc=0)"},
        {{"disk", "/", "-w", "5:1"}, 3, "OWL DISK UNKNOWN - malformed range '5:1'"},
        {{"disk", "/", "--mask", "x"}, 3, "OWL DISK UNKNOWN - unknown option --mask"},
        {{"crc", "/", "--expect", "1", "-c", "1"}, 3, "OWL CRC UNKNOWN - the crc check takes no thresholds"},
        {{"process", "x; touch y"}, 3, ""},
        {{"nothing"}, 3, "OWL UNKNOWN - unknown check 'nothing' (see --help)"},
        {{"-p", "65536", "agent"}, 3, "OWL UNKNOWN - invalid port{}"},
        {{"-t", "0", "agent"}, 3, ""},
        {{"-t", "1", "agent"}, 0, ""},
    });
    // clang-format on
    Plugin p = Check(wrong, {"agent"}, agent.port());
    EXPECT_EQ(p.line, "OWL AGENT UNKNOWN - no reply from " + P +
                          ": the agent closed the connection (wrong password, or this address is "
                          "not allowed by the agent's filter)");
    int none = FreeLoopbackPort();
    p = Check(agent, {"agent"}, none);
    EXPECT_EQ(p.line, "OWL AGENT UNKNOWN - cannot connect to 127.0.0.1:" + std::to_string(none) +
                          ": Connection refused");
    long long start = Ms();
    p = Check(agent, {"-t", "1", "agent"}, silent.port);
    EXPECT_EQ(p.status, 3);
    EXPECT_TRUE(Like(p.line, "OWL AGENT UNKNOWN - {}time-out{}")) << p.line;
    EXPECT_LT(Ms() - start, 2500);
    for (const char* opt : {"--help", "-h", "--version"})
        EXPECT_EQ(RunProgram(CHECK_OWL_BINARY, {opt}).status, 3);
    EXPECT_EQ(RunProgram(CHECK_OWL_BINARY, {"-V"}).output, "check_owl 1.29\n");
    // The password from the environment, or none at all.
    const std::vector<std::string> bare = {"-H", "127.0.0.1", "-p", std::to_string(agent.port()),
                                           "-v", "agent"};
    EXPECT_EQ(RunProgram(CHECK_OWL_BINARY, bare).output,
              "OWL AGENT UNKNOWN - no password: give -W FILE or set OWL_PASSWORD\n");
    setenv("OWL_PASSWORD", agent.password().c_str(), 1);
    p = Plugin{0, "", RunProgram(CHECK_OWL_BINARY, bare).output};
    unsetenv("OWL_PASSWORD");
    EXPECT_NE(p.output.find("\nrequest: GetInfo\\n\\r\nreply: 200\\nAgentName=VT Owlwatch\\n"),
              std::string::npos)
        << p.output;
}

int Matches(const Plugin& p) {
    size_t at = p.line.find("'matches'=");
    return at == std::string::npos ? -1 : atoi(p.line.c_str() + at + 10);
}

void Append(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::app | std::ios::binary) << text;
}

std::string Lines(int n, const std::string& text) {
    std::string all;
    for (int i = 0; i < n; i++) all += text + " " + std::to_string(i) + "\n";
    return all;
}

// The log check's runs: each matching line counted once across appends,
// more than one run's bound, a truncation, a rotation and two runs at once.
TEST(CheckOwl, LogRunsCountEveryLineOnce) {
    TestAgent agent;
    ASSERT_TRUE(agent.Start()) << agent.Output();
    const std::string log = agent.dir().File("app.log"), state = agent.dir().File("app.state");
    const std::vector<std::string> args = {"log", log, "error", "--state", state};
    Append(log, "started\n");
    EXPECT_EQ(Check(agent, args).line,
              "OWL LOG OK - first run: recorded the end of " + log + " | 'matches'=0;;0;0");
    Append(log, "error 1\nok\nerror 2\n");
    Plugin p = Check(agent, args);
    EXPECT_EQ(p.status, 2);
    EXPECT_EQ(p.line, "OWL LOG CRITICAL - 2 matching lines in " + log +
                          " since the last run, the last: error 2 | 'matches'=2;;0;0");
    EXPECT_EQ(Check(agent, args).status, 0);
    std::vector<std::string> warn = args;
    warn.insert(warn.end(), {"-w", "0", "-c", "5"});
    Append(log, "error 3\n");
    EXPECT_EQ(Check(agent, warn).status, 1);
    // More than one run's bound of rounds: the next runs pick up the rest.
    Append(log, Lines(1200, "error"));
    int total = 0;
    for (int run = 0; run < 5 && (p = Check(agent, args), Matches(p) > 0); run++)
        total += Matches(p);
    EXPECT_EQ(total, 1200);
    // Rotated: only the new file's lines count.
    ASSERT_EQ(rename(log.c_str(), (log + ".1").c_str()), 0);
    Append(log, "error in the new file\n" + std::string(400, '-') + "\n");
    EXPECT_TRUE(
        Like(Check(agent, args).line, "{}1 matching lines{}the last: error in the new file{}"));
    // Two runs at once on one state file.
    Append(log, Lines(300, "error"));
    Plugin both[2];
    std::thread other([&] { both[1] = Check(agent, args); });
    both[0] = Check(agent, args);
    other.join();
    EXPECT_EQ(Matches(both[0]) + Matches(both[1]), 300) << both[0].output << both[1].output;
    EXPECT_EQ(Matches(Check(agent, args)), 0);

    // Truncated: only the new lines count (state and log of their own).
    const std::vector<std::string> cut = {"log", log + ".2", "error", "--state", state + ".2"};
    Append(cut[1], "started\n" + std::string(300, '-') + "\nerror 1\n");
    EXPECT_EQ(Matches(Check(agent, cut)), 0);
    truncate(cut[1].c_str(), 0);
    Append(cut[1], "error after truncation\nerror again\n");
    p = Check(agent, cut);
    EXPECT_EQ(Matches(p), 2) << p.output;
    EXPECT_EQ(Matches(Check(agent, cut)), 0);
    Append(cut[1], "error 2\n");
    EXPECT_EQ(Matches(Check(agent, cut)), 1);

    // A state file that cannot be read or written, and the default place.
    agent.dir().Write("bad.state", "garbage\n");
    std::vector<std::string> bad = {"log", log, "error", "--state", agent.dir().File("bad.state")};
    EXPECT_EQ(Check(agent, bad).line, "OWL LOG UNKNOWN - cannot read the state file " + bad[4] +
                                          ": not a state file of check_owl");
    bad[4] = agent.dir().File("none/x.state");
    EXPECT_TRUE(Like(Check(agent, bad).line, "OWL LOG UNKNOWN - {}" + bad[4] + "{}"));
    if (access("/var/lib/check_owl", F_OK) == 0) return;
    setenv("XDG_STATE_HOME", agent.dir().path().c_str(), 1);
    EXPECT_EQ(Check(agent, {"log", log, "error"}).status, 0);
    unsetenv("XDG_STATE_HOME");
    EXPECT_EQ(Entries(agent.dir().File("check_owl")), 2);  // the state and its lock
}

// Nothing from a check's arguments reaches a shell, here or on the agent.
TEST(CheckOwl, ArgumentsReachNoShell) {
    TestAgent agent;
    ASSERT_TRUE(agent.Start()) << agent.Output();
    const std::string marker = agent.dir().File("marker");
    const std::string touch = "touch " + marker;
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"program", "/bin/echo", "$(" + touch + ")", ";" + touch},
          {"file", "`" + touch + "`"},
          {"log", agent.dir().File("x.log") + ";" + touch, "$(" + touch + ")", "--state",
           agent.dir().File("s")},
          {"tcp", "127.0.0.1;" + touch, "1"},
          {"process", "$(" + touch + ")"}})
        EXPECT_LE(Check(agent, args).status, 3);
    EXPECT_NE(access(marker.c_str(), F_OK), 0);
}

}  // namespace
