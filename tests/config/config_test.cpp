// The configuration: the record loaded from and saved to its file line by
// line, the temporary folder, the address lists of the connection filter,
// and readers and loggers while the main thread reloads and saves (meant to
// be run under ThreadSanitizer as well: -DSANITIZE=thread).
#include <gtest/gtest.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "config/ipfilter.h"
#include "config/settings.h"
#include "runtime/log.h"
#include "support/agent.h"
#include "support/process.h"

namespace {

using namespace std::string_literals;

// A TempDir with an "agent" file; Config() is the configuration file.
class Dir : public TempDir {
  public:
    Dir() { Write("agent", "#!/bin/sh\n"); }
    std::string Agent() const { return File("agent"); }
    std::string Config() const { return File("owl.cfg"); }
    std::string Text() const { return Read("owl.cfg"); }
    // The three lines that make a load succeed.
    std::string Required() const { return "password=secret\nport=1055\nowlpath=" + Agent() + "\n"; }
};

void SetConfigFile(TOWLSettings& settings, const std::string& path) {
    snprintf(settings.configfile, sizeof settings.configfile, "%s", path.c_str());
}

// A fresh record loaded from text written as the configuration file.
struct Loaded {
    TOWLSettings settings;
    int result = -1;
    std::string err;
};

Loaded Load(const Dir& dir, const std::string& text) {
    Loaded l;
    dir.Write("owl.cfg", text);
    SetConfigFile(l.settings, dir.Config());
    String err;
    l.result = l.settings.LoadOptions_(err);
    l.err = Str(err);
    return l;
}

// The value of a configuration key in a record, as text.
std::string Value(const TOWLSettings& settings, const char* key) {
    const TSettingKey* row = FindSettingKey(key, -1);
    return row ? Str(SettingValue(settings, *row)) : "<no such key>";
}

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
        // Spelling, blanks, comments and line ends.
        {"  Port\t=\t1055  ", "port", "1055"},
        {"#port=1055", "port", "0"},
        {";port=1055", "port", "0"},
        {"port 1055", "port", "0"},
        {"port=0\nport=1056\nport=2000\n", "port", "1056"},  // the first non-zero wins
        {"password=ab\0cd\nport=1"s, "password", "ab"},
        {"pass\0word=x\npassword=ok"s, "password", "ok"},
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
        Loaded l = Load(dir, c.text);
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
        SetConfigFile(s, c.path);
        String err;
        EXPECT_EQ(s.LoadOptions_(err), 0) << c.path;
        EXPECT_EQ(Str(err), c.err);
        EXPECT_EQ(Str(s.filterlist), "127.0.0.1");  // the defaults are in force
        EXPECT_EQ(s.SaveOptions_(err), 0) << c.path;
        EXPECT_EQ(Str(err), c.err);
        EXPECT_NE(access((c.path + ".New").c_str(), F_OK), 0) << c.path;
    }
}

// The record of a file with only password "secret" and port 1055.
Loaded Defaults(const Dir& dir) { return Load(dir, "password=secret\nport=1055\n"); }

// Saves settings over text written as their configuration file; returns
// the file afterwards.
std::string SaveOver(const Dir& dir, TOWLSettings& settings, const std::string& text) {
    dir.Write("owl.cfg", text);
    String err;
    EXPECT_EQ(settings.SaveOptions_(err), 1) << Str(err);
    return dir.Text();
}

