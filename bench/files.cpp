// File test speed over the wire, each beside a standard tool measured in the
// same run on the same data:
//   TEST-FileCRC of a 512 MiB file in the page cache vs cksum (MB/s);
//   TEST-FolderSize of 50,000 small files in 500 folders vs du -sb (time);
//   TEST-CountFiles mode 1 (older than 30 days) on that tree vs
//     find -type f -mmin +43200 | wc -l (time);
//   TEST-FileCompare mode 3 on a 256 MiB log vs grep -F -c (MB/s).
// The data lives in a temporary folder that is removed at the end.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "crypto/twofish.h"
#include "protocol/client.h"

namespace {

using Clock = std::chrono::steady_clock;
const double kMiB = 1024.0 * 1024.0;

std::string gDir;
int gPort = 0;
pid_t gAgent = -1;

[[noreturn]] void Fail(const std::string& what) {
    fprintf(stderr, "bench_files: %s\n", what.c_str());
    if (gAgent > 0) kill(gAgent, SIGKILL);
    if (!gDir.empty() && system(("rm -rf '" + gDir + "'").c_str()) != 0) {
    }
    exit(1);
}

// Best wall times, in seconds, of runs calls of each of the two, taken in
// turn so that a change in the machine's load hits both alike.
void BestOfPairs(int runs, const std::function<void()>& owl, const std::function<void()>& base,
                 double* tOwl, double* tBase) {
    *tOwl = *tBase = 1e9;
    for (int i = 0; i < runs; i++) {
        for (int side = 0; side < 2; side++) {
            auto t0 = Clock::now();
            (side == 0 ? owl : base)();
            double t = std::chrono::duration<double>(Clock::now() - t0).count();
            double* best = side == 0 ? tOwl : tBase;
            *best = std::min(*best, t);
        }
    }
}

// Runs a shell command; returns its standard output.
std::string Shell(const std::string& command) {
    FILE* p = popen(command.c_str(), "r");
    if (p == nullptr) Fail("cannot run " + command);
    std::string out;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
    if (pclose(p) == -1) Fail("cannot run " + command);
    while (!out.empty() && out.back() == '\n') out.pop_back();
    return out;
}

// One request to the agent; returns the reply text after the status line
// "200", and fails the run on any other status.
std::string Owl(const char* command, const std::vector<std::string>& params) {
    std::vector<String> p;
    for (const std::string& s : params) p.push_back(String(s.c_str()));
    String text, err;
    if (OwlRequest("127.0.0.1", gPort, String("bench"), String(command), p, 600000, text, err) !=
            OWL_REPLY ||
        text.Pos("200\n") != 1)
        Fail(std::string(command) + " failed: " + std::string(text.Data() ? text.Data() : ""));
    std::string body(text.Data() + 4, text.Length() - 4);
    while (!body.empty() && (body.back() == '\r' || body.back() == '\n')) body.pop_back();
    return body;
}

void StartAgent() {
    std::string cfg = gDir + "/owl.cfg";
    std::ofstream out(cfg);
    out << "owlpath=" << OWL_BINARY << "\nhost=127.0.0.1\nport=" << gPort
        << "\npassword=bench\nlogsuccess=0\nlogfails=1\n";
    out.close();
    gAgent = fork();
    if (gAgent == 0) {
        int null = open("/dev/null", O_WRONLY);
        dup2(null, 1);
        dup2(null, 2);
        execl(OWL_BINARY, OWL_BINARY, "-i", cfg.c_str(), (char*)nullptr);
        _exit(127);
    }
    std::vector<String> none;
    for (int i = 0; i < 500; i++) {
        String text, err;
        if (OwlRequest("127.0.0.1", gPort, String("bench"), String("GetInfo"), none, 2000, text,
                       err) == OWL_REPLY)
            return;
        usleep(20000);
    }
    Fail("the agent did not start");
}

// A loopback port that nothing listens on right now.
int FreePort() {
    int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (s < 0 || bind(s, (sockaddr*)&addr, sizeof addr) != 0 ||
        getsockname(s, (sockaddr*)&addr, &len) != 0)
        Fail("no free port");
    close(s);
    return ntohs(addr.sin_port);
}

void WriteFile(const std::string& path, const std::string& chunk, size_t count) {
    FILE* f = fopen(path.c_str(), "wb");
    if (f == nullptr) Fail("cannot write " + path);
    for (size_t i = 0; i < count; i++)
        if (fwrite(chunk.data(), 1, chunk.size(), f) != chunk.size()) Fail("write " + path);
    fclose(f);
}

// 1 MiB of pseudo-random bytes, or of varied log lines.
std::string Chunk(bool log) {
    std::string chunk;
    uint32_t x = 2463534242u;
    while (chunk.size() < (1u << 20)) {
        x ^= x << 13, x ^= x >> 17, x ^= x << 5;
        if (!log) {
            chunk.append((const char*)&x, 4);
            continue;
        }
        char line[160];
        snprintf(line, sizeof line,
                 "Dec  6 12:%02u:%02u host app[%u]: request %u served in %u ms status %s\n", x % 60,
                 (x >> 8) % 60, x % 32768, x, x % 997, (x & 1) ? "ok" : "retry");
        chunk += line;
    }
    chunk.resize(1u << 20);
    return chunk;
}

// 500 folders of 100 files each; every other file is 60 days old.
void MakeTree(const std::string& root) {
    mkdir(root.c_str(), 0755);
    time_t old = time(nullptr) - 60 * 86400;
    struct timespec times[2] = {{old, 0}, {old, 0}};
    for (int d = 0; d < 500; d++) {
        std::string folder = root + "/d" + std::to_string(d);
        mkdir(folder.c_str(), 0755);
        for (int f = 0; f < 100; f++) {
            std::string path = folder + "/f" + std::to_string(f) + ".dat";
            int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            if (fd < 0 || write(fd, path.data(), 40 + f) != 40 + f) Fail("tree");
            close(fd);
            if (f % 2) utimensat(AT_FDCWD, path.c_str(), times, 0);
        }
    }
}

const char* Met(bool met) { return met ? "met" : "NOT met"; }

}  // namespace

