// Console and file logging: line formats, routing by type, cuts and where
// log files land.
#include "runtime/log.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <stdio.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <string>

#include "config/settings.h"
#include "support/agent.h"
#include "support/process.h"

namespace {

in_addr Peer(const char* dotted) {
    in_addr a;
    a.s_addr = inet_addr(dotted);
    return a;
}

TEST(LogFormat, ConsoleAndFileLines) {
    struct tm t = {};
    ASSERT_NE(strptime("2026-03-07 09:05:03", "%Y-%m-%d %H:%M:%S", &t), nullptr);
    EXPECT_EQ(Str(FormatFileLine(t, Peer("192.168.1.5"), "TCP connection accepted\n")),
              "[03/07/2026 09:05:03]\t 192.168.1.5\t TCP connection accepted\n");
    EXPECT_EQ(Str(FormatConsoleLine(t, Peer("192.168.1.5"), "TCP connection accepted\n")),
              "[owl][09:05:03]\t 192.168.1.5\t TCP connection accepted\n");
}

// Points the log settings at files in a scratch folder.
class LogRouting : public ::testing::Test {
  protected:
    void SetUp() override {
        snprintf(OWLSettings.configfile, sizeof OWLSettings.configfile, "%s/owl.cfg",
                 dir.path().c_str());
        TSettingsWriteLock lock;
        OWLSettings.interactive = 0;
        OWLSettings.debug = 0;
        OWLSettings.verbose = 1;
        OWLSettings.logsuccess = 1;
        OWLSettings.logfails = 1;
        OWLSettings.oklogfile = "ok.log";
        OWLSettings.badlogfile = dir.File("bad.log").c_str();
        OWLSettings.verboselogfile = "verbose.log";
    }
    TempDir dir;
};

TEST_F(LogRouting, TypesChooseTheFiles) {
    showmessage("success\n", LOCAL, MSG_SUCCESS, 0);
    showmessage("failure %d\n", Peer("10.0.0.7"), MSG_FAILURE, 1, 42);
    showmessage("information\n", LOCAL, MSG_INFO, 0);
    showmessage("debug\n", LOCAL, MSG_DEBUG, 0);
    std::string ok = dir.Read("ok.log"), bad = dir.Read("bad.log"),
                verbose = dir.Read("verbose.log");
    EXPECT_NE(ok.find("\t owl\t\t success\n"), std::string::npos) << ok;
    EXPECT_EQ(ok.find("failure"), std::string::npos);
    EXPECT_NE(bad.find("\t 10.0.0.7\t failure 42\n"), std::string::npos) << bad;
    EXPECT_EQ(bad.find("information"), std::string::npos);
    for (const char* m : {"success", "failure 42", "information"})
        EXPECT_NE(verbose.find(m), std::string::npos) << m;
    // Debug messages need debug, even with verbose on.
    EXPECT_EQ(verbose.find("debug"), std::string::npos);
    {
        TSettingsWriteLock lock;
        OWLSettings.debug = 1;
    }
    showmessage("debug now\n", LOCAL, MSG_DEBUG, 0);
    EXPECT_NE(dir.Read("verbose.log").find("debug now"), std::string::npos);
    {
        TSettingsWriteLock lock;
        OWLSettings.debug = 0;
        OWLSettings.verboselogfile = "";
        OWLSettings.logsuccess = 0;
    }
    showmessage("quiet\n", LOCAL, MSG_SUCCESS, 0);
    EXPECT_EQ(dir.Read("ok.log").find("quiet"), std::string::npos);
}

// The console in interactive mode, a text without format taken as it
// stands, and a message cut to 511 bytes.
TEST_F(LogRouting, InteractiveConsoleLiteralTextAndCuts) {
    {
        TSettingsWriteLock lock;
        OWLSettings.interactive = 1;
    }
    ::testing::internal::CaptureStdout();
    const char* literal = "100%s literal\n";  // taken as it stands without useFormat
    showmessage(literal, LOCAL, MSG_INFO, 0);
    std::string out = ::testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("]\t owl\t\t 100%s literal\n"), std::string::npos) << out;

    std::string big(600, 'x');
    ::testing::internal::CaptureStdout();
    showmessage("%s", LOCAL, MSG_FAILURE, 1, big.c_str());
    EXPECT_EQ(::testing::internal::GetCapturedStdout().size(), 511u);
    std::string bad = dir.Read("bad.log");
    EXPECT_EQ(bad.size(), 511u);
    EXPECT_EQ(bad.find('\n'), std::string::npos);
}

TEST_F(LogRouting, FilesWithoutFolderLandBesideTheConfiguration) {
    writelog(String("log1.txt"), "a line\n");
    EXPECT_EQ(dir.Read("log1.txt"), "a line\n");
    // A configuration named without a folder: the current directory.
    TempDir cwd;
    char old[4096];
    ASSERT_NE(getcwd(old, sizeof old), nullptr);
    ASSERT_EQ(chdir(cwd.path().c_str()), 0);
    strcpy(OWLSettings.configfile, "owl.cfg");
    writelog(String("log1.txt"), "here\n");
    // Nothing happens for an empty name, a null text or an unopenable file.
    writelog(String(), "x");
    writelog(String("log1.txt"), nullptr);
    writelog(String("/nonexistent/folder/log.txt"), "x");
    EXPECT_EQ(cwd.Read("log1.txt"), "here\n");
    EXPECT_EQ(Entries(cwd.path()), 1);
    EXPECT_NE(access("/nonexistent", F_OK), 0);
    ASSERT_EQ(chdir(old), 0);
}

}  // namespace
