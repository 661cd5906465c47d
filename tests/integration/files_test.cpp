// The file and folder tests, the file list and the fixed refusals against
// the real agent.
#include "handlers/files.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdio.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <map>
#include <set>
#include <string>
#include <vector>

#include "config/settings.h"
#include "handlers/filelist.h"
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

// data/: a.txt "hello" (two hours old), ab.txt "hello world", b.txt, fifo,
// .hid/, sub/ c.txt; big (8,388,608 bytes), big1 (one more).
TEST(FileTests, RepliesOfEveryHandler) {
    TempDir data;
    const std::string d = data.path();
    auto F = [&](const std::string& name) { return data.File(name); };
    data.Write("a.txt", "hello");
    data.Write("ab.txt", "hello world");
    data.Write("b.txt", "0123456789");
    mkdir(F("sub").c_str(), 0755);
    mkdir(F(".hid").c_str(), 0755);
    data.Write("sub/c.txt", "abc");
    mkfifo(F("fifo").c_str(), 0666);
    data.Write("big", std::string(8388608, 'x'));
    data.Write("big1", std::string(8388609, 'x'));
    const time_t aTime = time(nullptr) - 7230;
    struct timespec t[2] = {{aTime, 0}, {aTime, 0}};
    utimensat(AT_FDCWD, F("a.txt").c_str(), t, 0);
    utimensat(AT_FDCWD, F(".hid").c_str(), t, 0);
    TestAgent agent;
    ASSERT_TRUE(agent.Start()) << agent.Output();
    int descriptors = OpenDescriptors(agent.pid());
    // clang-format off
    std::vector<Case> cases = {
        {"TEST-UNC", {""}, "501\nPath not specified\n"},
        {"TEST-UNC", {"\\"}, "301\nNo such file or directory\n"},
        {"TEST-FolderSize", {F("*.txt")}, "200\n" + Int64(26) + "\n"},
        {"TEST-FolderSize", {d, "1"}, "200\n" + Int64(8388608 * 2 + 1 + 29) + "\n"},
        {"TEST-FolderSize", {F("%newestfolder%"), "", "", "", "", "", "", "1"}, "200\n" + Int64(3) + "\n"},
        {"TEST-FolderSize", {F("none/*")}, "301\nFolder/File doesn`t exist or access denied\n"},
        {"TEST-FileExists", {F("none*")}, "301\nno such file or acess denied\n"},
        {"TEST-FileCRC", {F("a.txt")}, "200\n" + Int64(0xC9EF5979) + "\n"},
        {"TEST-FileCRC", {""}, "301\nFile is not specified\n"},
        {"TEST-FileCRC", {F("fifo")}, "301\nCannot open file\n"},
        {"TEST-FileCRC", {d}, "301\nRead error\n"},
        {"TEST-CountFiles", {d, "*.txt", "0", "0", ""}, "200\n3\n"},
        {"TEST-CountFiles", {d, "*.txt", "1", "junk", "0"}, "200\n4\n"},
        {"TEST-CountFiles", {d, "*", "0", "7", "0"}, "501\nWrong parameter\n"},
        {"TEST-CountFiles", {d, "*", "0", "1", "1x"}, "501\nWrong parameter\n"},
        {"TEST-CountFiles", {F("none"), "*", "0", "0", "-"}, "301\nFolder doesn`t exist or access denied\n"},
        {"TEST-FileCompare", {"1", F("a.txt"), F("ab.txt"), "0", "0", "1"}, "200\n1\n"},
        {"TEST-FileCompare", {"1", F("a.txt"), F("ab.txt"), "0", "1", "1"}, "200\n0\n"},
        {"TEST-FileCompare", {"1", F("a.txt"), F("none")}, "301\nFile doesn`t exist\n"},
        {"TEST-FileCompare", {"9", F("none")}, "301\nFile doesn`t exist\n"},
        {"TEST-FileCompare", {"4", F("a.txt")}, "501\nWrong parameter\n"},
        {"TEST-FileCompare", {"2", F("big"), F("big")}, "200\n1\n"},
        {"TEST-FileCompare", {"2", F("big"), F("big1")}, "301\nThe size of the second file cannot exceed 8Mb\n"},
        {"TEST-FileCompare", {"3", F("ab.txt"), "WORLD", "0", "1"}, "200\n1\n"},
        {"TEST-FileCompare", {"3", F("ab.txt"), "wor", "0", "1"}, "200\n0\n"},
        {"TEST-FileCompare", {"3", F("ab.txt"), ""}, "301\nI/O Error\n"},
        {"TEST-FileCompare", {"3", F("fifo"), "x"}, "301\nFile doesn`t exist\n"},
        {"GetFilesList", {""}, "200\n/\n0\n2\n"},
        {"GetFilesList", {F("a.txt"), "b.*", "0", "1"}, "200\n" + d + "/\n1\n2\nb.txt\n0\n"},
    };
    // clang-format on
    for (const char* c : {"TEST-DiskSpace", "TEST-Service", "TEST-NTLog", "TEST-PerfCounter",
                          "GetServicesList", "GetEventLogFiles", "GetEventLogSources"})
        cases.push_back({c, {}, "500\nNot applicable for UNIX/Linux\n"});
    for (const char* c : {"GetDriveList", "TEST-SNMP", "TEST-Script", "TEST-Ping"})
        cases.push_back({c, {}, "500\nnot implemented yet\n"});
    agent.Expect(cases);

    Reply r = agent.Request("TEST-UNC", {d + "\\"});
    EXPECT_EQ(r.status, "200");
    EXPECT_EQ(r.Lines().size(), 3u) << r.body;
    r = agent.Request("TEST-FileExists", {F("a.*")});
    EXPECT_EQ(r.status, "200");
    std::vector<std::string> lines = r.Lines();
    ASSERT_EQ(lines.size(), 6u) << r.body;
    EXPECT_EQ(lines[0], Int64(5));
    EXPECT_EQ(lines[2], Time(aTime));
    EXPECT_EQ(lines[3] + lines[4] + lines[5], F("a.txt") + "min" + "120");

    // The file list with every column: folders first, "." and hidden ones left out.
    r = agent.Request("GetFilesList", {d, "*.txt", "1", "1", "0", "0", "1", "1", "1"});
    ASSERT_EQ(r.status, "200");
    lines = r.Lines();
    ASSERT_EQ(lines.size(), 3u + 5 * 5) << r.body;
    EXPECT_EQ(lines[0] + " " + lines[1] + " " + lines[2], d + "/ 5 5");
    std::set<std::string> folders = {lines[3], lines[8]};
    EXPECT_EQ(folders, (std::set<std::string>{"..", "sub"}));
    EXPECT_EQ(lines[4] + lines[9], "1616");
    for (int i = 13; i < 28; i += 5) {
        if (lines[i] != "a.txt") continue;
        EXPECT_EQ(lines[i + 1] + lines[i + 2] + lines[i + 4], "0" + Int64(5) + Time(aTime));
    }
    r = agent.Request("GetFilesList", {d + "/", "", "1", "0", "1"});
    EXPECT_EQ(r.Lines()[1], "3");  // .., sub and .hid
    // Every walk and read closed what it opened (sessions end just after
    // their reply).
    EXPECT_TRUE(Eventually([&] { return OpenDescriptors(agent.pid()) == descriptors; }, 1000));
}