// Each file is saved from one record; its start must read as given.
TEST(SettingsSave, EveryKindOfLine) {
    Dir dir;
    TOWLSettings s = Defaults(dir).settings;
    s.filterlist = "10.0.0.1\r\n10.0.0.2\n10.0.0.3";  // a lone LF as set remotely
    s.comment = "new";
    s.unc = 0;
    s.freespace = 0;
    const std::string longRemark = "#" + std::string(3000, 'r') + "\n";
    const std::string foreign =
        longRemark + "x\0y=\0\n"s + "#" + std::string(1100, 'a') + "port=7\n";
    const std::string longFlag = std::string(1500, ' ') + "; on\n";
    const struct {
        std::string text, saved;
    } cases[] = {
        {"# agent settings\nComment = old # note\r\nunc=1 ; on\r\nfoldersize=1 ; lf\nUnknown = 5\n"
         "PORT = 1\n",
         "# agent settings\nComment = new\r\nunc=0 ; on\r\nfoldersize=1 ; lf\nUnknown = 5\n"
         "PORT = 1055\r\n"},
        {"filterlist = a b\n", "filterlist = 10.0.0.1 10.0.0.2 10.0.0.3\r\n"},
        {"", "host=\r\nport=1055\r\n"},           // an empty file gets no empty first line
        {"freespace=1", "freespace=0\r\nhost="},  // an unfinished last line is ended
        {"unc=\r\n", "unc=0\r\n"},
        {"unc=", "unc=0\r\n"},
        {"UNC\t=\t1 # x\n", "UNC\t=\t0 # x\n"},
        // Keys that are never saved and lines that name no key stay as they are.
        {"tmpdir=/x\nowlpath=/y\r\n#unc=1\nnokey\n=1\n",
         "tmpdir=/x\nowlpath=/y\r\n#unc=1\nnokey\n=1\n"},
        {foreign + "port=1\n" + longRemark + "tail",
         foreign + "port=1055\r\n" + longRemark + "tail\r\n"},
        // A long value line is replaced whole; a long flag line changes one byte.
        {"comment=" + std::string(1500, 'o') + "\n# after\n", "comment=new\r\n# after\n"},
        {"unc=1" + longFlag, "unc=0" + longFlag},
        {"# mac\rcomment=old\rfoo=bar\runc=1\r", "# mac\rcomment=new\rfoo=bar\runc=0\rhost=\r"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(SaveOver(dir, s, c.text).substr(0, c.saved.size()), c.saved) << c.text;
}

// A save keeps the mode of the file, which holds the password, and leaves
// no ".New"; what it writes loads back as the same values.
TEST(SettingsSave, SavedFileLoadsBackTheSameValues) {
    Dir dir;
    TOWLSettings s = Load(dir, "").settings;
    s.port = 1200;
    s.password = "pass word";
    s.filterlist = "10.0.0.1\r\n10.0.0.2";
    s.filtermarks = "11";
    s.comment = std::string(2000, 'c').c_str();
    s.syslogaction = 1;
    chmod(dir.Config().c_str(), 0640);  // group-readable, for the agent's group
    std::string saved = SaveOver(dir, s, "port=1\n");
    EXPECT_NE(access((dir.Config() + ".New").c_str(), F_OK), 0);
    struct stat st;
    ASSERT_EQ(stat(dir.Config().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u);

    // owlpath is never written: it is added by hand.
    Loaded back = Load(dir, saved + "owlpath=" + dir.Agent() + "\n");
    EXPECT_EQ(back.result, 1) << back.err;
    for (int i = 0; i < OWLSettingKeyCount; i++) {
        const TSettingKey& row = OWLSettingKeys[i];
        if (row.save == SettingSave::No || row.kind == SettingKind::Text) continue;
        EXPECT_EQ(Str(SettingValue(back.settings, row)), Str(SettingValue(s, row))) << row.key;
    }
    EXPECT_EQ(Str(back.settings.password), "pass word");
    // A long text is cut so that its line reads back whole.
    EXPECT_EQ(Str(back.settings.comment), std::string(1020 - 8, 'c'));
}

TEST(SettingsSave, FailuresLeaveTheFileAlone) {
    Dir dir;
    TOWLSettings s = Defaults(dir).settings;
    s.filtermarks = "0";
    dir.Write("owl.cfg", "port=1\n");
    const std::string newName = dir.Config() + ".New";
    String err;

    // ".New" cannot be created (here: a folder of that name).
    ASSERT_EQ(mkdir(newName.c_str(), 0700), 0);
    EXPECT_EQ(s.SaveOptions_(err), 0);
    EXPECT_EQ(Str(err), "Cannot create new configuration file '" + newName + "'");
    EXPECT_EQ(dir.Text(), "port=1\n");
    EXPECT_EQ(dir.Read("owl.cfg.Old"), "");
    EXPECT_EQ(Str(s.activefilter), "\r\n");  // the derived values are current all the same

    // ".New" is a symbolic link: it is not followed.
    rmdir(newName.c_str());
    ASSERT_EQ(symlink("/no/such/target", newName.c_str()), 0);
    EXPECT_EQ(s.SaveOptions_(err), 1);
    EXPECT_NE(access("/no/such/target", F_OK), 0);
}

// Lines that name no key come through a save byte for byte; every saved key
// that the file lacks is appended in a fixed order with its value (the
// defaults here), and "freespace" never is.
TEST(SettingsSave, RandomBytesSurvive) {
    Dir dir;
    TOWLSettings s = Defaults(dir).settings;
    std::string appended =
        "host=\r\nport=1055\r\ntimeout=4000\r\ncomment=\r\npassword=secret\r\n"
        "filteractive=0\r\nfiltermarks=1\r\nfilterlist=127.0.0.1\r\nverboselogfile=\r\n"
        "logsuccess=0\r\nlogfails=1\r\noklogfile=log1.txt\r\nbadlogfile=log2.txt\r\n"
        "allowupdates=1\r\nallowmanage=1\r\nupdateaddr=127.0.0.1\r\nmanageaddr=127.0.0.1\r\n";
    for (const char* on :
         {"unc", "foldersize", "countfiles", "fileexists", "filecrc", "comparefiles", "process",
          "cpuusage", "script", "external", "ping", "tcp", "udp", "textlog", "shellscript"})
        appended += on + "=1\r\n"s;
    appended += "executeaction=0\r\ntcpudpaction=0\r\nsyslogaction=0\r\n";
    EXPECT_EQ(SaveOver(dir, s, ""), appended);
    std::mt19937 rng(777);
    for (int round = 0; round < 40; round++) {
        std::string text;
        for (int i = 1 + rng() % 6000; i > 0; i--) text += (char)(rng() % 256);
        text += '\n';
        EXPECT_EQ(SaveOver(dir, s, text), text + appended) << round;
    }
}

TEST(IPAllowed, AddressLists) {
    const struct {
        const char *peer, *list;
        int allowed;
        const char* err;
    } cases[] = {
        {"192.168.1.50", "192.168.1.1-192.168.1.100", 1, ""},
        {"192.168.1.50", "192.168.1.100-192.168.1.1", 1, ""},
        {"192.168.1.100", "192.168.1.1-192.168.1.100", 1, ""},
        {"192.168.1.0", "192.168.1.1-192.168.1.100", 0, ""},
        {"192.168.1.101", "192.168.1.100-192.168.1.1", 0, ""},
        {"127.0.0.1", "10.0.0.1,127.0.0.1", 1, ""},
        {"127.0.0.1", "abc,127.0.0.1", 1, "Illegal character (a) specified"},
        {"10.0.0.2", "10.0.0.1, 10.0.0.2", 1, "Illegal character ( ) specified"},
        {"10.0.0.2", "10.0.0.1 10.0.0.2", 0, "Invalid IP address (10.0.0.110.0.0.2) specified"},
        {"127.0.0.1", "300.1.1.1,127.0.0.1", 0, "Invalid IP address (300.1.1.1) specified"},
        {"127.0.0.1", "127.0.0.1-999.0.0.0", 1, "Invalid IP address (999.0.0.0) specified"},
        {"127.0.0.1", "0.0.0.0,127.0.0.1", 0, ""},
        {"127.0.0.1", "255.255.255.255,127.0.0.1", 0,
         "Invalid IP address (255.255.255.255) specified"},
        {"8.0.0.1", "010.0.0.1", 1, ""},
        {"10.0.0.1", "010.0.0.1", 0, ""},
        {"127.0.0.1", "127.0.0.1-", 1, ""},
        {"127.0.0.2", "127.0.0.1-", 0, ""},
        {"10.0.0.9", "10.0.0.1-10.0.0.5-10.0.0.9", 1, ""},
        {"10.0.0.1", "10.0.0.1-,10.0.0.2", 1, "Invalid IP address () specified"},
        {"127.0.0.1", ",,-.", 0, ""},
        {"not an address", "127.0.0.1", 0, "previous"},  // err is left alone
    };
    for (const auto& c : cases) {
        String err("previous");
        EXPECT_EQ(IPAllowed(c.peer, String(c.list), err), c.allowed) << c.peer << " in " << c.list;
        EXPECT_EQ(Str(err), c.err) << c.peer << " in " << c.list;
    }
    String err;
    EXPECT_EQ(IPAllowed(static_cast<const char*>(nullptr), String("127.0.0.1"), err), 0);
}

TEST(SettingsStress, ReadersAndLoggersWhileReloadingAndSaving) {
    TmpEnv env;
    Dir dir;
    // Written before any thread starts, as the command line does.
    SetConfigFile(OWLSettings, dir.Config());
    OWLSettings.verbose = 1;
    dir.Write("owl.cfg", dir.Required() +
                             "filteractive=1\nfilterlist=10.0.0.1 10.0.0.2\nfiltermarks=11\n"
                             "oklogfile=ok.log\nbadlogfile=bad.log\nverboselogfile=v.log\ntmpdir=" +
                             dir.path() + "\n");
    String err;
    ASSERT_EQ(OWLSettings.LoadOptions(err), 1) << Str(err);

    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    auto going = [&] { return std::chrono::steady_clock::now() < deadline; };
    std::atomic<bool> done{false};
    std::atomic<int> badReads{0};
    std::atomic<long> reads{0}, messages{0};
    auto reader = [&] {
        for (int i = 0; i < 200000 && !done && going(); i++) {
            String password = SettingText(&TOWLSettings::password);
            if (!(password == "alpha" || password == "beta" || password == "secret")) badReads++;
            if (SettingText(&TOWLSettings::activefilter).Pos("\r\n10.0.0.1\r\n") != 1) badReads++;
            if (SettingInt(&TOWLSettings::filteractive) != 1) badReads++;
            if (!FilterAdmits("10.0.0.2") || FilterAdmits("10.0.0.3")) badReads++;
            reads++;
        }
    };
    auto logger = [&](int id) {
        for (int i = 0; i < 3000 && !done && going(); i++) {
            showmessage("thread %d message %d\n", LOCAL, i % 2 ? MSG_SUCCESS : MSG_FAILURE, 1, id,
                        i);
            messages++;
        }
    };
    std::vector<std::thread> threads;
    for (int t = 0; t < 2; t++) threads.emplace_back(reader);
    for (int t = 0; t < 3; t++) threads.emplace_back(logger, t);

    int loads = 0, saves = 0;
    for (int round = 0; round < 100 && going(); round++) {
        {
            TSettingsWriteLock lock;  // as a remote settings change does
            OWLSettings.password = round % 2 ? "alpha" : "beta";
            OWLSettings.oklogfile = round % 2 ? "ok.log" : "ok2.log";
            OWLSettings.logsuccess = round % 3 != 0;
        }
        String text;
        saves += OWLSettings.SaveOptions(text);
        loads += OWLSettings.LoadOptions(text);
    }
    done = true;
    for (std::thread& t : threads) t.join();

    EXPECT_EQ(badReads.load(), 0);
    EXPECT_GT(reads.load(), 0);
    EXPECT_EQ(loads, saves);
    EXPECT_GT(loads, 0);
    // Every message reached the verbose log whole, one per line.
    std::string verbose = dir.Read("v.log");
    EXPECT_EQ((long)std::count(verbose.begin(), verbose.end(), '\n'), messages.load());
    TSettingsWriteLock lock;
    OWLSettings.verbose = 0;
    OWLSettings.verboselogfile = "";
}

}  // namespace
