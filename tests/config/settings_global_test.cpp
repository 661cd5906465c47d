#include <stdlib.h>

#include <string>

#include "config/config_fixture.h"
#include "config/ipfilter.h"
#include "config/settings.h"

namespace {

using cfgtest::ReadFile;
using cfgtest::S;
using cfgtest::TempDir;
using cfgtest::WriteFile;

int Reload(std::string* err = nullptr) {
    String text;
    int result = OWLSettings.LoadOptions(text);
    if (err) *err = S(text);
    return result;
}

// Start-up: the first load is put in force even when it fails, so that the
// start-up checks report on what was read. Runs in a fresh process.
TEST(SettingsGlobalDeathTest, FailedFirstLoadIsPutInForce) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    TempDir dir;
    WriteFile(dir.Config(), "password=first\nunc=0\n");
    EXPECT_EXIT(
        {
            cfgtest::SetConfigFile(OWLSettings, dir.Config());
            std::string err;
            int result = Reload(&err);
            bool inForce = SettingText(&TOWLSettings::password) == "first" &&
                           SettingInt(&TOWLSettings::unc) == 0;
            dir.Remove();
            exit(result == 0 && err.find("TCP post") != std::string::npos && inForce ? 0 : 1);
        },
        testing::ExitedWithCode(0), "");
}

TEST(SettingsGlobal, FailedReloadKeepsTheSettingsInForce) {
    cfgtest::EnvGuard env;
    TempDir dir;
    TempDir otherTmp;
    cfgtest::SetConfigFile(OWLSettings, dir.Config());
    std::string good =
        dir.Required() + "filteractive=1\nfilterlist=10.0.0.5\nunc=0\ntmpdir=" + dir.path() + "\n";
    WriteFile(dir.Config(), good);
    ASSERT_EQ(Reload(), 1);
    const std::string activeBefore = S(SettingText(&TOWLSettings::activefilter));
    EXPECT_EQ(activeBefore, "\r\n10.0.0.5\r\n");

    auto expectUnchanged = [&](const char* what) {
        EXPECT_EQ(S(SettingText(&TOWLSettings::password)), "secret") << what;
        EXPECT_EQ(S(SettingText(&TOWLSettings::activefilter)), activeBefore) << what;
        EXPECT_EQ(SettingInt(&TOWLSettings::filteractive), 1) << what;
        EXPECT_EQ(SettingInt(&TOWLSettings::unc), 0) << what;
        EXPECT_EQ(S(SettingText(&TOWLSettings::tmpdir)), dir.path()) << what;
        EXPECT_EQ(std::string(getenv("TMPDIR")), dir.path()) << what;
        EXPECT_TRUE(FilterAdmits("10.0.0.5")) << what;
        EXPECT_FALSE(FilterAdmits("10.0.0.6")) << what;
    };

    std::string err;
    WriteFile(dir.Config(), "port=1055\nowlpath=" + dir.Agent() +
                                "\nfilteractive=0\nunc=1\ntmpdir=" + otherTmp.path() + "\n");
    EXPECT_EQ(Reload(&err), 0);
    EXPECT_EQ(err, "  Password is not specified!\n");
    expectUnchanged("no password");

    unlink(dir.Config().c_str());
    EXPECT_EQ(Reload(&err), 0);
    EXPECT_EQ(err, "Cannot open configuration file '" + dir.Config() + "'");
    expectUnchanged("no file");

    // A load with only a warning is put in force.
    WriteFile(dir.Config(), good + "filtermarks=11\nunc=1\n");
    EXPECT_EQ(Reload(&err), 1);
    EXPECT_EQ(err, "FilterMarks has less items than FilterList");
    EXPECT_EQ(SettingInt(&TOWLSettings::unc), 1);
}

