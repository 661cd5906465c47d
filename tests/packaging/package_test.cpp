// The Debian package and the install rules: the package is built with
// CPack from this build, inspected with dpkg-deb and unpacked into a
// scratch root, where the unpacked agent serves the unpacked owlctl; its
// maintainer scripts go through install, upgrade, remove and purge.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "support/process.h"
#include "text/version.h"

namespace {

const std::string kBuild = OWL_BUILD_DIR;
const std::string kSource = OWL_SOURCE_DIR;

// The full path of a program on PATH, or "".
std::string Which(const std::string& name) {
    for (const char* dir : {"/usr/bin", "/bin", "/usr/sbin", "/sbin", "/usr/local/bin"}) {
        std::string path = std::string(dir) + "/" + name;
        if (access(path.c_str(), X_OK) == 0) return path;
    }
    return "";
}

time_t Modified(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? st.st_mtime : 0;
}

// The package of this build (with version, a rebuild of it under that
// version), made once and shared by the test processes (under a lock) until
// the programs or the packaging files change.
std::string BuildPackage(const std::string& version = "") {
    std::string dir = kBuild + "/test-package" + version;
    std::string deb = dir + "/owl.deb";
    mkdir(dir.c_str(), 0755);
    int lock = open((dir + ".lock").c_str(), O_CREAT | O_RDWR | O_CLOEXEC, 0644);
    flock(lock, LOCK_EX);
    time_t built = Modified(deb), newest = 0;
    for (const std::string& input :
         {std::string(OWL_BINARY), std::string(OWLCTL_BINARY), kSource + "/packaging/install.cmake",
          kSource + "/packaging/owl.cfg.in", kSource + "/packaging/debian/postinst",
          kSource + "/packaging/debian/prerm", kSource + "/packaging/debian/postrm"})
        newest = std::max(newest, Modified(input));
    if (built == 0 || built < newest) {
        std::vector<std::string> args = {"-G", "DEB", "--config", kBuild + "/CPackConfig.cmake",
                                         "-B", dir};
        if (!version.empty()) args.insert(args.end(), {"-D", "CPACK_PACKAGE_VERSION=" + version});
        RunResult r = RunProgram(OWL_CPACK, args, 120000);
        // "CPack: - package: <path> generated."
        size_t at = r.output.find("package: ");
        size_t end = r.output.find(" generated", at);
        std::string made = at == std::string::npos || end == std::string::npos
                               ? ""
                               : r.output.substr(at + 9, end - at - 9);
        if (r.status != 0 || rename(made.c_str(), deb.c_str()) != 0) deb = "";
    }
    close(lock);
    return deb;
}

RunResult DpkgDeb(const std::vector<std::string>& args) {
    return RunProgram(Which("dpkg-deb"), args, 30000);
}

// key=value lines of a configuration text.
std::string Setting(const std::string& cfg, const std::string& key) {
    size_t at = ("\n" + cfg).find("\n" + key + "=");
    if (at == std::string::npos) return "<missing>";
    size_t start = at + key.size() + 1;
    return cfg.substr(start, cfg.find('\n', start) - start);
}

// text with every from replaced by to.
std::string Replace(std::string text, const std::string& from, const std::string& to) {
    for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
        text.replace(at, from.size(), to);
    return text;
}

// The maintainer scripts of deb in root/dir, with the paths they change
// moved into root.
bool ScratchScripts(const TempDir& root, const std::string& deb, const std::string& dir) {
    if (DpkgDeb({"-e", deb, root.File(dir)}).status != 0) return false;
    for (const char* name : {"postinst", "prerm", "postrm"}) {
        std::string script = root.Read(dir + "/" + name);
        for (const char* path :
             {"/etc/owl", "/var/log/owl", "/usr/share/owl", "/run/systemd/system"})
            script = Replace(script, path, root.path() + path);
        script =
            Replace(script, "/usr/bin/deb-systemd-helper", root.File("bin/deb-systemd-helper"));
        root.Write(dir + "/" + name, script);
    }
    return true;
}

// root/bin: stubs of the commands that change the system, each appending
// its name and arguments to root/calls. The user exists once adduser ran.
// A running systemd is root/run/systemd/system.
void StubCommands(const TempDir& root) {
    const std::string r = root.path();
    RunProgram("/bin/mkdir", {"-p", r + "/bin", r + "/run/systemd/system", r + "/var/log"});
    root.Write("bin/stub", "#!/bin/sh\necho \"${0##*/} $*\" >>" + r +
                               "/calls\n"
                               "case \"${0##*/} $1\" in \"getent passwd\") [ -e " +
                               r + "/user ] ;; adduser*) touch " + r + "/user ;; esac\n");
    chmod(root.File("bin/stub").c_str(), 0755);
    for (const char* name :
         {"getent", "adduser", "chown", "deb-systemd-helper", "deb-systemd-invoke", "systemctl"})
        symlink(root.File("bin/stub").c_str(), root.File(std::string("bin/") + name).c_str());
}

class Package : public ::testing::Test {
  protected:
    void SetUp() override {
        if (Which("dpkg-deb").empty()) GTEST_SKIP() << "dpkg-deb is not installed";
        deb_ = BuildPackage();
        ASSERT_FALSE(deb_.empty()) << "CPack failed";
    }
    std::string deb_;
};

// What the package holds, its control files, and the unpacked tree: the
// agent checks and serves its own packaged configuration (moved into the
// scratch root and onto a free port) to the unpacked owlctl, and the unit
// as packaged verifies with the program paths pointed at the build.
TEST_F(Package, ContentsAndTheUnpackedTree) {
    RunResult contents = DpkgDeb({"--contents", deb_});
    ASSERT_EQ(contents.status, 0);
    EXPECT_EQ(contents.output.find("./etc/"), std::string::npos);  // made by the postinst
    for (const char* file :
         {"./usr/sbin/owl", "./usr/bin/owlctl", "./usr/share/owl/owl.cfg",
          "./usr/lib/systemd/system/owl.service", "./usr/share/owl/scripts/cpuusage.sh",
          "./usr/share/owl/scripts/proccount.sh", "./usr/share/owl/scripts/proclist.sh",
          "./usr/share/man/man8/owl.8.gz", "./usr/share/man/man1/owlctl.1.gz",
          "./usr/share/man/man5/owl.cfg.5.gz", "./usr/share/doc/owl/copyright",
          "./usr/share/doc/owl/commands.md", "./usr/lib/nagios/plugins/check_owl",
          "./usr/share/man/man1/check_owl.1.gz"})
        EXPECT_NE(contents.output.find(std::string(file) + "\n"), std::string::npos) << file;
    std::string info = DpkgDeb({"--info", deb_}).output;
    for (const char* text : {"Package: owl\n", "Version: " OWL_VERSION "\n", "adduser"})
        EXPECT_NE(info.find(text), std::string::npos) << info;
    EXPECT_NE(DpkgDeb({"--info", deb_, "conffiles"}).status, 0);

    TempDir root;
    ASSERT_EQ(DpkgDeb({"-x", deb_, root.path()}).status, 0);
    std::string cfg = root.Read("usr/share/owl/owl.cfg");
    for (const char* safe :
         {"host=127.0.0.1", "filteractive=1", "filterlist=127.0.0.1", "allowmanage=1",
          "manageaddr=127.0.0.1", "allowupdates=0", "external=0", "shellscript=0",
          "password=change-me", "executeaction=0", "tcpudpaction=0", "syslogaction=0"})
        EXPECT_NE(("\n" + cfg).find("\n" + std::string(safe) + "\n"), std::string::npos) << safe;
    int port = FreeLoopbackPort();
    std::string moved = Replace(cfg, "=/usr/", "=" + root.path() + "/usr/");
    moved = Replace(moved, "/var/log/owl", root.path());
    moved = Replace(moved, "\nport=1055\n", "\nport=" + std::to_string(port) + "\n");
    moved = Replace(moved, "password=change-me", "password=made-by-postinst");
    root.Write("test.cfg", moved);
    std::string owl = root.File("usr/sbin/owl");
    // The check warns about any program or script the file names wrongly.
    EXPECT_EQ(RunProgram(owl, {"-t", root.File("test.cfg")}).output, "Settings checking .. Ok\n");
    BackgroundProcess agent;
    ASSERT_TRUE(agent.Start(owl, {"-i", root.File("test.cfg")}, root.File("console.out")));
    ASSERT_TRUE(agent.WaitForOutput("Listening...", 15000)) << agent.Output();
    RunResult reply =
        RunProgram(root.File("usr/bin/owlctl"), {"-c", root.File("test.cfg"), "GetInfo"});
    EXPECT_EQ(reply.status, 0) << reply.output;
    EXPECT_EQ(reply.output.substr(0, 4), "200\n");

    std::string unit =
        Replace(root.Read("usr/lib/systemd/system/owl.service"), "/usr/sbin/owl", OWL_BINARY);
    for (const char* line : {"User=owl", "PIDFile=/run/owl/owl.pid", "ExecReload=/bin/kill -HUP",
                             "Restart=on-failure", "NoNewPrivileges=yes", "PrivateTmp=yes",
                             "ProtectHome=read-only", "ReadWritePaths=/etc/owl /var/log/owl"})
        EXPECT_NE(unit.find(line), std::string::npos) << line;
    std::string analyze = Which("systemd-analyze");
    if (analyze.empty()) GTEST_SKIP() << "systemd-analyze is not installed";
    root.Write("owl.service", unit);
    RunResult r = RunProgram(analyze, {"verify", "--man=no", root.File("owl.service")});
    EXPECT_EQ(r.status, 0) << r.output;
    EXPECT_EQ(r.output, "");
}

// The maintainer scripts of two builds, run in dpkg's order for an
// install, an upgrade to the higher version, a removal and a purge, with
// their paths moved into a scratch root, systemd taken as running and the
// commands that change the system replaced by stubs that record their
// calls. The configuration is made once, kept over the upgrade and removal,
// and goes with the purge.
TEST_F(Package, MaintainerScriptsCycle) {
    std::string newer = BuildPackage(OWL_VERSION ".1");
    ASSERT_FALSE(newer.empty());
    TempDir root;
    const std::string r = root.path(), old = r + "/old", fresh = r + "/new";
    ASSERT_EQ(DpkgDeb({"-x", deb_, r}).status, 0);
    ASSERT_TRUE(ScratchScripts(root, deb_, "old") && ScratchScripts(root, newer, "new"));
    StubCommands(root);
    const std::string dsh = "deb-systemd-helper ", enable = dsh + "unmask owl.service\n" + dsh +
                                                            "--quiet was-enabled owl.service\n" +
                                                            dsh + "enable owl.service\n" +
                                                            "systemctl --system daemon-reload\n";
    const struct {
        std::string dir, script;
        std::vector<std::string> args;
        std::string calls;
    } steps[] = {
        {old,
         "postinst",
         {"configure", ""},
         "getent passwd owl\nadduser --system --group --home /nonexistent --no-create-home --gecos "
         "owl monitoring agent --quiet owl\nchown owl:adm R/var/log/owl\nchown owl:owl R/etc/owl\n"
         "chown owl:owl R/etc/owl/owl.cfg.dpkg-tmp\n" +
             enable + "deb-systemd-invoke start owl.service\n"},
        {old, "prerm", {"upgrade", OWL_VERSION ".1"}, ""},
        {old, "postrm", {"upgrade", OWL_VERSION ".1"}, ""},
        {fresh,
         "postinst",
         {"configure", OWL_VERSION},
         "getent passwd owl\nchown owl:owl R/etc/owl\n" + enable +
             "deb-systemd-invoke restart owl.service\n"},
        {fresh, "prerm", {"remove"}, "deb-systemd-invoke stop owl.service\n"},
        {fresh,
         "postrm",
         {"remove"},
         "systemctl --system daemon-reload\n" + dsh + "mask owl.service\n"},
        {fresh, "postrm", {"purge"}, dsh + "purge owl.service\n" + dsh + "unmask owl.service\n"},
    };
    std::string password;
    for (const auto& step : steps) {
        SCOPED_TRACE(step.script + " " + step.args[0]);
        unlink(root.File("calls").c_str());
        std::vector<std::string> args = {"PATH=" + r + "/bin:/usr/bin:/bin", "/bin/sh",
                                         step.dir + "/" + step.script};
        args.insert(args.end(), step.args.begin(), step.args.end());
        RunResult run = RunProgram("/usr/bin/env", args, 30000);
        EXPECT_EQ(run.status, 0) << run.output;
        EXPECT_EQ(Replace(root.Read("calls"), r, "R"), step.calls);
        std::string cfg = root.Read("etc/owl/owl.cfg");
        if (step.args[0] == "purge") {
            EXPECT_EQ(access(root.File("etc/owl").c_str(), F_OK), -1);
            EXPECT_EQ(access(root.File("var/log/owl").c_str(), F_OK), -1);
            continue;
        }
        if (password.empty()) {
            password = Setting(cfg, "password");
            EXPECT_EQ(password.size(), 36u);
            EXPECT_EQ(Replace(cfg, password, "change-me"), root.Read("usr/share/owl/owl.cfg"));
            struct stat st;
            ASSERT_EQ(stat(root.File("etc/owl/owl.cfg").c_str(), &st), 0);
            EXPECT_EQ(st.st_mode & 0777, 0640u);
            root.Write("etc/owl/owl.cfg", cfg + "comment=edited\n");  // the operator's change
        } else {
            EXPECT_EQ(Setting(cfg, "password"), password);
            EXPECT_NE(cfg.find("comment=edited\n"), std::string::npos);
        }
    }
}

// Where systemd runs and owl was never installed here: the real cycle, with
// the service followed; the machine is put back (package, user, group).
TEST_F(Package, ServiceFollowsTheCycle) {
    if (geteuid() != 0 || access("/run/systemd/system", F_OK) != 0)
        GTEST_SKIP() << "needs root and a running systemd";
    if (RunProgram("/usr/bin/dpkg-query", {"-W", "owl"}).status == 0 ||
        RunProgram("/usr/bin/getent", {"passwd", "owl"}).status == 0)
        GTEST_SKIP() << "owl is or was installed on this machine";
    std::string newer = BuildPackage(OWL_VERSION ".1");
    auto state = [] {
        return RunProgram("/usr/bin/systemctl", {"show", "-p", "ActiveState,MainPID", "owl"})
            .output;
    };
    RunResult install = RunProgram("/usr/bin/dpkg", {"-i", deb_}, 120000);
    EXPECT_EQ(install.status, 0) << install.output;
    std::string first = state();
    EXPECT_NE(first.find("ActiveState=active"), std::string::npos) << first;
    EXPECT_EQ(RunProgram("/usr/bin/dpkg", {"-i", newer}, 120000).status, 0);
    std::string second = state();
    EXPECT_NE(second.find("ActiveState=active"), std::string::npos) << second;
    EXPECT_NE(second, first);  // restarted: another main pid
    EXPECT_EQ(RunProgram("/usr/bin/dpkg", {"-r", "owl"}, 120000).status, 0);
    EXPECT_NE(state().find("ActiveState=inactive"), std::string::npos);
    EXPECT_EQ(access("/etc/owl/owl.cfg", F_OK), 0);
    EXPECT_EQ(RunProgram("/usr/bin/dpkg", {"-P", "owl"}, 120000).status, 0);
    EXPECT_NE(access("/etc/owl", F_OK), 0);
    RunProgram("/usr/sbin/userdel", {"owl"});
    RunProgram("/usr/sbin/groupdel", {"owl"});
}

TEST_F(Package, LintianFindsNothing) {
    std::string lintian = Which("lintian");
    if (lintian.empty())
        GTEST_SKIP() << "lintian is not installed (make package-check installs it)";
    RunResult r = RunProgram(lintian, {"--tag-display-limit", "0", deb_}, 120000);
    EXPECT_EQ(("\n" + r.output).find("\nE: "), std::string::npos) << r.output;
    EXPECT_EQ(("\n" + r.output).find("\nW: "), std::string::npos) << r.output;
}

// make install: the tree that the package holds, under a prefix, with the
// configuration's paths following the prefix and the configuration beside
// the template (the check finds the agent and its scripts there, and warns
// about the placeholder password).
TEST(Install, SameTreeUnderAPrefix) {
    TempDir prefix;
    RunResult r = RunProgram(OWL_CMAKE, {"--install", kBuild, "--prefix", prefix.path()}, 60000);
    ASSERT_EQ(r.status, 0) << r.output;
    std::string cfg = prefix.Read("etc/owl/owl.cfg");
    EXPECT_EQ(cfg, prefix.Read("share/owl/owl.cfg"));
    EXPECT_EQ(Setting(cfg, "owlpath"), prefix.File("sbin/owl"));
    EXPECT_EQ(Setting(cfg, "proccntscript"), prefix.File("share/owl/scripts/proccount.sh"));
    RunProgram("/bin/mkdir", {"-p", prefix.File("var/log/owl")});  // made by the package's postinst
    RunResult check = RunProgram(prefix.File("sbin/owl"), {"-t", prefix.File("etc/owl/owl.cfg")});
    EXPECT_EQ(check.status, 0);
    EXPECT_EQ(check.output.rfind("Settings checking .. Ok\nWarning: password is the shipped "
                                 "placeholder 'change-me': set one of your own\n",
                                 0),
              0u)
        << check.output;
}

}  // namespace
