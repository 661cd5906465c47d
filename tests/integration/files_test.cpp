// The file and folder tests, the file list, the switches and the fixed
// refusals against the real agent.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdio.h>
#include <sys/stat.h>
#include <time.h>

#include <algorithm>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "support/agent.h"

namespace {

std::string Int64(long long v) {
    char buf[32];
    snprintf(buf, sizeof buf, "%6lld", v);
    return buf;
}

std::string Time(time_t t) {
    char buf[32];
    struct tm local;
    localtime_r(&t, &local);
    strftime(buf, sizeof buf, "%d%m%Y%H%M%S", &local);
    return buf;
}

// One agent and one data folder for the handler tests: a.txt "hello" (two
// hours old), ab.txt "hello world", b.txt, fifo, .hid/, sub/ c.txt; big
// (8,388,608 bytes), big1 (one more).
class Files : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        data_ = std::make_unique<TempDir>();
        data_->Write("a.txt", "hello");
        data_->Write("ab.txt", "hello world");
        data_->Write("b.txt", "0123456789");
        mkdir(F("sub").c_str(), 0755);
        mkdir(F(".hid").c_str(), 0755);
        data_->Write("sub/c.txt", "abc");
        mkfifo(F("fifo").c_str(), 0666);
        data_->Write("big", std::string(8388608, 'x'));
        data_->Write("big1", std::string(8388609, 'x'));
        struct timespec t[2] = {{aTime_, 0}, {aTime_, 0}};
        utimensat(AT_FDCWD, F("a.txt").c_str(), t, 0);
        utimensat(AT_FDCWD, F(".hid").c_str(), t, 0);
    }
    static void TearDownTestSuite() {
        agent_.reset();
        data_.reset();
    }
    static TestAgent& Agent() { return Shared(agent_); }
    static std::string F(const std::string& name) { return data_->File(name); }
    inline static const time_t aTime_ = time(nullptr) - 7230;
    inline static std::unique_ptr<TestAgent> agent_;
    inline static std::unique_ptr<TempDir> data_;
    const std::string d = data_->path();
};

TEST_F(Files, FreeSpace) {
    Agent().Expect({{"TEST-UNC", {""}, "501\nPath not specified\n"},
                    {"TEST-UNC", {"\\"}, "301\nNo such file or directory\n"}});
    Reply r = Agent().Request("TEST-UNC", {d + "\\"});
    EXPECT_EQ(r.status, "200");
    EXPECT_EQ(r.Lines().size(), 3u) << r.body;
}

TEST_F(Files, FolderSize) {
    // clang-format off
    Agent().Expect({
        {"TEST-FolderSize", {F("*.txt")}, "200\n" + Int64(26) + "\n"},
        {"TEST-FolderSize", {d, "1"}, "200\n" + Int64(8388608 * 2 + 1 + 29) + "\n"},
        {"TEST-FolderSize", {F("%newestfolder%"), "", "", "", "", "", "", "1"}, "200\n" + Int64(3) + "\n"},
        {"TEST-FolderSize", {F("none/*")}, "301\nFolder/File doesn`t exist or access denied\n"},
    });
    // clang-format on
}

TEST_F(Files, FileExists) {
    Agent().Expect({{"TEST-FileExists", {F("none*")}, "301\nno such file or acess denied\n"}});
    Reply r = Agent().Request("TEST-FileExists", {F("a.*")});
    EXPECT_EQ(r.status, "200");
    std::vector<std::string> lines = r.Lines();
    ASSERT_EQ(lines.size(), 6u) << r.body;
    EXPECT_EQ(lines[0], Int64(5));
    EXPECT_EQ(lines[2], Time(aTime_));
    EXPECT_EQ(lines[3] + lines[4] + lines[5], F("a.txt") + "min" + "120");
}

TEST_F(Files, FileCrc) {
    Agent().Expect({{"TEST-FileCRC", {F("a.txt")}, "200\n" + Int64(0xC9EF5979) + "\n"},
                    {"TEST-FileCRC", {""}, "301\nFile is not specified\n"},
                    {"TEST-FileCRC", {F("fifo")}, "301\nCannot open file\n"},
                    {"TEST-FileCRC", {d}, "301\nRead error\n"}});
}

