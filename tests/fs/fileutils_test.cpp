// CountFiles, GetFolderSize, CompareFiles, FindFileInFile, GetFileCRC.
#include "fs/fileutils.h"

#include <gtest/gtest.h>
#include <time.h>

#include <tuple>

#include "crypto/ciplib.h"
#include "fs/tree.h"
#include "support/agent.h"

namespace {

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

TEST_F(FileTree, FolderSizeOfFolderPatternAndFile) {
    const std::tuple<std::string, int, int64_t> cases[] = {
        {P(""), 1, 1178},      {dir_.path(), 0, 165},
        {P("*.log"), 1, 1128}, {P("note.txt"), 0, 50},
        {P("sub"), 0, 1000},   {"", 1, -1},
        {P("lnk.log"), 0, 0},  {P(std::string("*.lo\0g", 6)), 1, 0},
    };
    for (const auto& [path, recursive, expected] : cases)
        EXPECT_EQ(GetFolderSize(Bytes(path), recursive), expected) << path << recursive;
    int64_t size = 0;
    long changed, modified;
    EXPECT_EQ(GetFileInfo(P("lnk.log").c_str(), size, changed, modified), 1);
    EXPECT_EQ(size, 7);  // the link itself
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

// CompareFiles and FindFileInFile over pairs of files, GetFileCRC over
// sizes around its read block and over a missing file (the agent's FileCRC
// table has the other refusals).
TEST(FileContent, CompareFindAndCrc) {
    TempDir dir;
    std::string big(600000, 'a');
    dir.Write("a", "hello world");
    dir.Write("ab", "hello world, longer");
    dir.Write("empty", "");
    dir.Write("big", big);
    dir.Write("big2", big.substr(0, 300000) + "b" + big.substr(300001));
    dir.Write("pat", "world");
    mkfifo(dir.File("fifo").c_str(), 0666);
    const std::tuple<const char*, const char*, int, int64_t> pairs[] = {
        {"a", "a", 1, 1},       {"a", "ab", 1, 0},     {"ab", "a", 1, 1},
        {"empty", "big", 1, 0}, {"big", "big2", 0, 0}, {"a", "missing", -1, -1},
        {"fifo", "a", -1, -1},  {"a", "", -1, -1},     {"missing", "empty", -1, 1},
        {"ab", "pat", 0, 7},    {"big", "pat", 0, 0}};
    for (const auto& [x, y, compare, find] : pairs) {
        std::string second = *y ? dir.File(y) : "";
        EXPECT_EQ(CompareFiles(dir.File(x).c_str(), second.c_str()), compare) << x << y;
        EXPECT_EQ(FindFileInFile(dir.File(x).c_str(), second.c_str()), find) << x << y;
    }
    EXPECT_EQ(CompareFiles(nullptr, "a"), -1);
    for (size_t size : {0, 2048, 2048 * 3 + 1, (3 << 20) + 5}) {
        std::string data(size, 0);
        for (size_t i = 0; i < size; i++) data[i] = (char)(i * 7 + i / 251);
        dir.Write("f", data);
        uint32_t crc = 0;
        String error;
        EXPECT_EQ(GetFileCRC(dir.File("f").c_str(), crc, error), 1) << size;
        EXPECT_EQ(crc, TCRC32().GetBlockCRC(data.data(), (int)size)) << size;
    }
    uint32_t crc = 42;
    String error;
    EXPECT_EQ(GetFileCRC(dir.File("missing").c_str(), crc, error), 0);
    EXPECT_EQ(Str(error), "Cannot open file");
    EXPECT_EQ(crc, 42u);
}

}  // namespace
