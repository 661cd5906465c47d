#include <unistd.h>

#include <string>

#include "config/config_fixture.h"
#include "config/ipfilter.h"

namespace {

using cfgtest::Dir;

int Reload(std::string* err = nullptr) {
    String text;
    int result = OWLSettings.LoadOptions(text);
    if (err) *err = Str(text);
    return result;
}

// Start-up: the first load is put in force even when it fails, so that the
// start-up checks report on what was read. Runs in a fresh process.
TEST(SettingsGlobalDeathTest, FailedFirstLoadIsPutInForce) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            bool ok;
            {
                Dir dir;
                dir.Write("owl.cfg", "password=first\nunc=0\n");
                cfgtest::SetConfigFile(OWLSettings, dir.Config());
                std::string err;
                ok = Reload(&err) == 0 && err.find("TCP post") != std::string::npos &&
                     SettingText(&TOWLSettings::password) == "first" &&
                     SettingInt(&TOWLSettings::unc) == 0;
            }
            exit(ok ? 0 : 1);
        },
        testing::ExitedWithCode(0), "");
}

// A failed reload leaves the settings in force alone; a reload with a
// warning puts them in force, a save the values derived from them.
TEST(SettingsGlobal, ReloadsAndSavesOfTheSettingsInForce) {
    cfgtest::Env env;
    Dir dir;
    TempDir otherTmp;
    cfgtest::SetConfigFile(OWLSettings, dir.Config());
    std::string good =
        dir.Required() + "filteractive=1\nfilterlist=10.0.0.5\nunc=0\ntmpdir=" + dir.path() + "\n";
    dir.Write("owl.cfg", "timeout=9\nhost=10.1.1.1\ncomment=c\n" + good);
    ASSERT_EQ(Reload(), 1);
    dir.Write("owl.cfg", "port=1055\nowlpath=" + dir.Agent() +
                             "\nfilteractive=0\nunc=1\ntmpdir=" + otherTmp.path() + "\n");
    EXPECT_EQ(Reload(), 0);  // no password
    EXPECT_EQ(Str(SettingText(&TOWLSettings::activefilter)), "\r\n10.0.0.5\r\n");
    EXPECT_EQ(SettingInt(&TOWLSettings::unc), 0);
    EXPECT_STREQ(getenv("TMPDIR"), dir.path().c_str());
    EXPECT_TRUE(FilterAdmits("10.0.0.5") && !FilterAdmits("10.0.0.6"));

    // A load with only a warning is put in force. Keys without a value
    // before each load keep theirs when they disappear, and port keeps a
    // value from the command line or an earlier load.
    dir.Write("owl.cfg", "port=4321\n" + good + "filtermarks=11\nunc=1\n");
    std::string err;
    EXPECT_EQ(Reload(&err), 1);
    EXPECT_EQ(err, "FilterMarks has less items than FilterList");
    EXPECT_EQ(SettingInt(&TOWLSettings::unc), 1);
    EXPECT_EQ(SettingInt(&TOWLSettings::port), 1055);
    EXPECT_EQ(SettingInt(&TOWLSettings::timeout), 9);
    EXPECT_EQ(Str(SettingText(&TOWLSettings::host)), "10.1.1.1");
    EXPECT_EQ(Str(SettingText(&TOWLSettings::comment)), "");

    // A save puts the derived values (the filter) in force, even when the
    // file cannot be written.
    unlink(dir.Config().c_str());
    {
        TSettingsWriteLock lock;
        SetSettingFromRemote(OWLSettings, *FindRemoteSetting("IPFilterAddr"),
                             "10.0.0.1%0D%0A10.0.0.2");
        SetSettingFromRemote(OWLSettings, *FindRemoteSetting("IPFilterMarks"), "01");
    }
    String text;
    EXPECT_EQ(OWLSettings.SaveOptions(text), 0);
    EXPECT_EQ(Str(SettingText(&TOWLSettings::activefilter)), "\r\n10.0.0.2\r\n");
    EXPECT_TRUE(FilterAdmits("10.0.0.2") && !FilterAdmits("10.0.0.1"));
}

// File keys without case; remote names with it. A remote flag is 1 only
// for exactly "1"; numbers are read with atoi, texts taken as they stand.
TEST(SettingsKeys, LookupAndRemoteValues) {
    const TSettingKey* port = FindSettingKey("PoRt", -1);
    ASSERT_NE(port, nullptr);
    EXPECT_EQ(port->number, &TOWLSettings::port);
    EXPECT_EQ(FindSettingKey("port", 3), nullptr);
    EXPECT_EQ(FindSettingKey(nullptr, -1), nullptr);
    EXPECT_EQ(FindRemoteSetting("Service"), nullptr);  // accepted remotely, but no field
    TOWLSettings s;
    const struct {
        const char *remote, *key, *value, *stored;
    } cases[] = {
        {"LogOkConn", "logsuccess", "10", "0"},
        {"Drive Space", "freespace", "true", "0"},
        {"Execute external command", "executeaction", "01", "0"},
        {"Port", "port", "1056x", "1056"},
        {"Comment", "comment", "a%0Ab", "a%0Ab"},
    };
    for (const auto& c : cases) {
        const TSettingKey* row = FindRemoteSetting(c.remote);
        ASSERT_NE(row, nullptr) << c.remote;
        EXPECT_STREQ(row->key, c.key);
        SetSettingFromRemote(s, *row, c.value);
        EXPECT_EQ(Str(SettingValue(s, *row)), c.stored) << c.remote << "=" << c.value;
    }
}

}  // namespace