TEST_F(Files, CountFiles) {
    // clang-format off
    Agent().Expect({
        {"TEST-CountFiles", {d, "*.txt", "0", "0", ""}, "200\n3\n"},
        {"TEST-CountFiles", {d, "*.txt", "1", "junk", "0"}, "200\n4\n"},
        {"TEST-CountFiles", {d, "*", "0", "7", "0"}, "501\nWrong parameter\n"},
        {"TEST-CountFiles", {d, "*", "0", "1", "1x"}, "501\nWrong parameter\n"},
        {"TEST-CountFiles", {F("none"), "*", "0", "0", "-"}, "301\nFolder doesn`t exist or access denied\n"},
    });
    // clang-format on
}

// Mode 1 compares two files, 2 looks for the second in the first, 3 for a
// text.
TEST_F(Files, FileCompare) {
    // clang-format off
    Agent().Expect({
        {"TEST-FileCompare", {"1", F("a.txt"), F("ab.txt"), "0", "0", "1"}, "200\n1\n"},
        {"TEST-FileCompare", {"1", F("a.txt"), F("ab.txt"), "0", "1", "1"}, "200\n0\n"},
        {"TEST-FileCompare", {"1", F("a.txt"), F("none")}, "301\nFile doesn`t exist\n"},
        // Opens, but cannot be read: a process's memory at address 0.
        {"TEST-FileCompare", {"1", "/proc/self/mem", "/proc/self/mem", "0", "0", "1"}, "301\nI/O Error\n"},
        {"TEST-FileCompare", {"9", F("none")}, "301\nFile doesn`t exist\n"},
        {"TEST-FileCompare", {"4", F("a.txt")}, "501\nWrong parameter\n"},
        {"TEST-FileCompare", {"2", F("big"), F("big")}, "200\n1\n"},
        {"TEST-FileCompare", {"2", F("ab.txt"), F("b.txt")}, "200\n0\n"},
        {"TEST-FileCompare", {"2", F("big"), F("big1")}, "301\nThe size of the second file cannot exceed 8Mb\n"},
        {"TEST-FileCompare", {"3", F("ab.txt"), "WORLD", "0", "1"}, "200\n1\n"},
        {"TEST-FileCompare", {"3", F("ab.txt"), "wor", "0", "1"}, "200\n0\n"},
        {"TEST-FileCompare", {"3", F("ab.txt"), ""}, "301\nI/O Error\n"},
        {"TEST-FileCompare", {"3", F("fifo"), "x"}, "301\nFile doesn`t exist\n"},
    });
    // clang-format on
}

// The file list with every column: folders first, "." and hidden ones left
// out.
TEST_F(Files, FileList) {
    Agent().Expect(
        {{"GetFilesList", {""}, "200\n/\n0\n2\n"},
         {"GetFilesList", {F("a.txt"), "b.*", "0", "1"}, "200\n" + d + "/\n1\n2\nb.txt\n0\n"}});
    Reply r = Agent().Request("GetFilesList", {d, "*.txt", "1", "1", "0", "0", "1", "1", "1"});
    ASSERT_EQ(r.status, "200");
    std::vector<std::string> lines = r.Lines();
    ASSERT_EQ(lines.size(), 3u + 5 * 5) << r.body;
    EXPECT_EQ(lines[0] + " " + lines[1] + " " + lines[2], d + "/ 5 5");
    std::set<std::string> folders = {lines[3], lines[8]};
    EXPECT_EQ(folders, (std::set<std::string>{"..", "sub"}));
    EXPECT_EQ(lines[4] + lines[9], "1616");
    for (int i = 13; i < 28; i += 5) {
        if (lines[i] != "a.txt") continue;
        EXPECT_EQ(lines[i + 1] + lines[i + 2] + lines[i + 4], "0" + Int64(5) + Time(aTime_));
    }
    r = Agent().Request("GetFilesList", {d + "/", "", "1", "0", "1"});
    EXPECT_EQ(r.Lines()[1], "3");  // .., sub and .hid
}

TEST_F(Files, OtherPlatformsCommandsRefuse) {
    std::vector<Case> cases;
    for (const char* c : {"TEST-DiskSpace", "TEST-Service", "TEST-NTLog", "TEST-PerfCounter",
                          "GetServicesList", "GetEventLogFiles", "GetEventLogSources"})
        cases.push_back({c, {}, "500\nNot applicable for UNIX/Linux\n"});
    for (const char* c : {"GetDriveList", "TEST-SNMP", "TEST-Script", "TEST-Ping"})
        cases.push_back({c, {}, "500\nnot implemented yet\n"});
    Agent().Expect(cases);
}

