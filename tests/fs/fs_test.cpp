// The file-system layer: the folder search and the file-name macros; then
// CountFiles, GetFolderSize and GetFileCRC.
// Test trees are built from tables, and checks that depend on the mode bits
// run without root's privileges.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <limits.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <fstream>
#include <functional>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "crypto/ciplib.h"
#include "fs/filesearch.h"
#include "fs/fileutils.h"
#include "fs/macros.h"
#include "support/agent.h"

namespace {

// One entry of a test tree: a folder when the name ends in "/", a FIFO when
// it ends in "|", a symbolic link when it reads "name->target", else a file
// of size bytes. mtime 0 keeps the time of creation; mode -1 gives 0777
// (folders) or 0666 (files and FIFOs). A folder that exists already only
// gets its mode and time.
struct TreeEntry {
    std::string name;
    long mtime = 0;
    long size = 0;
    int mode = -1;
};

// Creates the entries under root in order, then sets modes and times from
// the last entry to the first, so that a folder listed before its content
// gets its own mode and time after the content was made.
void BuildTree(const std::string& root, const std::vector<TreeEntry>& entries) {
    std::vector<std::string> paths;
    for (const TreeEntry& e : entries) {
        size_t arrow = e.name.find("->");
        std::string path = root + "/" + e.name.substr(0, arrow);
        if (arrow != std::string::npos) {
            symlink(e.name.substr(arrow + 2).c_str(), path.c_str());
        } else if (path.back() == '/') {
            mkdir(path.c_str(), 0700);
        } else if (path.back() == '|') {
            path.pop_back();
            mkfifo(path.c_str(), 0600);
        } else {
            std::ofstream(path, std::ios::binary) << std::string(e.size, 'x');
        }
        paths.push_back(path);
    }
    for (size_t i = entries.size(); i-- > 0;) {
        const TreeEntry& e = entries[i];
        int mode = e.mode >= 0 ? e.mode : e.name.back() == '/' ? 0777 : 0666;
        if (e.name.find("->") == std::string::npos) chmod(paths[i].c_str(), mode);
        struct timespec times[2] = {{e.mtime, 0}, {e.mtime, 0}};
        if (e.mtime != 0) utimensat(AT_FDCWD, paths[i].c_str(), times, AT_SYMLINK_NOFOLLOW);
    }
}

// Runs check in a child process (0: passed), which first gives up root so
// that the mode bits decide every access. Returns the child's exit status,
// 77 when root could not be given up.
int Unprivileged(const std::function<int()>& check) {
    pid_t pid = fork();
    if (pid == 0) {
        if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) _exit(77);
        _exit(check());
    }
    int status = 0;
    if (pid < 0 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
    return WEXITSTATUS(status);
}

struct SearchCase {
    std::string folder;  // below the tree's root
    std::string mask;
    int attr;
    std::string expected;
};

// A tree: a.txt (5 bytes), .hidden, pipe (FIFO), sub/ (empty) and the links
// link_file -> a.txt, link_dir -> sub, dangling -> missing.
class SearchTree : public ::testing::Test {
  protected:
    void SetUp() override {
        chmod(dir_.path().c_str(), 0755);
        BuildTree(dir_.path(), {{"a.txt", 0, 5}, {".hidden"}, {"pipe|"}, {"sub/"}});
        BuildTree(dir_.path(), {{"link_file->a.txt"}, {"link_dir->sub"}, {"dangling->missing"}});
    }
    std::string P(const std::string& name) const { return dir_.File(name); }

    // What a search reports: "name attr" per entry, sorted and joined by
    // ", "; or the result of FindFirst when it fails, and " open" when it
    // failed and left the stream open.
    std::string List(const std::string& folder, const std::string& mask, int attr) const {
        TSearchRec rec;
        std::string path = folder.empty() ? dir_.path() : P(folder);
        int result = FindFirst(Bytes(path), Bytes(mask), attr, rec);
        if (result != 0) return std::to_string(result) + (rec.DirHandle ? " open" : "");
        std::set<std::string> found;
        do found.insert(rec.Name + (" " + std::to_string(rec.Attr)));
        while (FindNext(rec) == 0 && found.size() < 100);
        FindClose(rec);
        std::string list;
        for (const std::string& entry : found) list += (list.empty() ? "" : ", ") + entry;
        return list;
    }

