#include <stdlib.h>

#include <random>
#include <string>

#include "config/config_fixture.h"
#include "config/settings.h"

namespace {

using cfgtest::EnvGuard;
using cfgtest::S;
using cfgtest::TempDir;
using cfgtest::Value;
using cfgtest::WriteFile;

// Loads text as the configuration file into a fresh record.
struct Loaded {
    TOWLSettings settings;
    int result = -1;
    std::string err;
};

void Load(const TempDir& dir, const std::string& text, Loaded& out) {
    WriteFile(dir.Config(), text);
    cfgtest::SetConfigFile(out.settings, dir.Config());
    String err;
    out.result = out.settings.LoadOptions_(err);
    out.err = S(err);
}

TEST(SettingsLoad, MinimalFileGivesEveryDefault) {
    TempDir dir;
    Loaded l;
    Load(dir, dir.Required(), l);
    EXPECT_EQ(l.result, 1);
    EXPECT_EQ(l.err, "");
    const struct {
        const char* key;
        const char* value;
    } expected[] = {
        {"password", "secret"},
        {"port", "1055"},
        {"timeout", "4000"},
        {"host", ""},
        {"comment", ""},
        {"pidfile", ""},
        {"filteractive", "0"},
        {"filtermarks", "1"},
        {"filterlist", "127.0.0.1"},
        {"logsuccess", "0"},
        {"logfails", "1"},
        {"oklogfile", "log1.txt"},
        {"badlogfile", "log2.txt"},
        {"verboselogfile", ""},
        {"allowupdates", "1"},
        {"allowmanage", "1"},
        {"updateaddr", "127.0.0.1"},
        {"manageaddr", "127.0.0.1"},
        {"unc", "1"},
        {"freespace", "1"},
        {"foldersize", "1"},
        {"countfiles", "1"},
        {"fileexists", "1"},
        {"filecrc", "1"},
        {"comparefiles", "1"},
        {"process", "1"},
        {"cpuusage", "1"},
        {"script", "1"},
        {"external", "1"},
        {"ping", "1"},
        {"tcp", "1"},
        {"udp", "1"},
        {"textlog", "1"},
        {"shellscript", "1"},
        {"executeaction", "0"},
        {"tcpudpaction", "0"},
        {"syslogaction", "0"},
        {"cpuusagescript", ""},
        {"proclistscript", ""},
        {"proccntscript", ""},
    };
    for (const auto& e : expected) EXPECT_EQ(Value(l.settings, e.key), e.value) << e.key;
    EXPECT_EQ(S(l.settings.activefilter), "\r\n127.0.0.1\r\n");
    EXPECT_EQ(S(l.settings.owlpath), dir.Agent());
}

TEST(SettingsLoad, KeySpellingBlanksAndComments) {
    const struct {
        const char* line;
        int port;
    } cases[] = {
        {"Port = 1055", 1055}, {"PORT=1055", 1055}, {"  port\t=\t1055  ", 1055},
        {"port=1055\r", 1055}, {"#port=1055", 0},   {";port=1055", 0},
        {"port 1055", 0},      {" #port=1055", 0},  {"po rt=1055", 0},
        {"port=", 0},          {"port= -7x", -7},   {"port=99999", 99999},
    };
    TempDir dir;
    for (const auto& c : cases) {
        Loaded l;
        Load(dir, std::string("password=x\n") + c.line + "\n", l);
        EXPECT_EQ(l.settings.port, c.port) << c.line;
    }
}

TEST(SettingsLoad, ValueKinds) {
    const struct {
        const char* line;
        const char* key;
        const char* value;
    } cases[] = {
        {"unc=1", "unc", "1"},
        {"unc=10", "unc", "1"},
        {"unc=1x", "unc", "1"},
        {"unc=0", "unc", "0"},
        {"unc=", "unc", "0"},
        {"unc=yes", "unc", "0"},
        {"unc=2", "unc", "0"},
        {"unc= 1", "unc", "1"},
        {"comment=a=b", "comment", "a=b"},
        {"comment=  x y \t ", "comment", "x y"},
        {"Comment=Mixed Case", "comment", "Mixed Case"},
        {"timeout=250", "timeout", "250"},
        {"timeout=-5", "timeout", "-5"},
        {"timeout=abc", "timeout", "4000"},
        {"oklogfile=", "oklogfile", ""},
    };
    TempDir dir;
    for (const auto& c : cases) {
        Loaded l;
        Load(dir, dir.Required() + c.line + "\n", l);
        EXPECT_EQ(Value(l.settings, c.key), c.value) << c.line;
    }
}

TEST(SettingsLoad, PortFromCommandLineOrFirstNonZeroLineWins) {
    TempDir dir;
    Loaded a;
    Load(dir, "port=0\nport=1056\nport=2000\n", a);
    EXPECT_EQ(a.settings.port, 1056);

    Loaded b;
    b.settings.port = 4321;  // "-p 4321"
    Load(dir, "port=1056\n", b);
    EXPECT_EQ(b.settings.port, 4321);
}

TEST(SettingsLoad, ErrorTexts) {
    TempDir dir;
    Loaded none;
    Load(dir, "comment=only\n", none);
    EXPECT_EQ(none.result, 0);
    EXPECT_EQ(none.err,
              "  TCP post is not specified!\n  Password is not specified!\n"
              "  Full path to the agent is not specified!\n");

    const struct {
        std::string owlpath;
        const char* err;
    } paths[] = {
        {"bin/agent", "  Full path to the agent is not specified!\n"},
        {"/no/such/file", "  Invalid path to the agent!\n"},
        {dir.path(), "  Invalid path to the agent!\n"},  // a folder
        {dir.Agent(), ""},
    };
    for (const auto& p : paths) {
        Loaded l;
        Load(dir, "password=x\nport=1\nowlpath=" + p.owlpath + "\n", l);
        EXPECT_EQ(l.err, p.err) << p.owlpath;
        EXPECT_EQ(l.result, p.err[0] == 0) << p.owlpath;
    }

    TOWLSettings unnamed;
    String err;
    EXPECT_EQ(unnamed.LoadOptions_(err), 0);
    EXPECT_EQ(S(err), "Configuration file is not specified");
    EXPECT_EQ(S(unnamed.filterlist), "127.0.0.1");  // the defaults are in force

    TOWLSettings missing;
    cfgtest::SetConfigFile(missing, dir.File("gone.cfg"));
    EXPECT_EQ(missing.LoadOptions_(err), 0);
    EXPECT_EQ(S(err), "Cannot open configuration file '" + dir.File("gone.cfg") + "'");

    TOWLSettings folder;  // opens, but cannot be read
    cfgtest::SetConfigFile(folder, dir.path());
    EXPECT_EQ(folder.LoadOptions_(err), 0);
    EXPECT_EQ(S(err), "Cannot open configuration file '" + dir.path() + "'");
}

TEST(SettingsLoad, FilterListAndMarks) {
    TempDir dir;
    Loaded spaced;
    Load(dir, dir.Required() + "filterlist=10.0.0.1   10.0.0.2\nfiltermarks=01\n", spaced);
    EXPECT_EQ(spaced.result, 1);
    EXPECT_EQ(spaced.err, "");
    EXPECT_EQ(S(spaced.settings.filterlist), "10.0.0.1\r\n10.0.0.2");
    EXPECT_EQ(S(spaced.settings.activefilter), "\r\n10.0.0.2\r\n");

    Loaded tooManyMarks;
    Load(dir, dir.Required() + "filterlist=10.0.0.1   10.0.0.2\nfiltermarks=111\n", tooManyMarks);
    EXPECT_EQ(tooManyMarks.result, 1);
    EXPECT_EQ(tooManyMarks.err, "FilterMarks has less items than FilterList");
    EXPECT_EQ(S(tooManyMarks.settings.activefilter), "\r\n10.0.0.1\r\n10.0.0.2\r\n");

    // The warning is replaced by the errors that follow it.
    Loaded warnedAndFailed;
    Load(dir, "filtermarks=11\n", warnedAndFailed);
    EXPECT_EQ(warnedAndFailed.result, 0);
    EXPECT_EQ(warnedAndFailed.err.rfind("FilterMarks has less items than FilterList  TCP post", 0),
              0u);

    Loaded encoded;
    Load(dir,
         dir.Required() +
             "filterlist= 10.0.0.1%0D%0A10.0.0.2%0A10.0.0.3 10.0.0.4 \nfiltermarks=1111\n",
         encoded);
    EXPECT_EQ(encoded.err, "");
    EXPECT_EQ(S(encoded.settings.activefilter),
              "\r\n10.0.0.1\r\n10.0.0.2\r\n10.0.0.3\r\n10.0.0.4\r\n");

    Loaded fewerMarks;
    Load(dir, dir.Required() + "filterlist=a b c\nfiltermarks=1\n", fewerMarks);
    EXPECT_EQ(S(fewerMarks.settings.activefilter), "\r\na\r\n");
}

TEST(SettingsLoad, ScriptsBesideTheAgent) {
    TempDir dir;
    Loaded l;
    Load(dir, dir.Required() + "cpuusagescript=cpu.sh\nproclistscript=./list.sh\nproccntscript=\n",
         l);
    EXPECT_EQ(S(l.settings.cpuusagescript), dir.path() + "/cpu.sh");
    EXPECT_EQ(S(l.settings.proclistscript), "./list.sh");
    EXPECT_EQ(S(l.settings.proccntscript), "");
}

TEST(SettingsLoad, KeptKeysKeepTheirValuesWhenTheyDisappear) {
    TempDir dir;
    Loaded l;
    Load(dir, dir.Required() + "host=10.1.1.1\nverboselogfile=v.log\ncomment=c\ntimeout=9\n", l);
    ASSERT_EQ(l.result, 1);
    WriteFile(dir.Config(), dir.Required());
    String err;
    EXPECT_EQ(l.settings.LoadOptions_(err), 1);
    EXPECT_EQ(S(l.settings.host), "10.1.1.1");
    EXPECT_EQ(S(l.settings.verboselogfile), "v.log");
    EXPECT_EQ(l.settings.timeout, 9);
    EXPECT_EQ(S(l.settings.comment), "");  // reset by every load
}

TEST(SettingsLoad, TemporaryFolder) {
    EnvGuard env;
    TempDir dir;
    TempDir other;
    unsetenv("TMPDIR");
    unsetenv("TMP");
    Loaded plain;
    Load(dir, dir.Required(), plain);
    EXPECT_EQ(S(plain.settings.tmpdir), ".");
    ASSERT_NE(getenv("TMPDIR"), nullptr);
    EXPECT_STREQ(getenv("TMPDIR"), ".");

    Loaded slash;
    Load(dir, dir.Required() + "tmpdir=" + other.path() + "/\n", slash);
    EXPECT_EQ(S(slash.settings.tmpdir), other.path());
    EXPECT_EQ(std::string(getenv("TMPDIR")), other.path());

    // A missing folder falls back to TMPDIR, and TMP only when TMPDIR is unset.
    setenv("TMPDIR", dir.path().c_str(), 1);
    Loaded fromTmpdir;
    Load(dir, dir.Required() + "tmpdir=/no/such/folder\n", fromTmpdir);
    EXPECT_EQ(S(fromTmpdir.settings.tmpdir), dir.path());

    unsetenv("TMPDIR");
    setenv("TMP", (other.path() + "/").c_str(), 1);
    Loaded fromTmp;
    Load(dir, dir.Required(), fromTmp);
    EXPECT_EQ(S(fromTmp.settings.tmpdir), other.path());

    setenv("TMPDIR", "/no/such/folder", 1);
    Loaded badTmpdir;
    Load(dir, dir.Required(), badTmpdir);
    EXPECT_EQ(S(badTmpdir.settings.tmpdir), ".");
}

TEST(SettingsLoad, LongLinesAreReadByTheirFirst1023Bytes) {
    TempDir dir;
    std::string longComment(2000, 'x');
    // The tail of a long comment line looks like a key but belongs to the line.
    std::string longRemark = "#" + std::string(1100, 'a') + "password=evil\n";
    Loaded l;
    Load(dir, dir.Required() + "comment=" + longComment + "\n" + longRemark, l);
    EXPECT_EQ(l.result, 1);
    EXPECT_EQ(S(l.settings.comment), std::string(1023 - 8, 'x'));
    EXPECT_EQ(S(l.settings.password), "secret");
}

TEST(SettingsLoad, AwkwardBytesAndLineEnds) {
    TempDir dir;
    const struct {
        std::string name;
        std::string text;
    } files[] = {
        {"zero byte in a value", std::string("password=ab\0cd\nport=1\n", 22)},
        {"zero byte in a key", std::string("pass\0word=x\npassword=ok\nport=1\n", 31)},
        {"no final line end", "password=ok\nport=1"},
        {"CR LF", "password=ok\r\nport=1\r\n"},
        {"CR only", "# cr file\rpassword=ok\rport=1\r"},
    };
    for (const auto& f : files) {
        Loaded l;
        Load(dir, f.text, l);
        EXPECT_EQ(l.settings.port, 1) << f.name;
        EXPECT_TRUE(S(l.settings.password) == "ok" || S(l.settings.password) == "ab") << f.name;
    }
}

TEST(SettingsLoad, RandomBytesLoadWithoutHarm) {
    TempDir dir;
    std::mt19937 rng(12345);
    const char alphabet[] = "=\r\n\0#; \tportunc1";
    for (int round = 0; round < 60; round++) {
        std::string text;
        int size = rng() % 5000;
        for (int i = 0; i < size; i++)
            text += rng() % 3 ? (char)(rng() % 256) : alphabet[rng() % (sizeof(alphabet) - 1)];
        Loaded l;
        Load(dir, text, l);
        EXPECT_TRUE(l.result == 0 || l.result == 1);
        EXPECT_EQ(l.settings.activefilter.Pos("\r\n"), 1);
    }
}

}  // namespace
