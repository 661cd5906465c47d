// The process runner: command-line splitting, every outcome of SystemEx2,
// process groups at the time-out, the reaper, temporary names and the shell
// pipe.
#include "proc/runner.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "fs/filesearch.h"
#include "support/agent.h"

namespace {

TEST(Runner, SplitsCommandLines) {
    using V = std::vector<std::string>;
    std::string many;
    V first23;
    for (int i = 0; i < 100; i++) many += std::to_string(i) + " ";
    for (int i = 0; i < 23; i++) first23.push_back(std::to_string(i));
    const std::pair<std::string, V> cases[] = {
        {"  a b\t c ", {"a", "b", "c"}},
        {"\"/path with/blank\" 'a b'", {"/path with/blank", "a b"}},
        {"\"a'b\" 'c\"d'", {"a'b", "c\"d"}},
        {"ab\"c d\"", {"ab\"c", "d\""}},
        {"\"a\"b", {"a", "b"}},
        {"\"unbalanced x", {"unbalanced x"}},
        {"\"\" a\\ b", {"", "a\\", "b"}},
        {"a " + std::string(1100, 'y') + " b", {"a"}},
        {many, first23},
    };
    for (const auto& c : cases) {
        char buffer[RUNNER_ARG_BUFFER];
        char* argv[RUNNER_MAX_ARGS + 1];
        int argc = SplitCommandLine(c.first.c_str(), buffer, sizeof(buffer), argv);
        EXPECT_EQ(argv[argc], nullptr);
        EXPECT_EQ(V(argv, argv + argc), c.second) << c.first.substr(0, 40);
    }
}

// Each outcome within its time; a time-out ends the program's whole
// process group, the background sleep included.
TEST(Runner, Outcomes) {
    TempDir dir;
    const std::string missing = "exec error: No such file or directory",
                      killed = "abnormal termination";
    const std::tuple<std::string, int, int, int, std::string, long long> cases[] = {
        {"sh -c 'exit 3'", 0, 1, 3, "", 2000},
        {"/bin/sh -c 'exit 255'", 5000, 1, 255, "", 2000},
        {"no-such-program-on-path", 0, 0, -1, missing, 2000},
        {"", 0, 0, -1, missing, 2000},
        {"/bin/sh -c 'trap \"\" TERM; sleep 5'", 100, 0, -1, killed, 1500},
        {"/bin/sleep 5", -7, 0, -1, killed, 1000},
        {"/bin/sh -c 'kill -9 $$'", 0, 0, -1, killed, 2000},
        {"/bin/sh -c 'exit 4'", -1, 1, 4, "", 900},
        {"/no/such/program", -1, 0, -1, "exec error", 900},
        {"/bin/sh -c 'sleep 30 & echo $! > " + dir.File("pid") + "; wait'", 300, 0, -1, killed,
         1500},
    };
    for (const auto& [line, timeout, result, exitCode, error, maxMs] : cases) {
        int code = -1;
        String message("stale");
        long long start = Ms();
        EXPECT_EQ(SystemEx(line.c_str(), nullptr, timeout, code, message), result) << line;
        EXPECT_LT(Ms() - start, maxMs) << line;
        EXPECT_EQ(code, exitCode) << line;
        EXPECT_EQ(Str(message), error) << line;
    }
    std::string stat = "/proc/" + std::to_string(atoi(dir.Read("pid").c_str())) + "/stat";
    auto gone = [&] {
        std::string text;
        std::getline(std::ifstream(stat), text);
        return text.empty() || text.find(") Z ") != std::string::npos;  // a zombie of init's
    };
    EXPECT_TRUE(Eventually(gone, 1000));
}

TEST(Runner, FiftyDetachedRunsLeaveNoZombies) {
    std::vector<std::thread> threads;
    std::atomic<int> ok{0};
    long long start = Ms();
    for (int i = 0; i < 50; i++)
        threads.emplace_back([&] {
            int exitCode = -1;
            String error;
            // Twice the runner's wait: still running when it gives up.
            ok += SystemEx("/bin/sleep 2", nullptr, -1, exitCode, error) == 1 && exitCode == 0;
        });
    for (auto& t : threads) t.join();
    EXPECT_EQ(ok, 50);
    EXPECT_GE(Ms() - start, RUNNER_DETACH_WAIT_MS - 100);
    EXPECT_GT(PendingReaps(), 0);
    EXPECT_TRUE(Eventually([] { return PendingReaps() == 0; }, 10000));
    // With nothing left to reap, the reaper waits without spinning.
    auto cpuMs = [] {
        struct timespec t;
        clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
        return t.tv_sec * 1000LL + t.tv_nsec / 1000000;
    };
    long long cpu = cpuMs();
    usleep(300 * 1000);  // a window of time, not a wait for the runner
    EXPECT_LT(cpuMs() - cpu, 150);
    siginfo_t zombie = {};
    int r = waitid(P_ALL, 0, &zombie, WEXITED | WNOHANG | WNOWAIT);
    EXPECT_TRUE(r == -1 || zombie.si_pid == 0) << zombie.si_pid;
}

TEST(Runner, ChildStartsCleanWithRedirectionsAndFolder) {
    TempDir dir;
    signal(SIGPIPE, SIG_IGN);                  // as the agent does
    int leaked = open("/dev/null", O_RDONLY);  // not close-on-exec
    std::string out = dir.File("out"), in = dir.File("in");
    dir.Write("in", "from stdin\n");
    std::string line =
        "/bin/sh -c 'pwd; echo $((0x$(grep SigIgn /proc/$$/status | cut -f2) & 0x7fffffff)); "
        "ls /proc/$$/fd; echo oops >&2; cat'";
    int exitCode = -1;
    String error;
    EXPECT_EQ(SystemEx2(line.c_str(), dir.path().c_str(), in.c_str(), out.c_str(), out.c_str(),
                        5000, exitCode, error),
              1);
    close(leaked);
    // Folder; no standard signal ignored (the C library keeps its two
    // internal real-time ones); only the three streams open; stderr shares
    // stdout's file.
    EXPECT_EQ(dir.Read("out"), dir.path() + "\n0\n0\n1\n2\noops\nfrom stdin\n");
    // A folder that cannot be entered is ignored.
    EXPECT_EQ(SystemEx2("/bin/pwd", "/no/such", nullptr, out.c_str(), nullptr, 0, exitCode, error),
              1);
    EXPECT_EQ(dir.Read("out"), Str(GetCurrentDir()) + "\n");
}

// Numbered names "tmp-<thread>-<n>" skip existing files; a link planted on
// the next free name is skipped, never followed; a given name that is taken
// falls back to the numbered names; TMPDIR gives the folder. A new file has
// the mode asked for, whatever the umask allows.
TEST(Runner, TempFileNames) {
    TmpEnv env;
    TempDir dir;
    char buf[512];
    EXPECT_EQ(gettempfilename(buf, 15, nullptr), 0);
    setenv("TMPDIR", dir.path().c_str(), 1);
    ASSERT_EQ(gettempfilename(buf, sizeof(buf), nullptr), 1);
    std::string first = buf, prefix = first.substr(0, first.size() - 1);
    ASSERT_EQ(prefix.rfind(dir.path() + "/tmp-", 0), 0u) << first;
    EXPECT_EQ(first.back(), '0');
    close(open(buf, O_CREAT | O_WRONLY, 0600));
    symlink(dir.File("target").c_str(), (prefix + "1").c_str());
    ASSERT_EQ(gettempfilename(buf, sizeof(buf), nullptr), 1);
    EXPECT_EQ(buf, prefix + "1");
    int need = (int)dir.path().size() + 1 + 16;
    EXPECT_EQ(gettempfilename(buf, need, "x.txt"), 1);
    EXPECT_EQ(buf, dir.File("x.txt"));
    EXPECT_EQ(gettempfilename(buf, need - 1, "x.txt"), 0);
    EXPECT_EQ(buf[0], 0);
    mode_t umaskWas = umask(0);
    struct stat st;
    for (mode_t mode : {0600, 0644}) {
        close(CreateTempFile(buf, sizeof(buf), nullptr, mode));
        EXPECT_EQ(buf, prefix + (mode == 0600 ? "2" : "3"));
        EXPECT_TRUE(stat(buf, &st) == 0 && (st.st_mode & 0777) == mode) << std::oct << mode;
    }
    umask(umaskWas);
    EXPECT_FALSE(FileExists(dir.File("target").c_str()));
    close(CreateTempFile(buf, sizeof(buf), "taken", 0600));
    close(CreateTempFile(buf, sizeof(buf), "taken", 0600));
    EXPECT_EQ(buf, prefix + "4");
}

// A shell's output and error come through the pipe as they are written; the
// reading ends with the shell, even when a program it left running holds
// the pipe open.
TEST(Runner, ShellOutputThroughAPipe) {
    const struct {
        const char* command;
        std::string output;
        int status;
    } cases[] = {
        {"echo out; echo err >&2; exit 3", "out\nerr\n", 3},
        {"head -c 300000 /dev/zero", std::string(300000, '\0'), 0},
        {"echo a; sleep 10 & exit 0", "a\n", 0},
        {"kill -9 $$", "", 137},
    };
    for (const auto& c : cases) {
        std::string output;
        int status = -1;
        long long start = Ms();
        EXPECT_EQ(RunShellCommandReading(
                      String(c.command),
                      [&output](const char* data, size_t n) { output.append(data, n); }, status),
                  1);
        EXPECT_LT(Ms() - start, 5000) << c.command;
        EXPECT_TRUE(output == c.output) << c.command << ": " << output.size();
        EXPECT_EQ(status, c.status) << c.command;
    }
}

}  // namespace