// Each switch, turned off alone, refuses its own commands and no other;
// the file list is refused only with all six of its keys off. One agent,
// reloaded for each row.
TEST_F(Files, EachSwitchGatesItsOwnCommands) {
    using Names = std::vector<std::string>;
    const Names fileList = {"foldersize", "countfiles",   "fileexists",
                            "filecrc",    "comparefiles", "textlog"};
    // clang-format off
    const std::vector<std::pair<Names, Names>> rows = {
        {{"unc"}, {"TEST-UNC"}}, {{"foldersize"}, {"TEST-FolderSize"}},
        {{"countfiles"}, {"TEST-CountFiles"}}, {{"fileexists"}, {"TEST-FileExists"}},
        {{"filecrc"}, {"TEST-FileCRC"}}, {{"comparefiles"}, {"TEST-FileCompare"}},
        {{"textlog"}, {"TEST-TextLog", "TEST-TextLog2"}}, {{"external"}, {"TEST-ExternalPrg"}},
        {{"process"}, {"TEST-Process", "GetProcessesList"}}, {{"cpuusage"}, {"TEST-CPU"}},
        {{"shellscript"}, {"TEST-ShellScript"}}, {{"tcp"}, {"TEST-TCP"}}, {{"udp"}, {"TEST-UDP"}},
        {{"executeaction"}, {"ACT-ExternalCmd"}}, {{"tcpudpaction"}, {"ACT-TCPUDPsend"}},
        {{"syslogaction"}, {"ACT-Syslog"}}, {{"ping", "script", "freespace"}, {}},
        {fileList, {"TEST-FolderSize", "TEST-CountFiles", "TEST-FileExists", "TEST-FileCRC",
                    "TEST-FileCompare", "TEST-TextLog", "TEST-TextLog2", "GetFilesList"}},
    };
    // clang-format on
    std::set<std::string> commands, keys;
    for (const auto& row : rows) {
        commands.insert(row.second.begin(), row.second.end());
        keys.insert(row.first.begin(), row.first.end());
    }
    TestAgent agent;
    for (const std::string& key : keys) agent.settings()[key] = "1";
    ASSERT_TRUE(agent.Start()) << agent.Output();
    for (const auto& [off, refused] : rows) {
        for (const std::string& key : off) agent.settings()[key] = "0";
        agent.WriteConfig();
        ASSERT_EQ(agent.Request("ReloadCfg").text, "200\nOk\n\r") << off[0];
        for (const std::string& command : commands) {
            bool gated = std::count(refused.begin(), refused.end(), command) > 0;
            std::string expected = command.rfind("ACT-", 0) == 0 ? "600\noperation is not allowed\n"
                                                                 : "600\ntest is not allowed\n";
            // Parameters that every handler refuses without touching the network.
            Reply r = agent.Request(command, {"", "", ""});
            if (gated)
                EXPECT_EQ(r.text, expected + "\r") << off[0] << ": " << command;
            else
                EXPECT_NE(r.status, "600") << off[0] << ": " << command << " " << r.body;
        }
        for (const std::string& key : off) agent.settings()[key] = "1";
    }
}

// A host's file names cannot add lines to a reply: CR and LF go out as '?',
// every other byte (tabs, long names, invalid UTF-8) as it is.
TEST_F(Files, NamesStayOneLine) {
    TempDir data;
    const std::pair<std::string, std::string> names[] = {
        {"x\n200\nforged", "x?200?forged"},
        {"\nlead", "?lead"},
        {"y\r\nz", "y??z"},
        {"cr\ronly", "cr?only"},
        {"tab\tname", "tab\tname"},
        {"\xff\xfe-bad", "\xff\xfe-bad"},
        {std::string(255, 'n'), std::string(255, 'n')}};
    std::set<std::string> expected;
    for (const auto& [name, shown] : names) {
        data.Write(name, "");
        expected.insert(shown);
    }
    TestAgent& agent = Agent();
    Reply r = agent.Request("GetFilesList", {data.path() + "/", "*", "0", "1", "0", "0"});
    std::vector<std::string> lines = r.Lines();
    ASSERT_EQ(lines.size(), 3u + 2 * 7) << r.body;
    std::set<std::string> listed;
    for (size_t i = 3; i < lines.size(); i += 2) listed.insert(lines[i]);
    EXPECT_EQ(listed, expected);
    r = agent.Request("TEST-FileExists", {data.File("x*")});
    ASSERT_EQ(r.Lines().size(), 6u) << r.body;
    EXPECT_EQ(r.Lines()[3], data.File("x?200?forged"));
}

}  // namespace
