// "TEST-TextLog" and "TEST-TextLog2" against the real agent: the check
// sequence a console runs, the reply values, and the failure replies.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>

#include "support/agent.h"

namespace {

struct LogCheck {
    std::string status;
    std::vector<std::string> values;  // result, line, more, state..., filter
    long long At(int i) const { return std::stoll(values.at(i)); }
    std::vector<std::string> State() const { return {values.at(3), values.at(4), values.at(5)}; }
};

LogCheck Ask(const TestAgent& agent, const char* command, const std::vector<std::string>& params) {
    Reply r = agent.Request(command, params);
    return {r.status, r.Lines()};
}

// TEST-TextLog with the state of the previous reply (none: a first check).
LogCheck TextLog(const TestAgent& agent, const std::string& path, const std::string& text,
                 const LogCheck* previous, const char* cont = "0", const char* expr = "0") {
    std::vector<std::string> state = previous ? previous->State() : std::vector<std::string>{};
    state.resize(3, "0");
    return Ask(agent, "TEST-TextLog",
               {path, text, state[0], state[1], state[2], expr, cont, "0", "0"});
}

void Append(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::app | std::ios::binary) << text;
}

// One agent for every part: the check sequence, the second filter and the
// failure replies.
TEST(TextLog, ChecksFiltersAndFailures) {
    TestAgent agent;
    ASSERT_TRUE(agent.Start({"-v"})) << agent.Output();
    std::string log = agent.dir().File("app.log");
    Append(log, "started\n");
    LogCheck c = TextLog(agent, agent.dir().File("app.l?g"), "error", nullptr);
    ASSERT_EQ(c.status, "200");
    struct stat st;
    stat(log.c_str(), &st);
    EXPECT_EQ(c.values, (std::vector<std::string>{"     0", "", "0", "     7", "     8",
                                                  std::to_string(st.st_mtime), "     8"}));
    Append(log, "disk error 4\nok\ndisk error 5\ndisk error 6\n" + std::string(2000, 'e') + "\n");
    c = TextLog(agent, log, "'disk' and 'error'", &c, "1", "1");
    EXPECT_EQ(c.values.at(1), "disk error 6");
    EXPECT_EQ(c.values.at(2), "0");
    c = TextLog(agent, log, "'disk' and 'error'", &c, "1", "1");
    EXPECT_EQ(c.At(0), 0);
    Append(log, "error " + std::string(2000, 'e') + "\n");
    c = TextLog(agent, log, "error", &c);
    EXPECT_EQ(c.values.at(1), "error " + std::string(1018, 'e'));

    // The second filter.
    log = agent.dir().File("second.log");
    Append(log, "started\n");
    std::vector<std::string> params = {
        log, "0", "0", "0", "0", "alpha", "0", "0", "0", "1", "'BETA' or 'gamma'", "1", "0", "0"};
    c = Ask(agent, "TEST-TextLog2", params);
    ASSERT_EQ(c.values.size(), 8u);
    EXPECT_EQ(c.values[7], "0");  // nothing matched
    Append(log, "beta only\nalpha\n");
    for (int i = 0; i < 3; i++) params[i + 1] = c.State()[i];
    c = Ask(agent, "TEST-TextLog2", params);
    EXPECT_EQ(c.values.at(1), "beta only");
    EXPECT_EQ(c.values.at(2), "1");
    EXPECT_EQ(c.values.at(7), "0");
    for (int i = 0; i < 3; i++) params[i + 1] = c.State()[i];
    params[9] = "0";
    params[10] = "'unterminated";
    c = Ask(agent, "TEST-TextLog2", params);
    EXPECT_EQ(c.values.at(1), "alpha");
    EXPECT_EQ(c.values.at(7), "1");

    // Failure replies.
    log = agent.dir().File("short.log");
    Append(log, "line\n");
    ASSERT_EQ(mkfifo(agent.dir().File("pipe.log").c_str(), 0600), 0);
    ASSERT_EQ(mkfifo(agent.dir().File("pi\npe.fifo").c_str(), 0600), 0);
    mkdir(agent.dir().File("dir.log").c_str(), 0700);
    const struct {
        std::vector<std::string> params;
        const char* text;
    } cases[] = {
        {{agent.dir().File("missing.log")}, "301\nFile does not exist\n\r"},
        {{agent.dir().File("dir.log")}, "301\nFile does not exist\n\r"},
        {{agent.dir().File("pipe.log")}, "301\nFile \"pipe.log\" not found\n\r"},
        {{agent.dir().File("pi*.fifo")}, "301\nFile \"pi?pe.fifo\" not found\n\r"},
        {{log, "x", "0", "0", "1.5"}, "501\nWrong parameter\n\r"},
        {{log, "x", "-7", "3", "3"}, "301\nfseek error\n\r"},
        {{log, "x", "", "3", "3"}, "200\n     0\n\n0\n     5\n     5\n"},
        {{log, "x", "99999999999999999999", "3", "3"}, "200\n     0\n\n0\n     5\n     5\n"},
    };
    for (const auto& c : cases) {
        std::string text = agent.Request("TEST-TextLog", c.params).text;
        EXPECT_EQ(text.substr(0, strlen(c.text)), c.text) << c.params[0];
    }
}

// A log truncated (rewritten in place), emptied and refilled, or rotated
// (renamed away, a new file under the old name) between two checks of a
// console's loop: every matching line is reported once, in order, and the
// last report says that no more matches wait.
struct LogStep {
    // 'a' append, 't' truncate and write, 'e' empty in place and refill, 'r'
    // rotate and write, each followed by the console's loop; 'A' append
    // without a check; '1' one check alone.
    char op;
    std::string text;
    std::vector<std::string> reported;  // the lines the checks that follow report
};

