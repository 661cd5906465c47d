// The process runner: command-line splitting, every outcome of SystemEx2,
// process groups at the time-out, the reaper, temporary names and quoting.
#include "fs/runner.h"

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "fs/filesearch.h"
#include "support/process.h"

namespace {

long long Ms() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

std::string S(const String& s) { return std::string(s.Data() ? s.Data() : "", s.Length()); }

// The state letter of a process in /proc, or 0 when it is gone.
char ProcState(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    if (!std::getline(in, line)) return 0;
    size_t paren = line.rfind(')');
    return paren == std::string::npos || paren + 2 >= line.size() ? 0 : line[paren + 2];
}

// Zombie children of this process.
int ZombieChildren() {
    int zombies = 0;
    DIR* d = opendir("/proc");
    while (dirent* e = readdir(d)) {
        std::ifstream in(std::string("/proc/") + e->d_name + "/stat");
        std::string line;
        if (!std::getline(in, line)) continue;
        size_t paren = line.rfind(')');
        if (paren == std::string::npos) continue;
        char state = 0;
        int ppid = 0;
        if (sscanf(line.c_str() + paren + 1, " %c %d", &state, &ppid) == 2 && state == 'Z' &&
            ppid == getpid())
            zombies++;
    }
    closedir(d);
    return zombies;
}

TEST(Runner, SplitsCommandLines) {
    struct Case {
        std::string line;
        std::vector<std::string> args;
    } cases[] = {
        {"", {}},
        {"   ", {}},
        {"a b  c", {"a", "b", "c"}},
        {"a\tb", {"a", "b"}},
        {"\"/path with/blank\" x", {"/path with/blank", "x"}},
        {"'a b'", {"a b"}},
        {"\"a'b\" 'c\"d'", {"a'b", "c\"d"}},
        {"ab\"c d\"", {"ab\"c", "d\""}},
        {"\"a\"b", {"a", "b"}},
        {"\"unbalanced x", {"unbalanced x"}},
        {"\"\" x", {"", "x"}},
        {"a\\ b", {"a\\", "b"}},
        {std::string(2000, 'x'), {}},
        {"a " + std::string(1100, 'y') + " b", {"a"}},
    };
    for (const Case& c : cases) {
        char buffer[RUNNER_ARG_BUFFER];
        char* argv[RUNNER_MAX_ARGS + 1];
        int argc = SplitCommandLine(c.line.c_str(), buffer, sizeof(buffer), argv);
        std::vector<std::string> got(argv, argv + argc);
        EXPECT_EQ(got, c.args) << c.line;
        EXPECT_EQ(argv[argc], nullptr);
    }
    // 100 arguments: the first 23 are taken.
    std::string many;
    for (int i = 0; i < 100; i++) many += std::to_string(i) + " ";
    char buffer[RUNNER_ARG_BUFFER];
    char* argv[RUNNER_MAX_ARGS + 1];
    ASSERT_EQ(SplitCommandLine(many.c_str(), buffer, sizeof(buffer), argv), 23);
    EXPECT_STREQ(argv[22], "22");
}

TEST(Runner, Outcomes) {
    TempDir dir;
    dir.Write("noshebang", "exit 7\n");
    chmod(dir.File("noshebang").c_str(), 0755);
    struct Case {
        std::string line;
        int timeout, result, exitCode;
        std::string error;
        long long maxMs;
    } cases[] = {
        {"/bin/true", 0, 1, 0, "", 2000},
        {"sh -c 'exit 3'", 0, 1, 3, "", 2000},
        {"/bin/sh -c 'exit 255'", 5000, 1, 255, "", 2000},
        {dir.File("noshebang"), 0, 1, 7, "", 2000},
        {"/no/such/program", 0, 0, -1, "exec error: No such file or directory", 2000},
        {"no-such-program-on-path", 0, 0, -1, "exec error: No such file or directory", 2000},
        {"", 0, 0, -1, "exec error: No such file or directory", 2000},
        {"/bin/sleep 5", 300, 0, -1, "abnormal termination", 1500},
        {"/bin/sh -c 'trap \"\" TERM; sleep 5'", 100, 0, -1, "abnormal termination", 1500},
        {"/bin/sleep 5", -7, 0, -1, "abnormal termination", 1000},
        {"/bin/sh -c 'kill -9 $$'", 0, 0, -1, "abnormal termination", 2000},
        {"/bin/sh -c 'exit 4'", -1, 1, 4, "", 900},
        {"/no/such/program", -1, 0, -1, "exec error", 900},
    };
    for (const Case& c : cases) {
        int exitCode = -1;
        String error("stale");
        long long start = Ms();
        int r = SystemEx(c.line.c_str(), nullptr, c.timeout, exitCode, error);
        long long took = Ms() - start;
        EXPECT_EQ(r, c.result) << c.line;
        EXPECT_EQ(exitCode, c.exitCode) << c.line;
        EXPECT_EQ(S(error), c.error) << c.line;
        EXPECT_LT(took, c.maxMs) << c.line;
    }
}

TEST(Runner, DetachedProgramIsLeftRunningAndReaped) {
    int exitCode = -1;
    String error;
    long long start = Ms();
    ASSERT_EQ(SystemEx("/bin/sleep 1.3", nullptr, -1, exitCode, error), 1);
    EXPECT_GE(Ms() - start, 900);
    EXPECT_EQ(exitCode, 0);
    EXPECT_EQ(PendingReaps(), 1);
    for (int i = 0; i < 100 && PendingReaps() > 0; i++) usleep(20000);
    EXPECT_EQ(PendingReaps(), 0);
}

TEST(Runner, FiftyDetachedRunsLeaveNoZombies) {
    std::vector<std::thread> threads;
    std::atomic<int> ok{0};
    for (int i = 0; i < 50; i++)
        threads.emplace_back([&] {
            int exitCode = -1;
            String error;
            if (SystemEx("/bin/sleep 1.1", nullptr, -1, exitCode, error) == 1) ok++;
        });
    for (auto& t : threads) t.join();
    EXPECT_EQ(ok, 50);
    for (int i = 0; i < 150 && (PendingReaps() > 0 || ZombieChildren() > 0); i++) usleep(20000);
    EXPECT_EQ(PendingReaps(), 0);
    EXPECT_EQ(ZombieChildren(), 0);
}

TEST(Runner, TimeOutEndsTheWholeProcessGroup) {
    TempDir dir;
    std::string line = "/bin/sh -c 'sleep 30 & echo $! > " + dir.File("pid") + "; wait'";
    int exitCode = -1;
    String error;
    EXPECT_EQ(SystemEx(line.c_str(), nullptr, 300, exitCode, error), 0);
    EXPECT_EQ(S(error), "abnormal termination");
    pid_t grandchild = atoi(dir.Read("pid").c_str());
    ASSERT_GT(grandchild, 0);
    char state = ProcState(grandchild);
    for (int i = 0; i < 100 && state != 0 && state != 'Z'; i++, state = ProcState(grandchild))
        usleep(10000);
    EXPECT_TRUE(state == 0 || state == 'Z') << state;
}

TEST(Runner, ChildStartsCleanWithRedirectionsAndFolder) {
    TempDir dir;
    signal(SIGPIPE, SIG_IGN);                  // as the agent does
    int leaked = open("/dev/null", O_RDONLY);  // not close-on-exec
    std::string out = dir.File("out");
    std::string line =
        "/bin/sh -c 'pwd; echo $((0x$(grep SigIgn /proc/$$/status | cut -f2) & 0x7fffffff)); ls "
        "/proc/$$/fd; echo oops >&2; "
        "cat'";
    dir.Write("in", "from stdin\n");
    std::string in = dir.File("in");
    int exitCode = -1;
    String error;
    ASSERT_EQ(SystemEx2(line.c_str(), dir.path().c_str(), in.c_str(), out.c_str(), out.c_str(),
                        5000, exitCode, error),
              1)
        << S(error);
    close(leaked);
    // Folder; no standard signal ignored (the C library keeps its two
    // internal real-time ones); only the three streams open; stderr shares
    // stdout's file.
    EXPECT_EQ(dir.Read("out"), dir.path() + "\n0\n0\n1\n2\noops\nfrom stdin\n");
    // A folder that cannot be entered is ignored.
    ASSERT_EQ(
        SystemEx2("/bin/pwd", "/no/such/folder", nullptr, out.c_str(), nullptr, 0, exitCode, error),
        1);
    EXPECT_EQ(dir.Read("out"), S(GetCurrentDir()) + "\n");
}

TEST(Runner, TempFileNames) {
    const char* oldTmpdir = getenv("TMPDIR");
    std::string saved = oldTmpdir ? oldTmpdir : "";
    TempDir dir;
    char buf[512];
    std::string prefix = dir.path() + "/tmp-" + std::to_string(GetUniqueThreadID()) + "-";

    EXPECT_EQ(gettempfilename(buf, 15, nullptr), 0);
    EXPECT_EQ(gettempfilename(nullptr, 512, nullptr), 0);
    setenv("TMPDIR", dir.path().c_str(), 1);
    ASSERT_EQ(gettempfilename(buf, sizeof(buf), nullptr), 1);
    EXPECT_EQ(std::string(buf), prefix + "0");
    dir.Write(std::string(buf).substr(dir.path().size() + 1), "taken");
    ASSERT_EQ(gettempfilename(buf, sizeof(buf), nullptr), 1);
    EXPECT_EQ(std::string(buf), prefix + "1");
    ASSERT_EQ(gettempfilename(buf, sizeof(buf), "x.txt"), 1);
    EXPECT_EQ(std::string(buf), dir.path() + "/x.txt");
    int need = (int)dir.path().size() + 1 + 16;
    EXPECT_EQ(gettempfilename(buf, need, "x"), 1);
    buf[0] = 'z';
    EXPECT_EQ(gettempfilename(buf, need - 1, "x"), 0);
    EXPECT_EQ(buf[0], 0);

    // A link planted on the next free name is skipped, never followed.
    symlink(dir.File("target").c_str(), (prefix + "1").c_str());
    int fd = CreateTempFile(buf, sizeof(buf), nullptr, 0600);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(std::string(buf), prefix + "2");
    struct stat st;
    fstat(fd, &st);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    close(fd);
    EXPECT_FALSE(FileExists(dir.File("target").c_str()));
    // A given name that is taken falls back to the numbered names.
    fd = CreateTempFile(buf, sizeof(buf), "taken.txt", 0600);
    close(fd);
    fd = CreateTempFile(buf, sizeof(buf), "taken.txt", 0600);
    EXPECT_EQ(std::string(buf), prefix + "3");
    close(fd);

    unsetenv("TMPDIR");
    setenv("TMP", "/var/tmp", 1);
    ASSERT_EQ(gettempfilename(buf, sizeof(buf), "n"), 1);
    EXPECT_STREQ(buf, "/var/tmp/n");
    unsetenv("TMP");
    ASSERT_EQ(gettempfilename(buf, sizeof(buf), "n"), 1);
    EXPECT_STREQ(buf, "./n");
    if (oldTmpdir) setenv("TMPDIR", saved.c_str(), 1);
}

TEST(Runner, ShellQuotingKeepsWordsAndNothingElse) {
    struct Case {
        const char* text;
        const char* quoted;
    } cases[] = {
        {"httpd", "'httpd'"},
        {"a  b\tc", "'a' 'b' 'c'"},
        {"x; rm -rf /", "'x;' 'rm' '-rf' '/'"},
        {"it's", "'it'\\''s'"},
        {"$(touch f)`id`", "'$(touch' 'f)`id`'"},
    };
    for (const Case& c : cases) EXPECT_EQ(S(ShellQuoteWords(String(c.text))), c.quoted);
    TempDir dir;
    std::string command = "cd " + dir.path() + " && printf '%s|' " +
                          S(ShellQuoteWords(String("a 'b' $(touch f) ;touch g"))) + " > out";
    int status = -1;
    ASSERT_EQ(RunShellCommand(String(command.c_str()), status), 1);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(dir.Read("out"), "a|'b'|$(touch|f)|;touch|g|");
    EXPECT_FALSE(FileExists(dir.File("f").c_str()));
    EXPECT_FALSE(FileExists(dir.File("g").c_str()));
}

}  // namespace