// Every test and action switched off gets its refusal; the file list
// follows either of its two keys.
TEST(SwitchedOff, TestsActionsAndTheFileListKeys) {
    std::map<std::string, std::string> keys = {{"ping", "1"}};
    for (const char* key :
         {"unc", "foldersize", "countfiles", "fileexists", "filecrc", "comparefiles", "textlog",
          "external", "shellscript", "process", "cpuusage", "tcp", "udp", "executeaction",
          "tcpudpaction", "syslogaction"})
        keys[key] = "0";
    TestAgent off(keys);
    ASSERT_TRUE(off.Start()) << off.Output();
    std::vector<Case> cases = {{"TEST-Ping", {}, "500\nnot implemented yet\n"}};
    for (const char* command :
         {"TEST-UNC", "TEST-FolderSize", "TEST-FileExists", "TEST-FileCompare", "TEST-FileCRC",
          "TEST-CountFiles", "GetFilesList", "TEST-TextLog", "TEST-TextLog2", "TEST-ExternalPrg",
          "TEST-ShellScript", "TEST-Process", "TEST-CPU", "GetProcessesList", "TEST-TCP",
          "TEST-UDP"})
        cases.push_back({command, {"/bin/true", "x"}, "600\ntest is not allowed\n"});
    for (const char* action : {"ACT-ExternalCmd", "ACT-TCPUDPsend", "ACT-Syslog"})
        cases.push_back({action, {"/bin/true", "x"}, "600\noperation is not allowed\n"});
    off.Expect(cases);
    keys["textlog"] = "1";
    TestAgent textlog(keys);
    ASSERT_TRUE(textlog.Start()) << textlog.Output();
    EXPECT_EQ(textlog.Request("GetFilesList").status, "200");
}