// One check of command ("TEST-TextLog" or "TEST-TextLog2") with the state
// of the previous reply.
LogCheck Check(const TestAgent& agent, const std::string& command, const std::string& path,
               const LogCheck& previous, const char* cont) {
    std::vector<std::string> s = previous.State();
    if (command == "TEST-TextLog") return TextLog(agent, path, "error", &previous, cont);
    return Ask(agent, command.c_str(), {path, s[0], s[1], s[2], cont, "error", "0", "0", "0", "0"});
}

// Every change keeps one modification time, the one the first check
// recorded: the agent cannot tell a change by the time alone.
void ApplyStep(const std::string& path, const LogStep& step) {
    if (step.op == 'r') {
        ASSERT_EQ(rename(path.c_str(), (path + ".1").c_str()), 0);
    }
    if (step.op == 'r' || step.op == 't') std::ofstream(path, std::ios::binary) << step.text;
    if (step.op == 'e') {
        ASSERT_EQ(truncate(path.c_str(), 0), 0);
    }
    if (step.op == 'a' || step.op == 'A' || step.op == 'e') Append(path, step.text);
    const struct timespec times[2] = {{1700000000, 0}, {1700000000, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
}

// The console's loop from the state in c: check, at once again while the
// reply says that more matches wait, then once more at the next interval.
// The lines reported; one that the last check reports is marked "late".
std::vector<std::string> ConsoleLoop(const TestAgent& agent, const std::string& command,
                                     const std::string& path, const char* cont, LogCheck& c) {
    std::vector<std::string> reported;
    for (int round = 0; round < 11; round++) {
        c = Check(agent, command, path, c, cont);
        if (c.status != "200") return {c.status};
        if (c.At(0) > 0) reported.push_back(c.values.at(1));
        if (c.values.at(2) != "1") break;
    }
    c = Check(agent, command, path, c, cont);
    if (c.status == "200" && c.At(0) > 0) reported.push_back("late " + c.values.at(1));
    return reported;
}

TEST(TextLog, TruncatedAndRotatedLogsReportEachLineOnce) {
    TestAgent agent;
    ASSERT_TRUE(agent.Start({"-v"})) << agent.Output();
    const std::string before(999, '-');
    const std::string three = "x\nerror 1\nok\nerror 2\nerror 3\n";
    const std::vector<std::string> all = {"error 1", "error 2", "error 3"};
    const struct {
        const char* command;
        const char* cont;
        std::vector<LogStep> steps;
    } rows[] = {
        {"TEST-TextLog", "0", {{'t', "first line\nsecond error line\n", {"second error line"}}}},
        {"TEST-TextLog", "0", {{'t', three, all}}},
        {"TEST-TextLog2", "0", {{'t', three, all}}},
        {"TEST-TextLog", "1", {{'t', three, {"error 3"}}}},
        {"TEST-TextLog",
         "0",
         {{'e', "error a\r\nerror b\r", {"error a", "error b"}},
          {'e', "", {}},
          {'a', "error c\r\n", {"error c"}}}},
        // First larger than before: only the file's identity tells the
        // rotation; then smaller.
        {"TEST-TextLog2", "0", {{'r', three + before + "\n", all}, {'r', three, all}}},
        {"TEST-TextLog",
         "0",
         {{'A', "error 1\nerror 2\n", {}},
          {'1', "", {"error 1"}},
          {'t', "error 3\nerror 4", {"error 3"}},
          {'a', "\n", {"error 4"}}}},
        {"TEST-TextLog", "1", {{'r', "error 1\n", {"error 1"}}, {'t', "error\n", {"error"}}}},
    };
    int n = 0;
    for (const auto& row : rows) {
        const std::string path = agent.dir().File("rotating" + std::to_string(n++) + ".log");
        ApplyStep(path, {'a', before + "\n", {}});
        LogCheck c =
            Check(agent, row.command, path, LogCheck{"", {"", "", "", "0", "0", "0"}}, row.cont);
        for (const LogStep& step : row.steps) {
            if (step.op != '1') ApplyStep(path, step);
            if (step.op == 'A') continue;
            std::vector<std::string> reported;
            if (step.op == '1') {
                c = Check(agent, row.command, path, c, row.cont);
                reported.push_back(c.values.at(1));
            } else {
                reported = ConsoleLoop(agent, row.command, path, row.cont, c);
            }
            EXPECT_EQ(reported, step.reported) << path << " step " << step.op;
        }
    }
    EXPECT_TRUE(agent.WaitForLog("verbose.log", "was replaced", 2000));
}

// The console's own example: a watched 1,000-byte log rewritten as 29
// bytes is reported once, with the state of the new file, and not again.
TEST(TextLog, TruncationIsActedOnOnce) {
    TestAgent agent;
    ASSERT_TRUE(agent.Start()) << agent.Output();
    const std::string path = agent.dir().File("app.log");
    std::ofstream(path, std::ios::binary) << "first line\nsecond error line\n";
    struct stat st;
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    LogCheck c =
        Ask(agent, "TEST-TextLog", {path, "error", "900", "1000", "1", "0", "0", "0", "0"});
    std::string t = std::to_string(st.st_mtime);
    EXPECT_EQ(c.values, (std::vector<std::string>{"    19", "second error line", "0", "    29",
                                                  "    29", t, "    29"}));
    EXPECT_EQ(TextLog(agent, path, "error", &c).At(0), 0);
}

}  // namespace