int main() {
    signal(SIGPIPE, SIG_IGN);
    Twofish_initialise();
    const char* tmp = getenv("TMPDIR");
    std::string tmpl = std::string(tmp && *tmp ? tmp : "/tmp") + "/owlbench-files-XXXXXX";
    if (mkdtemp(&tmpl[0]) == nullptr) Fail("no temporary folder");
    gDir = tmpl;
    gPort = FreePort();
    StartAgent();

    // CRC-32 of 512 MiB in the page cache.
    std::string big = gDir + "/big.bin";
    WriteFile(big, Chunk(false), 512);
    Shell("cat '" + big + "' > /dev/null");
    std::string crc;
    double tOwl, tCksum;
    BestOfPairs(
        5, [&] { crc = Owl("TEST-FileCRC", {big}); }, [&] { Shell("cksum '" + big + "'"); }, &tOwl,
        &tCksum);
    double owlRate = 512 / tOwl, cksumRate = 512 / tCksum;
    printf(
        "TEST-FileCRC 512 MiB: %.0f MB/s (baseline cksum: %.0f MB/s; ratio %.2fx) milestone >= "
        "0.5x: %s, goal >= 1.0x: %s\n",
        owlRate * 1.048576, cksumRate * 1.048576, owlRate / cksumRate,
        Met(owlRate >= 0.5 * cksumRate), Met(owlRate >= cksumRate));
    unlink(big.c_str());

    // The tree of 50,000 files.
    std::string tree = gDir + "/tree";
    MakeTree(tree);
    Shell("du -sb '" + tree + "'");  // warm the caches for both sides
    std::string size, du;
    double tSize, tDu;
    BestOfPairs(
        5,
        [&] {
            size = Owl("TEST-FolderSize", {tree, "1"});
        },
        [&] { du = Shell("du -sb '" + tree + "'"); }, &tSize, &tDu);
    printf(
        "TEST-FolderSize 50,000 files in 500 folders: %.1f ms (baseline du -sb: %.1f ms; ratio "
        "%.2fx) target <= 1.0x: %s [owl %s bytes of files, du %s with folders]\n",
        tSize * 1e3, tDu * 1e3, tSize / tDu, Met(tSize <= tDu), size.c_str(),
        du.substr(0, du.find('\t')).c_str());

    std::string count, found;
    double tCount, tFind;
    BestOfPairs(
        5,
        [&] {
            count = Owl("TEST-CountFiles", {tree, "*", "1", "1", "43200"});
        },
        [&] { found = Shell("find '" + tree + "' -type f -mmin +43200 | wc -l"); }, &tCount,
        &tFind);
    printf(
        "TEST-CountFiles older than 30 days: %.1f ms (baseline find | wc -l: %.1f ms; ratio "
        "%.2fx) target <= 1.0x: %s, goal <= 0.5x: %s [counts %s and %s]\n",
        tCount * 1e3, tFind * 1e3, tCount / tFind, Met(tCount <= tFind), Met(tCount <= 0.5 * tFind),
        count.c_str(), found.c_str());

    // Text search through a 256 MiB log; the text does not occur, so both
    // read it all.
    std::string log = gDir + "/app.log";
    WriteFile(log, Chunk(true), 256);
    Shell("cat '" + log + "' > /dev/null");
    std::string hit, grep;
    const char* needle = "disk failure on sdq";
    double tFind3, tGrep;
    BestOfPairs(
        5,
        [&] {
            hit = Owl("TEST-FileCompare", {"3", log, needle, "1", "0"});
        },
        [&] { grep = Shell("grep -F -c '" + std::string(needle) + "' '" + log + "'"); }, &tFind3,
        &tGrep);
    double findRate = 256 / tFind3, grepRate = 256 / tGrep;
    printf(
        "TEST-FileCompare mode 3 256 MiB log: %.0f MB/s (baseline grep -F -c: %.0f MB/s; ratio "
        "%.2fx) target >= 0.5x: %s [found %s, grep %s]\n",
        findRate * 1.048576, grepRate * 1.048576, findRate / grepRate,
        Met(findRate >= 0.5 * grepRate), hit.c_str(), grep.c_str());

    kill(gAgent, SIGKILL);
    waitpid(gAgent, nullptr, 0);
    int rc = system(("rm -rf '" + gDir + "'").c_str()) != 0;
    return rc;
}