    // The cases whose listing differs from the expected one, each reported.
    int Failures(const std::vector<SearchCase>& cases) const {
        int failures = 0;
        for (const SearchCase& c : cases) {
            std::string got = List(c.folder, c.mask, c.attr);
            if (got == c.expected) continue;
            fprintf(stderr, "%.40s / %.40s / %d: \"%s\", expected \"%s\"\n", c.folder.c_str(),
                    c.mask.c_str(), c.attr, got.c_str(), c.expected.c_str());
            failures++;
        }
        return failures;
    }
    TempDir dir_;
};

// Links are never reported; bits beyond 63 are ignored; odd masks and
// paths break nothing; a zero byte names no file, not the text before it.
TEST_F(SearchTree, AttributesMasksAndFailures) {
    const std::string all = ". 16, .. 16, .hidden 2, a.txt 0, pipe 4, sub 16";
    const std::vector<SearchCase> cases = {
        {"", "*", -1, all},
        {"", "*", 47, ".hidden 2, a.txt 0, pipe 4"},
        {"", "*", 16, ". 16, .. 16, a.txt 0, sub 16"},
        {"", "*", 0, "a.txt 0"},
        {"", "link*", 63, "-1"},
        {"", "[ab].t?t", 63, "a.txt 0"},
        {"", "", 63, "-1"},
        {"", "[", 63, "-1"},
        {"", std::string("a.txt\0x", 7), 63, "-1"},
        {"sub", "*", 63, ". 16, .. 16"},
        {"missing", "*", 63, "2"},
        {std::string("\0x", 2), "*", 63, "2"},
    };
    int before = OpenDescriptors(getpid());
    EXPECT_EQ(Failures(cases), 0);
    EXPECT_EQ(OpenDescriptors(getpid()), before);
}

// Write access as the mode bits decide it: read-only entries carry bit 1
// and are left out when it is not asked for.
TEST_F(SearchTree, ReadOnlyAndUnreadable) {
    BuildTree(dir_.path(), {{"ro.txt", 0, 1, 0444}, {"closed/", 0, 0, 0}});
    chmod(dir_.path().c_str(), 0555);
    int status = Unprivileged([this] {
        return Failures(
            {{"", "*", 63, ". 17, .. 16, .hidden 2, a.txt 0, closed 17, pipe 4, ro.txt 1, sub 16"},
             {"", "*", 16, ".. 16, a.txt 0, sub 16"},
             {"closed", "*", 63, "13"}});
    });
    if (status == 77) GTEST_SKIP() << "cannot give up root";
    EXPECT_EQ(status, 0);
}

// logs/ a.log, b.log, c.log and the link newest -> a.log (newest of all);
// eq/ x and y of one time; dirs/ d1/, d2/ holding f1 and the older f2.
TEST(Macros, ResolveLeftToRightOrKeepThePath) {
    TempDir dir;
    const std::string& d = dir.path();
    BuildTree(d, {{"logs/"}, {"logs/a.log", 1000}, {"logs/b.log", 3000}, {"logs/c.log", 2000}});
    BuildTree(d, {{"logs/newest->a.log", 9000}, {"eq/"}, {"eq/x", 5000}, {"eq/y", 5000}});
    BuildTree(d, {{"dirs/"}, {"dirs/d1/", 100}, {"dirs/d2/"}, {"dirs/d2/f1", 50}});
    BuildTree(d, {{"dirs/d2/f2", 40}});
    // The folders get their own times once their content is made.
    BuildTree(d, {{"dirs/d2/", 200}, {"dirs/", 300}, {"logs/", 400}, {"eq/", 500}});
    // The entry that eq/ lists first wins the tie.
    TSearchRec rec;
    FindFirst(Bytes(dir.File("eq")), String("?"), 47, rec);
    FindClose(rec);
    const std::string r = d + "/", eqFirst = r + "eq/" + rec.Name;
    const std::pair<std::string, std::string> cases[] = {
        {r + "logs/%newestfile%", r + "logs/b.log"},  // the link is newer but never chosen
        {r + "logs/%OldestFile%", r + "logs/a.log"},
        {r + "dirs/%NEWESTFOLDER%/%oldestfile%", r + "dirs/d2/f2"},
        {r + "dirs/%oldestfolder%/app.log", r + "dirs/d1/app.log"},
        {r + "eq/%newestfile%", eqFirst},
        {r + "eq/%oldestfile%", eqFirst},
        {r + "dirs/%newestfile%", r + "dirs/%newestfile%"},          // folders only
        {r + "logs/app-%newestfile%", r + "logs/app-%newestfile%"},  // glued to text
    };
    for (const auto& c : cases)
        EXPECT_EQ(Str(GetFileUsingSpecialMacros(Bytes(c.first))), c.second) << c.first;
}

// A tree, all readable by everyone (sizes in bytes, "old" = two days old):
//   old.log 100 old, new.log 10, note.txt 50 old, .hid.log 5, fifo.log FIFO,
//   lnk.log -> old.log, lnkdir -> sub, sub/ s.log 1000, sub/deep/ d.log 1,
//   .hsub/ h.log 7, ro/ (0555) r.log 3, ro/inner/ (0555) x.log 2 (0644),
//   closed/ (0000).
class FileTree : public ::testing::Test {
  protected:
    void SetUp() override {
        chmod(dir_.path().c_str(), 0777);
        long old = time(nullptr) - 2 * 86400;
        const std::string& r = dir_.path();
        BuildTree(r, {{"old.log", old, 100}, {"new.log", 0, 10}, {"note.txt", old, 50}});
        BuildTree(r, {{".hid.log", 0, 5}, {"fifo.log|"}, {"lnk.log->old.log"}, {"lnkdir->sub"}});
        BuildTree(r, {{"sub/"}, {"sub/s.log", 0, 1000}, {"sub/deep/"}, {"sub/deep/d.log", 0, 1}});
        BuildTree(r, {{".hsub/"}, {".hsub/h.log", 0, 7}, {"closed/", 0, 0, 0}});
        BuildTree(r, {{"ro/"}, {"ro/r.log", 0, 3}, {"ro/inner/"}, {"ro/inner/x.log", 0, 2, 0644}});
        BuildTree(r, {{"ro/", 0, 0, 0555}, {"ro/inner/", 0, 0, 0555}});
    }
    std::string P(const std::string& name) const { return dir_.File(name); }
    TempDir dir_;
};

// The counts as an unprivileged user sees them: root may write everywhere.
TEST_F(FileTree, CountFilesModesAndRecursion) {
    const std::tuple<const char*, const char*, int, TCountFilesMode, int, int> cases[] = {
        {"", "*.log", 0, cfAllFiles, 0, 4},
        {"", "*.log", 1, cfAllFiles, 0, 6},
        {"", "*.log", 1, cfOlderThan, 60, 1},
        {"", "*.log", 1, cfNewerThan, 60, 5},
        {"", "*.log", 1, cfBiggerThan, 20, 2},
        {"", "*.log", 1, cfSmallerThan, 20, 4},
        {"", "*", 1, cfSubFolders, 0, 5},
        {"", "*.zzz", 0, cfAllFiles, 0, 0},
        {"ro/inner", "*.log", 0, cfAllFiles, 0, 1},
        {"ro/inner", "*.log", 1, cfAllFiles, 0, -1},
        {"ro/inner", "*.zzz", 0, cfAllFiles, 0, -1},
        {"lnkdir", "*", 0, cfAllFiles, 0, 1},
        {"closed", "*", 1, cfAllFiles, 0, -1},
    };
    int status = Unprivileged([&] {
        int failures = 0;
        for (const auto& [folder, mask, recursive, mode, value, expected] : cases) {
            int got = CountFiles(Bytes(P(folder)), String(mask), recursive, mode, value);
            if (got == expected) continue;
            fprintf(stderr, "%s %s r%d m%d: %d, expected %d\n", folder, mask, recursive, mode, got,
                    expected);
            failures++;
        }
        return failures;
    });
    if (status == 77) GTEST_SKIP() << "cannot give up root";
    EXPECT_EQ(status, 0);
}

// A chain of 5,000 folders, each holding a 3-byte file "f": far deeper than
// PATH_MAX allows as one path. On tmpfs where there is one, since a disk
// file system may take seconds to remove such a chain.
TEST(FileWalk, DeepChainCountsEverythingAndLeaksNothing) {
    std::string root;
    for (std::string base : {"/dev/shm", "/tmp"}) {
        root = base + "/owltest-deep-XXXXXX";
        if (mkdtemp(&root[0]) != nullptr) break;
    }
    int fd = open(root.c_str(), O_RDONLY | O_DIRECTORY);
    for (int i = 0; i < 5000 && fd >= 0; i++) {
        mkdirat(fd, "d", 0755);
        int f = openat(fd, "d/f", O_WRONLY | O_CREAT, 0644);
        EXPECT_EQ(write(f, "abc", 3), 3);
        close(f);
        int next = openat(fd, "d", O_RDONLY | O_DIRECTORY);
        close(fd);
        fd = next;
    }
    EXPECT_GE(fd, 0);
    close(fd);
    int before = OpenDescriptors(getpid());
    EXPECT_EQ(CountFiles(String(root.c_str()), String("f"), 1, cfAllFiles, 0), 5000);
    EXPECT_EQ(CountFiles(String(root.c_str()), String("*"), 1, cfSubFolders, 0), 5000);
    EXPECT_EQ(GetFolderSize(String(root.c_str()), 1), 15000);
    // The deepest folder by paths of 15,000 bytes with doubled slashes, cut
    // into pieces at different places.
    for (int shift = 1; shift <= 3; shift++) {
        std::string deepest = root + std::string(shift, '/') + "d";
        for (int i = 1; i < 5000; i++) deepest += "//d";
        EXPECT_EQ(GetFolderSize(String((deepest + "/").c_str()), 0), 3) << shift;
    }
    EXPECT_EQ(OpenDescriptors(getpid()), before);
    RunProgram("/bin/rm", {"-rf", root}, 60000);
}

// GetFileCRC over sizes around its read block (the agent's FileCRC table
// has the refusals; its FileCompare table the comparisons).
TEST(FileContent, CrcAcrossReadBlocks) {
    TempDir dir;
    for (size_t size : {0, 2048, 2048 * 3 + 1, (3 << 20) + 5}) {
        std::string data(size, 0);
        for (size_t i = 0; i < size; i++) data[i] = (char)(i * 7 + i / 251);
        dir.Write("f", data);
        uint32_t crc = 0;
        String error;
        EXPECT_EQ(GetFileCRC(dir.File("f").c_str(), crc, error), 1) << size;
        EXPECT_EQ(crc, TCRC32().GetBlockCRC(data.data(), (int)size)) << size;
    }
}

}  // namespace
