// The Debian package, the install rules and the sample scripts: the package
// is built with CPack from this build, inspected with dpkg-deb, unpacked
// into a scratch root, and the unpacked agent serves the unpacked owlctl.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <set>
#include <sstream>
#include <string>

#include "core/version.h"
#include "support/process.h"

namespace {

const std::string kBuild = OWL_BUILD_DIR;
const std::string kScripts = std::string(OWL_SOURCE_DIR) + "/packaging/scripts";

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

TEST_F(Package, FilesConffileAndMaintainerScripts) {
    RunResult contents = DpkgDeb({"--contents", deb_});
    ASSERT_EQ(contents.status, 0);
    for (const char* file :
         {"./usr/sbin/owl", "./usr/bin/owlctl", "./etc/owl/owl.cfg",
          "./usr/lib/systemd/system/owl.service", "./usr/share/owl/scripts/cpuusage.sh",
          "./usr/share/owl/scripts/proccount.sh", "./usr/share/owl/scripts/proclist.sh",
          "./usr/share/man/man8/owl.8.gz", "./usr/share/man/man1/owlctl.1.gz",
          "./usr/share/man/man5/owl.cfg.5.gz", "./usr/share/doc/owl/copyright"})
        EXPECT_NE(contents.output.find(std::string(file) + "\n"), std::string::npos) << file;
    EXPECT_NE(contents.output.find("-rwxr-xr-x root/root"), std::string::npos);

    RunResult info = DpkgDeb({"--info", deb_});
    EXPECT_NE(info.output.find("Package: owl\n"), std::string::npos);
    EXPECT_NE(info.output.find("Version: " OWL_VERSION "\n"), std::string::npos);
    EXPECT_NE(info.output.find("adduser"), std::string::npos) << info.output;
    EXPECT_EQ(DpkgDeb({"--info", deb_, "conffiles"}).output, "/etc/owl/owl.cfg\n");
    std::string postinst = DpkgDeb({"--info", deb_, "postinst"}).output;
    EXPECT_NE(postinst.find("adduser --system"), std::string::npos);
    EXPECT_NE(postinst.find("/var/log/owl"), std::string::npos);
    EXPECT_EQ(
        RunProgram("/bin/sh", {"-n", std::string(OWL_SOURCE_DIR) + "/packaging/debian/postinst"})
            .status,
        0);
}

// The unpacked agent checks and serves its own packaged configuration,
// moved into the scratch root and onto a free port.
TEST_F(Package, UnpackedAgentServesUnpackedOwlctl) {
    TempDir root;
    ASSERT_EQ(DpkgDeb({"-x", deb_, root.path()}).status, 0);
    std::string cfg = root.Read("etc/owl/owl.cfg");
    const std::vector<std::pair<const char*, const char*>> safe = {
        {"host", "127.0.0.1"},
        {"filteractive", "1"},
        {"filterlist", "127.0.0.1"},
        {"allowmanage", "1"},
        {"manageaddr", "127.0.0.1"},
        {"allowupdates", "0"},
        {"executeaction", "0"},
        {"tcpudpaction", "0"},
        {"syslogaction", "0"},
        {"owlpath", "/usr/sbin/owl"},
        {"badlogfile", "/var/log/owl/failure.log"},
        {"cpuusagescript", "/usr/share/owl/scripts/cpuusage.sh"},
        {"proccntscript", "/usr/share/owl/scripts/proccount.sh"},
        {"proclistscript", "/usr/share/owl/scripts/proclist.sh"},
    };
    for (auto& kv : safe) EXPECT_EQ(Setting(cfg, kv.first), kv.second) << kv.first;

    int port = FreeLoopbackPort();
    std::string moved = Replace(cfg, "=/usr/", "=" + root.path() + "/usr/");
    moved = Replace(moved, "/var/log/owl", root.path());
    moved = Replace(moved, "\nport=1055\n", "\nport=" + std::to_string(port) + "\n");
    root.Write("test.cfg", moved);
    std::string owl = root.File("usr/sbin/owl");
    RunResult check = RunProgram(owl, {"-t", root.File("test.cfg")});
    EXPECT_EQ(check.output, "Settings checking .. Ok\n");

    BackgroundProcess agent;
    ASSERT_TRUE(agent.Start(owl, {"-i", root.File("test.cfg")}, root.File("console.out")));
    ASSERT_TRUE(agent.WaitForOutput("Listening...", 15000)) << agent.Output();
    RunResult reply =
        RunProgram(root.File("usr/bin/owlctl"),
                   {"-p", std::to_string(port), "-w", Setting(cfg, "password"), "GetInfo"});
    EXPECT_EQ(reply.status, 0) << reply.output;
    EXPECT_EQ(reply.output.substr(0, 4), "200\n");
}

TEST_F(Package, LintianFindsNoErrors) {
    std::string lintian = Which("lintian");
    if (lintian.empty())
        GTEST_SKIP() << "lintian is not installed (make package-check installs it)";
    RunResult r = RunProgram(lintian, {"--tag-display-limit", "0", deb_}, 120000);
    EXPECT_EQ(r.output.find("\nE: "), std::string::npos) << r.output;
    EXPECT_NE(r.output.rfind("E: ", 0), 0u) << r.output;
}

// The unit as packaged, with the program paths pointed at the build.
TEST_F(Package, ServiceUnitVerifies) {
    std::string analyze = Which("systemd-analyze");
    if (analyze.empty()) GTEST_SKIP() << "systemd-analyze is not installed";
    TempDir root;
    ASSERT_EQ(DpkgDeb({"-x", deb_, root.path()}).status, 0);
    std::string unit = root.Read("usr/lib/systemd/system/owl.service");
    std::string text = Replace(unit, "/usr/sbin/owl", OWL_BINARY);
    root.Write("owl.service", text);
    RunResult r = RunProgram(analyze, {"verify", "--man=no", root.File("owl.service")});
    EXPECT_EQ(r.status, 0) << r.output;
    EXPECT_EQ(r.output, "");
    for (const char* line : {"User=owl", "PIDFile=/run/owl/owl.pid", "ExecReload=/bin/kill -HUP",
                             "Restart=on-failure", "NoNewPrivileges=yes", "PrivateTmp=yes",
                             "ProtectHome=read-only", "ReadWritePaths=/etc/owl /var/log/owl"})
        EXPECT_NE(text.find(line), std::string::npos) << line;
}

// make install: the same tree under a prefix, with the configuration's
// paths following the prefix.
TEST(Install, SameTreeUnderAPrefix) {
    TempDir prefix;
    RunResult r = RunProgram(OWL_CMAKE, {"--install", kBuild, "--prefix", prefix.path()}, 60000);
    ASSERT_EQ(r.status, 0) << r.output;
    for (const char* file :
         {"sbin/owl", "bin/owlctl", "etc/owl/owl.cfg", "lib/systemd/system/owl.service",
          "share/owl/scripts/proclist.sh", "share/man/man5/owl.cfg.5.gz"})
        EXPECT_EQ(access(prefix.File(file).c_str(), F_OK), 0) << file;
    std::string cfg = prefix.Read("etc/owl/owl.cfg");
    EXPECT_EQ(Setting(cfg, "owlpath"), prefix.File("sbin/owl"));
    EXPECT_EQ(Setting(cfg, "proccntscript"), prefix.File("share/owl/scripts/proccount.sh"));
    RunResult check = RunProgram(prefix.File("sbin/owl"), {"-t", prefix.File("etc/owl/owl.cfg")});
    EXPECT_NE(check.output.find("Settings checking .. Ok"), std::string::npos) << check.output;
}

// Runs a configured script as the agent does: through the shell, output and
// errors into one file, which the caller reads.
std::string RunAsAgent(const std::string& script, const std::string& arg, const TempDir& dir) {
    std::string out = dir.File("tmpowl-1.txt");
    std::string command = kScripts + "/" + script + (arg.empty() ? "" : " " + arg) + " 1>" + out +
                          " 2>" + out + " 3>" + out;
    RunProgram("/bin/sh", {"-c", command}, 10000);
    return dir.Read("tmpowl-1.txt");
}

TEST(Scripts, CpuUsageIsAPercentage) {
    TempDir dir;
    setenv("OWL_CPU_INTERVAL", "0.2", 1);
    for (int i = 0; i < 2; i++) {
        float usage = -1;
        std::string out = RunAsAgent("cpuusage.sh", "", dir);
        ASSERT_EQ(sscanf(out.c_str(), "%f", &usage), 1) << out;
        EXPECT_GE(usage, 0.0f);
        EXPECT_LE(usage, 100.0f);
        EXPECT_EQ(out.find('\n'), out.size() - 1) << out;  // one line, nothing on stderr
    }
    unsetenv("OWL_CPU_INTERVAL");
}

TEST(Scripts, ProcessCountAndList) {
    TempDir dir;
    std::string name = "owlp" + std::to_string(getpid());
    std::string program = dir.File(name);
    ASSERT_EQ(RunProgram("/bin/cp", {"/bin/sleep", program}).status, 0);
    BackgroundProcess first, second;
    ASSERT_TRUE(first.Start(program, {"30"}, dir.File("a.out")));
    auto count = [&](const std::string& n) {
        int c = -1;
        std::string out = RunAsAgent("proccount.sh", n, dir);
        EXPECT_EQ(sscanf(out.c_str(), "%d", &c), 1) << out;
        return c;
    };
    usleep(50 * 1000);
    EXPECT_EQ(count(name), 1);
    ASSERT_TRUE(second.Start(program, {"30"}, dir.File("b.out")));
    usleep(50 * 1000);
    EXPECT_EQ(count(name), 2);
    EXPECT_EQ(count(name + "x"), 0);
    EXPECT_EQ(count("proccount.sh"), 0);  // the counting shells are not counted

    std::string list = RunAsAgent("proclist.sh", "", dir);
    std::set<std::string> names;
    std::istringstream lines(list);
    for (std::string line; std::getline(lines, line);) {
        EXPECT_FALSE(line.empty());
        EXPECT_TRUE(names.insert(line).second) << "twice: " << line;
    }
    EXPECT_EQ(names.count(name), 1u) << list;
    first.Kill(SIGKILL);
    second.Kill(SIGKILL);
}

}  // namespace
