// File test speed over the wire, each beside a standard tool measured in the
// same run on the same data:
//   TEST-FileCRC of a 512 MiB file in the page cache vs cksum (MB/s);
//   TEST-FolderSize of 50,000 small files in 500 folders vs du -sb (time);
//   TEST-CountFiles mode 1 (older than 30 days) on that tree vs
//     find -type f -mmin +43200 | wc -l (time);
//   TEST-FileCompare mode 3 on a 256 MiB log vs grep -F -c (MB/s).
// The data lives in a temporary folder that is removed at the end.
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <vector>

#include "bench_support.h"
#include "crypto/twofish.h"
#include "protocol/client.h"

namespace {

std::string gDir;
int gPort = 0;
pid_t gAgent = -1;

// Stops the agent and removes the data.
void CleanUp() {
    if (gAgent > 0) kill(gAgent, SIGKILL);
    if (!gDir.empty()) bench::RemoveTree(gDir);
}

[[noreturn]] void Fail(const std::string& what) {
    fprintf(stderr, "bench_files: %s\n", what.c_str());
    CleanUp();
    exit(1);
}

// Runs a shell command; returns its standard output.
std::string Shell(const std::string& command) {
    std::string out;
    if (!bench::Shell(command, &out)) Fail("cannot run " + command);
    return out;
}

// Times owl and base in turn (the best of five each) as they read mib MiB
// and prints "<what>: N MB/s (baseline <baseName>: N MB/s; ratio R.RRx)"
// without an end of line; returns the ratio.
double ReportRates(const char* what, double mib, const std::function<void()>& owl,
                   const char* baseName, const std::function<void()>& base) {
    double tOwl, tBase;
    bench::BestOfPairs(5, owl, base, &tOwl, &tBase);
    double owlRate = mib / tOwl, baseRate = mib / tBase;
    printf("%s: %.0f MB/s (baseline %s: %.0f MB/s; ratio %.2fx)", what, owlRate * 1.048576,
           baseName, baseRate * 1.048576, owlRate / baseRate);
    return owlRate / baseRate;
}

// One request to the agent; returns the reply text after the status line
// "200", and fails the run on any other status.
std::string Owl(const char* command, const std::vector<std::string>& params) {
    std::vector<String> p;
    for (const std::string& s : params) p.push_back(String(s.c_str()));
    std::string body = bench::Ask(gPort, "bench", command, p, 600000, CleanUp).substr(4);
    while (!body.empty() && (body.back() == '\r' || body.back() == '\n')) body.pop_back();
    return body;
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

}  // namespace

int main() {
    signal(SIGPIPE, SIG_IGN);
    Twofish_initialise();
    gDir = bench::MakeTempDir("owlbench-files");
    if (gDir.empty()) Fail("no temporary folder");
    gPort = bench::FreeLoopbackPort();
    if (gPort < 0) Fail("no free port");
    // The agent in the foreground, logging failures only.
    bench::AgentOptions options;
    options.daemon = false;
    gAgent = bench::StartAgent(gDir, gPort, options);
    if (gAgent < 0) Fail("the agent did not start");

    // CRC-32 of 512 MiB in the page cache.
    std::string big = gDir + "/big.bin";
    WriteFile(big, Chunk(false), 512);
    Shell("cat '" + big + "' > /dev/null");
    std::string crc;
    double crcRatio = ReportRates(
        "TEST-FileCRC 512 MiB", 512, [&] { crc = Owl("TEST-FileCRC", {big}); }, "cksum",
        [&] { Shell("cksum '" + big + "'"); });
    printf(" milestone >= 0.5x: %s, goal >= 1.0x: %s\n", bench::Verdict(crcRatio >= 0.5),
           bench::Verdict(crcRatio >= 1));
    unlink(big.c_str());

    // The tree of 50,000 files.
    std::string tree = gDir + "/tree";
    MakeTree(tree);
    Shell("du -sb '" + tree + "'");  // warm the caches for both sides
    std::string size, du;
    double tSize, tDu;
    bench::BestOfPairs(
        5,
        [&] {
            size = Owl("TEST-FolderSize", {tree, "1"});
        },
        [&] { du = Shell("du -sb '" + tree + "'"); }, &tSize, &tDu);
    printf(
        "TEST-FolderSize 50,000 files in 500 folders: %.1f ms (baseline du -sb: %.1f ms; ratio "
        "%.2fx) target <= 1.0x: %s [owl %s bytes of files, du %s with folders]\n",
        tSize * 1e3, tDu * 1e3, tSize / tDu, bench::Verdict(tSize <= tDu), size.c_str(),
        du.substr(0, du.find('\t')).c_str());

    std::string count, found;
    double tCount, tFind;
    bench::BestOfPairs(
        5,
        [&] {
            count = Owl("TEST-CountFiles", {tree, "*", "1", "1", "43200"});
        },
        [&] { found = Shell("find '" + tree + "' -type f -mmin +43200 | wc -l"); }, &tCount,
        &tFind);
    printf(
        "TEST-CountFiles older than 30 days: %.1f ms (baseline find | wc -l: %.1f ms; ratio "
        "%.2fx) target <= 1.0x: %s, goal <= 0.5x: %s [counts %s and %s]\n",
        tCount * 1e3, tFind * 1e3, tCount / tFind, bench::Verdict(tCount <= tFind),
        bench::Verdict(tCount <= 0.5 * tFind), count.c_str(), found.c_str());

    // Text search through a 256 MiB log; the text does not occur, so both
    // read it all.
    std::string log = gDir + "/app.log";
    WriteFile(log, Chunk(true), 256);
    Shell("cat '" + log + "' > /dev/null");
    std::string hit, grep;
    const char* needle = "disk failure on sdq";
    double findRatio = ReportRates(
        "TEST-FileCompare mode 3 256 MiB log", 256,
        [&] {
            hit = Owl("TEST-FileCompare", {"3", log, needle, "1", "0"});
        },
        "grep -F -c",
        [&] { grep = Shell("grep -F -c '" + std::string(needle) + "' '" + log + "'"); });
    printf(" target >= 0.5x: %s [found %s, grep %s]\n", bench::Verdict(findRatio >= 0.5),
           hit.c_str(), grep.c_str());

    kill(gAgent, SIGKILL);
    waitpid(gAgent, nullptr, 0);
    int rc = bench::RemoveTree(gDir) ? 0 : 1;
    return rc;
}
