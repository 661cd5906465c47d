// The Debian package and the install rules: the package is built with
// CPack from this build, inspected with dpkg-deb and unpacked into a
// scratch root, where the unpacked agent serves the unpacked owlctl.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "core/version.h"
#include "support/process.h"

namespace {

const std::string kBuild = OWL_BUILD_DIR;

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

// The package of this build, made once and shared by the test processes
// (under a lock) until the programs change.
std::string BuildPackage() {
    std::string dir = kBuild + "/test-package";
    std::string deb = dir + "/owl.deb";
    mkdir(dir.c_str(), 0755);
    int lock = open((dir + ".lock").c_str(), O_CREAT | O_RDWR | O_CLOEXEC, 0644);
    flock(lock, LOCK_EX);
    time_t built = Modified(deb);
    if (built == 0 || built < Modified(OWL_BINARY) || built < Modified(OWLCTL_BINARY)) {
        RunResult r = RunProgram(
            OWL_CPACK, {"-G", "DEB", "--config", kBuild + "/CPackConfig.cmake", "-B", dir}, 120000);
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
    for (const char* file :
         {"./usr/sbin/owl", "./usr/bin/owlctl", "./etc/owl/owl.cfg",
          "./usr/lib/systemd/system/owl.service", "./usr/share/owl/scripts/cpuusage.sh",
          "./usr/share/owl/scripts/proccount.sh", "./usr/share/owl/scripts/proclist.sh",
          "./usr/share/man/man8/owl.8.gz", "./usr/share/man/man1/owlctl.1.gz",
          "./usr/share/man/man5/owl.cfg.5.gz", "./usr/share/doc/owl/copyright"})
        EXPECT_NE(contents.output.find(std::string(file) + "\n"), std::string::npos) << file;
    std::string info = DpkgDeb({"--info", deb_}).output;
    for (const char* text : {"Package: owl\n", "Version: " OWL_VERSION "\n", "adduser"})
        EXPECT_NE(info.find(text), std::string::npos) << info;
    EXPECT_EQ(DpkgDeb({"--info", deb_, "conffiles"}).output, "/etc/owl/owl.cfg\n");
    std::string postinst = DpkgDeb({"--info", deb_, "postinst"}).output;
    EXPECT_NE(postinst.find("adduser --system"), std::string::npos);
    EXPECT_NE(postinst.find("/var/log/owl"), std::string::npos);
    EXPECT_EQ(
        RunProgram("/bin/sh", {"-n", std::string(OWL_SOURCE_DIR) + "/packaging/debian/postinst"})
            .status,
        0);

    TempDir root;
    ASSERT_EQ(DpkgDeb({"-x", deb_, root.path()}).status, 0);
    std::string cfg = root.Read("etc/owl/owl.cfg");
    for (const char* safe :
         {"host=127.0.0.1", "filteractive=1", "filterlist=127.0.0.1", "allowmanage=1",
          "manageaddr=127.0.0.1", "allowupdates=0", "executeaction=0", "tcpudpaction=0",
          "syslogaction=0", "owlpath=/usr/sbin/owl", "badlogfile=/var/log/owl/failure.log",
          "cpuusagescript=/usr/share/owl/scripts/cpuusage.sh",
          "proccntscript=/usr/share/owl/scripts/proccount.sh",
          "proclistscript=/usr/share/owl/scripts/proclist.sh"})
        EXPECT_NE(("\n" + cfg).find("\n" + std::string(safe) + "\n"), std::string::npos) << safe;
    int port = FreeLoopbackPort();
    std::string moved = Replace(cfg, "=/usr/", "=" + root.path() + "/usr/");
    moved = Replace(moved, "/var/log/owl", root.path());
    moved = Replace(moved, "\nport=1055\n", "\nport=" + std::to_string(port) + "\n");
    root.Write("test.cfg", moved);
    std::string owl = root.File("usr/sbin/owl");
    EXPECT_EQ(RunProgram(owl, {"-t", root.File("test.cfg")}).output, "Settings checking .. Ok\n");
    BackgroundProcess agent;
    ASSERT_TRUE(agent.Start(owl, {"-i", root.File("test.cfg")}, root.File("console.out")));
    ASSERT_TRUE(agent.WaitForOutput("Listening...", 15000)) << agent.Output();
    RunResult reply =
        RunProgram(root.File("usr/bin/owlctl"),
                   {"-p", std::to_string(port), "-w", Setting(cfg, "password"), "GetInfo"});
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

TEST_F(Package, LintianFindsNoErrors) {
    std::string lintian = Which("lintian");
    if (lintian.empty())
        GTEST_SKIP() << "lintian is not installed (make package-check installs it)";
    RunResult r = RunProgram(lintian, {"--tag-display-limit", "0", deb_}, 120000);
    EXPECT_EQ(("\n" + r.output).find("\nE: "), std::string::npos) << r.output;
}

// make install: the tree that the package holds, under a prefix, with the
// configuration's paths following the prefix (the check finds the agent and
// its scripts there, or warns).
TEST(Install, SameTreeUnderAPrefix) {
    TempDir prefix;
    RunResult r = RunProgram(OWL_CMAKE, {"--install", kBuild, "--prefix", prefix.path()}, 60000);
    ASSERT_EQ(r.status, 0) << r.output;
    std::string cfg = prefix.Read("etc/owl/owl.cfg");
    EXPECT_EQ(Setting(cfg, "owlpath"), prefix.File("sbin/owl"));
    EXPECT_EQ(Setting(cfg, "proccntscript"), prefix.File("share/owl/scripts/proccount.sh"));
    RunProgram("/bin/mkdir", {"-p", prefix.File("var/log/owl")});  // made by the package's postinst
    RunResult check = RunProgram(prefix.File("sbin/owl"), {"-t", prefix.File("etc/owl/owl.cfg")});
    EXPECT_EQ(check.output, "Settings checking .. Ok\n");
}

}  // namespace
