#include <sys/stat.h>
#include <unistd.h>

#include <random>
#include <string>

#include "config/config_fixture.h"

namespace {

using namespace std::string_literals;
using cfgtest::Dir;
using cfgtest::Load;

// The record of a file with only password "secret" and port 1055.
cfgtest::Loaded Defaults(const Dir& dir) { return Load(dir, "password=secret\nport=1055\n"); }

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
    chmod(dir.Config().c_str(), 0600);
    std::string saved = SaveOver(dir, s, "port=1\n");
    EXPECT_NE(access((dir.Config() + ".New").c_str(), F_OK), 0);
    struct stat st;
    ASSERT_EQ(stat(dir.Config().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);

    // owlpath is never written: it is added by hand.
    cfgtest::Loaded back = Load(dir, saved + "owlpath=" + dir.Agent() + "\n");
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

// Lines that name no key come through a save byte for byte; the keys that
// the file lacks are appended as to an empty file.
TEST(SettingsSave, RandomBytesSurvive) {
    Dir dir;
    TOWLSettings s = Defaults(dir).settings;
    const std::string appended = SaveOver(dir, s, "");
    std::mt19937 rng(777);
    for (int round = 0; round < 40; round++) {
        std::string text;
        for (int i = 1 + rng() % 6000; i > 0; i--) text += (char)(rng() % 256);
        text += '\n';
        EXPECT_EQ(SaveOver(dir, s, text), text + appended) << round;
    }
}

}  // namespace