TEST(SettingsGlobal, SaveUsesTheValuesInForce) {
    TempDir dir;
    cfgtest::SetConfigFile(OWLSettings, dir.Config());
    WriteFile(dir.Config(), dir.Required() + "tmpdir=" + dir.path() + "\n");
    ASSERT_EQ(Reload(), 1);
    const TSettingKey* addr = FindRemoteSetting("IPFilterAddr");
    const TSettingKey* marks = FindRemoteSetting("IPFilterMarks");
    const TSettingKey* filtering = FindRemoteSetting("IPFiltering");
    ASSERT_TRUE(addr && marks && filtering);
    {
        TSettingsWriteLock lock;
        SetSettingFromRemote(OWLSettings, *addr, "10.0.0.1%0D%0A10.0.0.2");
        SetSettingFromRemote(OWLSettings, *marks, "11");
        SetSettingFromRemote(OWLSettings, *filtering, "1");
    }
    String err;
    EXPECT_EQ(OWLSettings.SaveOptions(err), 1);
    EXPECT_NE(ReadFile(dir.Config()).find("\r\nfilterlist=10.0.0.1 10.0.0.2\r\n"),
              std::string::npos);
    EXPECT_EQ(S(SettingText(&TOWLSettings::activefilter)), "\r\n10.0.0.1\r\n10.0.0.2\r\n");
    EXPECT_TRUE(FilterAdmits("10.0.0.2"));
    {
        TSettingsReadLock lock;
        EXPECT_EQ(S(SettingValue(OWLSettings, *addr)), "10.0.0.1\r\n10.0.0.2");
    }

    unlink(dir.Config().c_str());
    {
        TSettingsWriteLock lock;
        SetSettingFromRemote(OWLSettings, *marks, "01");
    }
    EXPECT_EQ(OWLSettings.SaveOptions(err), 0);
    EXPECT_EQ(S(err), "Cannot open configuration file '" + dir.Config() + "'");
    // The change is in force although the file could not be written.
    EXPECT_FALSE(FilterAdmits("10.0.0.1"));
    {
        TSettingsWriteLock lock;
        OWLSettings.filteractive = 0;
    }
    EXPECT_TRUE(FilterAdmits("10.0.0.1"));
}

TEST(SettingsKeys, LookupByFileKeyAndRemoteName) {
    EXPECT_EQ(OWLSettingKeyCount, 42);
    const TSettingKey* port = FindSettingKey("PoRt", -1);
    ASSERT_NE(port, nullptr);
    EXPECT_EQ(port->number, &TOWLSettings::port);
    EXPECT_EQ(FindSettingKey("port", 3), nullptr);
    EXPECT_EQ(FindSettingKey("", 0), nullptr);
    EXPECT_EQ(FindSettingKey(nullptr, -1), nullptr);

    int saved = 0;
    for (int i = 0; i < OWLSettingKeyCount; i++)
        if (OWLSettingKeys[i].save != SettingSave::No) saved++;
    EXPECT_EQ(saved, 36);

    const struct {
        const char* remote;
        const char* key;
    } names[] = {
        {"LogOkConn", "logsuccess"},
        {"Drive Space", "freespace"},
        {"Execute external command", "executeaction"},
        {"TCP/UDP send", "tcpudpaction"},
        {"AllowRManage", "allowmanage"},
        {"Ping", "ping"},
        {"Port", "port"},
        {"IPFilterAddr", "filterlist"},
    };
    for (const auto& n : names) {
        const TSettingKey* row = FindRemoteSetting(n.remote);
        ASSERT_NE(row, nullptr) << n.remote;
        EXPECT_STREQ(row->key, n.key);
    }
    EXPECT_EQ(FindRemoteSetting("logokconn"), nullptr);  // names are case-sensitive
    EXPECT_EQ(FindRemoteSetting("Service"), nullptr);    // accepted remotely, but no field
}

TEST(SettingsKeys, RemoteValuesAreDecodedStrictly) {
    TOWLSettings s;
    const TSettingKey* log = FindRemoteSetting("LogOkConn");
    const TSettingKey* port = FindRemoteSetting("Port");
    const TSettingKey* comment = FindRemoteSetting("Comment");
    ASSERT_TRUE(log && port && comment);
    const struct {
        const char* value;
        int flag;
    } flags[] = {{"1", 1}, {"true", 0}, {"01", 0}, {"10", 0}, {"", 0}};
    for (const auto& f : flags) {
        s.logsuccess = 7;
        SetSettingFromRemote(s, *log, f.value);
        EXPECT_EQ(s.logsuccess, f.flag) << f.value;
    }
    SetSettingFromRemote(s, *port, "1056x");
    EXPECT_EQ(s.port, 1056);
    EXPECT_EQ(S(SettingValue(s, *port)), "1056");
    SetSettingFromRemote(s, *comment, "a%0Ab");  // texts are taken as they stand
    EXPECT_EQ(S(s.comment), "a%0Ab");
}

}  // namespace
