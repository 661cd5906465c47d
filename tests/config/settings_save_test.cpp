#include <sys/stat.h>

#include <random>
#include <string>

#include "config/config_fixture.h"
#include "config/settings.h"

namespace {

using cfgtest::Exists;
using cfgtest::ReadFile;
using cfgtest::S;
using cfgtest::TempDir;
using cfgtest::WriteFile;

// A record loaded from text (the load result is not checked: some files
// here lack the required keys on purpose).
void LoadFrom(const TempDir& dir, const std::string& text, TOWLSettings& settings) {
    WriteFile(dir.Config(), text);
    cfgtest::SetConfigFile(settings, dir.Config());
    String err;
    settings.LoadOptions_(err);
}

std::string Save(TOWLSettings& settings, int expected = 1) {
    String err;
    EXPECT_EQ(settings.SaveOptions_(err), expected);
    return S(err);
}

// The keys that a save appends, in their order, with the values that the
// record below gives them.
std::string AppendedDefaults() {
    return "host=\r\nport=1055\r\ntimeout=4000\r\ncomment=\r\npassword=secret\r\n"
           "filteractive=0\r\nfiltermarks=1\r\nfilterlist=127.0.0.1\r\nverboselogfile=\r\n"
           "logsuccess=0\r\nlogfails=1\r\noklogfile=log1.txt\r\nbadlogfile=log2.txt\r\n"
           "allowupdates=1\r\nallowmanage=1\r\nupdateaddr=127.0.0.1\r\nmanageaddr=127.0.0.1\r\n"
           "unc=1\r\nfoldersize=1\r\ncountfiles=1\r\nfileexists=1\r\nfilecrc=1\r\n"
           "comparefiles=1\r\nprocess=1\r\ncpuusage=1\r\nscript=1\r\nexternal=1\r\nping=1\r\n"
           "tcp=1\r\nudp=1\r\ntextlog=1\r\nshellscript=1\r\nexecuteaction=0\r\n"
           "tcpudpaction=0\r\nsyslogaction=0\r\n";
}

// A record with the defaults, password "secret" and port 1055, whose file
// holds only the given text.
void Prepare(const TempDir& dir, const std::string& text, TOWLSettings& settings) {
    LoadFrom(dir, "password=secret\nport=1055\n", settings);
    WriteFile(dir.Config(), text);
}

TEST(SettingsSave, ValuesAreReplacedInPlace) {
    TempDir dir;
    TOWLSettings s;
    LoadFrom(dir,
             "# agent settings\nComment = old # note\r\nunc=1 ; on\r\nfoldersize=1 ; lf only\n"
             "Unknown = 5\nPORT = 1\n",
             s);
    s.comment = "";
    s.unc = 0;
    s.foldersize = 0;
    EXPECT_EQ(Save(s), "");
    std::string saved = ReadFile(dir.Config());
    std::string expectedStart =
        "# agent settings\nComment = \r\nunc=0 ; on\r\nfoldersize=0 ; lf only\n"
        "Unknown = 5\nPORT = 1\r\n";
    EXPECT_EQ(saved.substr(0, expectedStart.size()), expectedStart);
}

TEST(SettingsSave, MissingKeysAreAppendedInOrder) {
    TempDir dir;
    TOWLSettings s;
    Prepare(dir, "# nothing else\n", s);
    Save(s);
    EXPECT_EQ(ReadFile(dir.Config()), "# nothing else\n" + AppendedDefaults());
    EXPECT_EQ(ReadFile(dir.Config()).find("freespace"), std::string::npos);

    // freespace is rewritten when present; an unfinished last line is ended
    // before the appended lines.
    Prepare(dir, "freespace=1", s);
    s.freespace = 0;
    Save(s);
    EXPECT_EQ(ReadFile(dir.Config()), "freespace=0\r\n" + AppendedDefaults());
}

TEST(SettingsSave, EveryKindOfLine) {
    TempDir dir;
    TOWLSettings s;
    Prepare(dir, "", s);
    s.filterlist = "10.0.0.1\r\n10.0.0.2\n10.0.0.3";  // a lone LF as set remotely
    s.timeout = -3;
    s.host = "";
    const struct {
        std::string line;
        std::string saved;
    } cases[] = {
        {"port = 99\n", "port = 1055\r\n"},
        {"timeout=\n", "timeout=-3\r\n"},
        {"filterlist = a b\n", "filterlist = 10.0.0.1 10.0.0.2 10.0.0.3\r\n"},
        {"host=old", "host=\r\n"},
        {"unc=\r\n", "unc=1\r\n"},
        {"unc=", "unc=1\r\n"},
        {"UNC\t=\t0 # x\n", "UNC\t=\t1 # x\n"},
        {"tmpdir=/x\n", "tmpdir=/x\n"},  // loaded but never saved
        {"owlpath=/y\r\n", "owlpath=/y\r\n"},
        {"#unc=0\n", "#unc=0\n"},
        {"nokey\n", "nokey\n"},
        {"=1\n", "=1\n"},
    };
    for (const auto& c : cases) {
        WriteFile(dir.Config(), c.line);
        Save(s);
        std::string saved = ReadFile(dir.Config());
        EXPECT_EQ(saved.substr(0, c.saved.size()), c.saved) << c.line;
    }
}

TEST(SettingsSave, SavedFileLoadsBackTheSameValues) {
    TempDir dir;
    TOWLSettings s;
    LoadFrom(dir, "", s);
    s.port = 1200;
    s.password = "pass word";
    s.owlpath = dir.Agent().c_str();
    s.filterlist = "10.0.0.1\r\n10.0.0.2";
    s.filtermarks = "11";
    s.comment = std::string(2000, 'c').c_str();
    s.syslogaction = 1;
    Save(s);
    TOWLSettings back;
    cfgtest::SetConfigFile(back, dir.Config());
    String err;
    // owlpath is never written: add it by hand.
    WriteFile(dir.Config(), ReadFile(dir.Config()) + "owlpath=" + dir.Agent() + "\n");
    EXPECT_EQ(back.LoadOptions_(err), 1) << S(err);
    for (int i = 0; i < OWLSettingKeyCount; i++) {
        const TSettingKey& row = OWLSettingKeys[i];
        if (row.save == SettingSave::No || row.kind == SettingKind::Text) continue;
        EXPECT_EQ(S(SettingValue(back, row)), S(SettingValue(s, row))) << row.key;
    }
    EXPECT_EQ(S(back.password), "pass word");
    EXPECT_EQ(S(back.activefilter), "\r\n10.0.0.1\r\n10.0.0.2\r\n");
    // A long text is cut so that its line reads back whole.
    EXPECT_EQ(S(back.comment), std::string(1020 - 8, 'c'));
}

TEST(SettingsSave, PreviousFileIsKeptAsOld) {
    TempDir dir;
    TOWLSettings s;
    Prepare(dir, "port=1\n", s);
    WriteFile(dir.Config() + ".Old", "older\n");
    chmod(dir.Config().c_str(), 0600);
    Save(s);
    EXPECT_EQ(ReadFile(dir.Config() + ".Old"), "port=1\n");
    EXPECT_FALSE(Exists(dir.Config() + ".New"));
    struct stat st;
    ASSERT_EQ(stat(dir.Config().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);  // the file holds the password
}

TEST(SettingsSave, FailuresLeaveTheFileAlone) {
    TempDir dir;
    TOWLSettings s;
    Prepare(dir, "port=1\n", s);
    s.filtermarks = "0";

    // ".New" cannot be created (here: a folder of that name).
    ASSERT_EQ(mkdir((dir.Config() + ".New").c_str(), 0700), 0);
    EXPECT_EQ(Save(s, 0), "Cannot create new configuration file '" + dir.Config() + ".New'");
    EXPECT_EQ(ReadFile(dir.Config()), "port=1\n");
    EXPECT_FALSE(Exists(dir.Config() + ".Old"));
    // The derived values are current all the same.
    EXPECT_EQ(S(s.activefilter), "\r\n");

    // ".New" is a symbolic link: it is not followed.
    rmdir((dir.Config() + ".New").c_str());
    ASSERT_EQ(symlink("/no/such/target", (dir.Config() + ".New").c_str()), 0);
    EXPECT_EQ(Save(s, 1), "");
    EXPECT_FALSE(Exists("/no/such/target"));

    TOWLSettings missing;
    cfgtest::SetConfigFile(missing, dir.File("gone.cfg"));
    EXPECT_EQ(Save(missing, 0), "Cannot open configuration file '" + dir.File("gone.cfg") + "'");
    EXPECT_FALSE(Exists(dir.File("gone.cfg.New")));

    // A folder opens for reading but cannot be read: nothing is replaced.
    ASSERT_EQ(mkdir(dir.File("folder.cfg").c_str(), 0700), 0);
    TOWLSettings folder;
    cfgtest::SetConfigFile(folder, dir.File("folder.cfg"));
    EXPECT_EQ(Save(folder, 0), "Cannot open configuration file '" + dir.File("folder.cfg") + "'");
    EXPECT_FALSE(Exists(dir.File("folder.cfg.New")));

    TOWLSettings unnamed;
    EXPECT_EQ(Save(unnamed, 0), "Configuration file is not specified");
}

// Lines that the agent does not own come through a save byte for byte.
TEST(SettingsSave, ForeignBytesSurvive) {
    TempDir dir;
    TOWLSettings s;
    Prepare(dir, "", s);
    std::string longRemark = "#" + std::string(3000, 'r') + "\n";
    std::string zeroBytes = std::string("x\0y=\0\n", 6);
    std::string longLineWithKeyInside = "#" + std::string(1100, 'a') + "port=7\n";
    std::string body = longRemark + zeroBytes + longLineWithKeyInside + "port=1\n" + longRemark;
    WriteFile(dir.Config(), body + "tail without end");
    Save(s);
    std::string expected = longRemark + zeroBytes + longLineWithKeyInside + "port=1055\r\n" +
                           longRemark + "tail without end\r\n";
    EXPECT_EQ(ReadFile(dir.Config()).substr(0, expected.size()), expected);

    // A long value line is replaced whole, its old tail included.
    WriteFile(dir.Config(), "comment=" + std::string(1500, 'o') + "\n# after\n");
    s.comment = "new";
    Save(s);
    std::string replaced = "comment=new\r\n# after\n";
    EXPECT_EQ(ReadFile(dir.Config()).substr(0, replaced.size()), replaced);

    // A flag on a long line changes one byte and keeps the rest.
    std::string flagLine = "unc=1" + std::string(1500, ' ') + "; on\n";
    WriteFile(dir.Config(), flagLine);
    s.unc = 0;
    Save(s);
    flagLine[4] = '0';
    EXPECT_EQ(ReadFile(dir.Config()).substr(0, flagLine.size()), flagLine);
}

TEST(SettingsSave, CarriageReturnOnlyFilesKeepTheirLineEnds) {
    TempDir dir;
    TOWLSettings s;
    Prepare(dir, "", s);
    WriteFile(dir.Config(), "# mac\rcomment=old\rfoo=bar\runc=1\r");
    s.comment = "new";
    s.unc = 0;
    Save(s);
    std::string saved = ReadFile(dir.Config());
    EXPECT_EQ(saved.substr(0, 36), "# mac\rcomment=new\rfoo=bar\runc=0\rhost");
    EXPECT_EQ(saved.find('\n'), std::string::npos);

    TOWLSettings back;
    cfgtest::SetConfigFile(back, dir.Config());
    String err;
    back.LoadOptions_(err);
    EXPECT_EQ(S(back.comment), "new");
    EXPECT_EQ(back.port, 1055);
    EXPECT_EQ(back.unc, 0);
}

TEST(SettingsSave, RandomBytesSurvive) {
    TempDir dir;
    TOWLSettings s;
    Prepare(dir, "", s);
    std::mt19937 rng(777);
    for (int round = 0; round < 40; round++) {
        std::string text;
        int size = 1 + rng() % 6000;
        for (int i = 0; i < size; i++) text += (char)(rng() % 256);
        text += '\n';
        WriteFile(dir.Config(), text);
        Save(s);
        std::string saved = ReadFile(dir.Config());
        // No random line names a key, so all of it is copied.
        EXPECT_EQ(saved.substr(0, text.size()), text) << round;
        EXPECT_EQ(saved.substr(text.size()), AppendedDefaults()) << round;
    }
}

}  // namespace
