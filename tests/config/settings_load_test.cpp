#include <unistd.h>

#include <string>

#include "config/config_fixture.h"

namespace {

using namespace std::string_literals;
using cfgtest::Dir;
using cfgtest::Load;
using cfgtest::Value;

// One file per row; "what" is a key, or "result" for the load's result and
// error text, or "activefilter" for the derived filter.
TEST(SettingsLoad, LinesKeysAndValues) {
    Dir dir;
    const std::string req = dir.Required();
    const struct {
        std::string text;
        const char* what;
        std::string expected;
    } cases[] = {
        {req, "result", "1:"},
        {req, "activefilter", "\r\n127.0.0.1\r\n"},
        {"filtermarks=11\n", "result",
         "0:FilterMarks has less items than FilterList  TCP post is not specified!\n"
         "  Password is not specified!\n"
         "  Full path to the agent is not specified!\n"},
        {"password=x\nport=1\nowlpath=bin/agent", "result",
         "0:  Full path to the agent is not specified!\n"},
        {"password=x\nport=1\nowlpath=/no/such/file", "result", "0:  Invalid path to the agent!\n"},
        {"password=x\nport=1\nowlpath=" + dir.path(), "result", "0:  Invalid path to the agent!\n"},
        // Spelling, blanks, comments and line ends.
        {"  Port\t=\t1055  ", "port", "1055"},
        {"#port=1055", "port", "0"},
        {";port=1055", "port", "0"},
        {"port 1055", "port", "0"},
        {"port=0\nport=1056\nport=2000\n", "port", "1056"},  // the first non-zero wins
        {"password=ab\0cd\nport=1"s, "password", "ab"},
        {"pass\0word=x\npassword=ok"s, "password", "ok"},
        {"password=ok\nport=1", "port", "1"},
        {"# cr file\rpassword=ok\rport=1\r", "port", "1"},
        // Flags begin with "1"; texts keep inner blanks and "="; numbers atoi.
        {"unc=10", "unc", "1"},
        {"unc=2", "unc", "0"},
        {"comment=  a=B c \t ", "comment", "a=B c"},
        {"timeout=abc", "timeout", "4000"},
        // Only the first 1023 bytes of a line are read.
        {"comment=" + std::string(2000, 'x'), "comment", std::string(1023 - 8, 'x')},
        {"password=ok\n#" + std::string(1100, 'a') + "password=evil\n", "password", "ok"},
        // Scripts without a folder are looked for beside the agent.
        {"owlpath=/opt/owl/agent\ncpuusagescript=cpu.sh", "cpuusagescript", "/opt/owl/cpu.sh"},
        {"owlpath=/opt/owl/agent\nproclistscript=./list.sh", "proclistscript", "./list.sh"},
        // The filter list: items at blanks or encoded line ends, one mark each.
        {req + "filterlist=10.0.0.1   10.0.0.2\nfiltermarks=01", "filterlist",
         "10.0.0.1\r\n10.0.0.2"},
        {req + "filterlist=10.0.0.1 10.0.0.2\nfiltermarks=111", "activefilter",
         "\r\n10.0.0.1\r\n10.0.0.2\r\n"},
        {req + "filterlist= 10.0.0.1%0D%0A10.0.0.2%0A10.0.0.3 10.0.0.4 \nfiltermarks=1111",
         "activefilter", "\r\n10.0.0.1\r\n10.0.0.2\r\n10.0.0.3\r\n10.0.0.4\r\n"},
        {req + "filterlist=a b c\nfiltermarks=1", "activefilter", "\r\na\r\n"},
    };
    for (const auto& c : cases) {
        cfgtest::Loaded l = Load(dir, c.text);
        std::string got = std::string(c.what) == "result" ? std::to_string(l.result) + ":" + l.err
                          : std::string(c.what) == "activefilter" ? Str(l.settings.activefilter)
                                                                  : Value(l.settings, c.what);
        EXPECT_EQ(got, c.expected) << c.what << " after " << c.text;
    }
}

// Neither a load nor a save happens without a readable file; a save then
// leaves no ".New" behind.
TEST(SettingsLoad, FilesThatCannotBeReadOrSaved) {
    Dir dir;
    const struct {
        std::string path, err;
    } cases[] = {
        {"", "Configuration file is not specified"},
        {dir.path(), "Cannot open configuration file '" + dir.path() + "'"},  // opens, reads not
    };
    for (const auto& c : cases) {
        TOWLSettings s;
        cfgtest::SetConfigFile(s, c.path);
        String err;
        EXPECT_EQ(s.LoadOptions_(err), 0) << c.path;
        EXPECT_EQ(Str(err), c.err);
        EXPECT_EQ(Str(s.filterlist), "127.0.0.1");  // the defaults are in force
        EXPECT_EQ(s.SaveOptions_(err), 0) << c.path;
        EXPECT_EQ(Str(err), c.err);
        EXPECT_NE(access((c.path + ".New").c_str(), F_OK), 0) << c.path;
    }
}

// The temporary folder: the file's, else an existing TMPDIR, else TMP only
// when TMPDIR is unset, else "."; TMPDIR follows it.
TEST(SettingsLoad, TemporaryFolder) {
    cfgtest::Env env;
    Dir dir;
    TempDir other;
    const std::string otherSlash = other.path() + "/";
    const struct {
        const char *tmpdirEnv, *tmpEnv;
        std::string line, expected;
    } cases[] = {
        {nullptr, nullptr, "", "."},
        {nullptr, nullptr, "tmpdir=" + otherSlash + "\n", other.path()},
        {dir.path().c_str(), nullptr, "tmpdir=/no/such/folder\n", dir.path()},
        {nullptr, otherSlash.c_str(), "", other.path()},
        {"/no/such/folder", other.path().c_str(), "", "."},
    };
    for (const auto& c : cases) {
        env.Set("TMPDIR", c.tmpdirEnv);
        env.Set("TMP", c.tmpEnv);
        cfgtest::Loaded l = Load(dir, dir.Required() + c.line);
        EXPECT_EQ(Str(l.settings.tmpdir), c.expected) << c.line;
        EXPECT_STREQ(getenv("TMPDIR"), c.expected.c_str());
    }
}

}  // namespace