// Bad input straight into the handlers: every request gets one of the
// handler's own replies, and nothing blocks or leaks a descriptor.
TEST(FileHandlers, BadInputGetsItsReply) {
    {
        TSettingsWriteLock lock;
        for (int TOWLSettings::*flag :
             {&TOWLSettings::unc, &TOWLSettings::foldersize, &TOWLSettings::fileexists,
              &TOWLSettings::comparefiles, &TOWLSettings::filecrc, &TOWLSettings::countfiles})
            OWLSettings.*flag = 1;
    }
    TempDir dir;
    mkfifo(dir.File("fifo").c_str(), 0666);
    // clang-format off
    const std::string values[] = {"", std::string("/etc/passwd\0/x", 14), "/" + std::string(10000, 'a'),
        dir.path() + "/%newestfile%junk", dir.path() + "/app-%NEWESTFILE%", dir.File("fifo"),
        "/dev/zero", "\xff\\*["};
    // clang-format on
    void (*handlers[])(const QXRequest&, OWLReply&) = {
        ProcessTest_UNC,        ProcessTest_FolderSize,  ProcessTest_FileExists,
        ProcessTest_FileCRC,    ProcessTest_FileCompare, ProcessTest_CountFiles,
        ProcessInfo_GetFileList};
    int descriptors = OpenDescriptors(getpid());
    for (auto handler : handlers)
        for (const std::string& v : values)
            for (const char* first : {"", "1", "2", "3", "5"}) {
                std::string text = *first ? first + std::string("\n") : v + "\n";
                for (int i = 2; i <= 13; i++) text += v + "\n";
                QXRequest params;
                params = Bytes(text);
                OWLReply reply;
                handler(params, reply);
                std::string status = Str(reply).substr(0, 4);
                EXPECT_TRUE(status == "200\n" || status == "301\n" || status == "501\n")
                    << Str(reply);
            }
    EXPECT_EQ(OpenDescriptors(getpid()), descriptors);
}

}  // namespace

// A host's file names cannot add lines to a reply: CR and LF go out as '?',
// every other byte (tabs, long names, invalid UTF-8) as it is.
TEST(FileTests, NamesStayOneLine) {
    TempDir data;
    const std::pair<std::string, std::string> names[] = {
        {"x\n200\nforged", "x?200?forged"},
        {"y\r\nz", "y??z"},
        {"tab\tname", "tab\tname"},
        {"\xff\xfe-bad", "\xff\xfe-bad"},
        {std::string(255, 'n'), std::string(255, 'n')}};
    std::set<std::string> expected;
    for (const auto& [name, shown] : names) {
        data.Write(name, "");
        expected.insert(shown);
    }
    TestAgent agent;
    ASSERT_TRUE(agent.Start()) << agent.Output();
    Reply r = agent.Request("GetFilesList", {data.path() + "/", "*", "0", "1", "0", "0"});
    std::vector<std::string> lines = r.Lines();
    ASSERT_EQ(lines.size(), 3u + 2 * 5) << r.body;
    std::set<std::string> listed;
    for (size_t i = 3; i < lines.size(); i += 2) listed.insert(lines[i]);
    EXPECT_EQ(listed, expected);
    r = agent.Request("TEST-FileExists", {data.File("x*")});
    ASSERT_EQ(r.Lines().size(), 6u) << r.body;
    EXPECT_EQ(r.Lines()[3], data.File("x?200?forged"));
}
