// Console and file logging: line formats, routing by type, cuts and where
// log files land.
#include "runtime/log.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <stdio.h>
#include <time.h>

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

}  // namespace
