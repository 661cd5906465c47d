// CountFiles, GetFolderSize, CompareFiles, FindFileInFile, GetFileCRC.
#include "fs/fileutils.h"

#include <gtest/gtest.h>
#include <time.h>

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
        BuildTree(dir_.path(), {{"old.log", 100, -1, old},
                                {"new.log", 10},
                                {"note.txt", 50, -1, old},
                                {".hid.log", 5},
                                {"fifo.log|"},
                                {"lnk.log->old.log"},
                                {"lnkdir->sub"},
                                {"sub/"},
                                {"sub/s.log", 1000},
                                {"sub/deep/"},
                                {"sub/deep/d.log", 1},
                                {".hsub/"},
                                {".hsub/h.log", 7},
                                {"ro/", 0, 0555},
                                {"ro/r.log", 3},
                                {"ro/inner/", 0, 0555},
                                {"ro/inner/x.log", 2, 0644},
                                {"closed/", 0, 0}});
    }
    std::string P(const std::string& name) const { return dir_.File(name); }
    TempDir dir_;
};

// The counts as an unprivileged user sees them: root may write everywhere.
TEST_F(FileTree, CountFilesModesAndRecursion) {
    const struct {
        const char* folder;
        const char* mask;
        int recursive, mode, value, expected;
    } cases[] = {
        {"", "*.log", 0, cfAllFiles, 0, 4},
        {"", "*.log", 1, cfAllFiles, 0, 6},
        {"", "*.log", 1, cfOlderThan, 60, 1},
        {"", "*.log", 1, cfNewerThan, 60, 5},
        {"", "*.log", 1, cfBiggerThan, 20, 2},
        {"", "*.log", 1, cfSmallerThan, 20, 4},
        {"", "*", 0, cfSubFolders, 0, 4},
        {"", "*", 1, cfSubFolders, 0, 5},
        {"", "*.zzz", 0, cfAllFiles, 0, 0},
        {"missing", "*", 0, cfAllFiles, 0, -1},
        {"ro/inner", "*.log", 0, cfAllFiles, 0, 1},
        {"ro/inner", "*.log", 1, cfAllFiles, 0, -1},
        {"ro/inner", "*.zzz", 0, cfAllFiles, 0, -1},
        {"lnkdir", "*", 0, cfAllFiles, 0, 1},
        {"closed", "*", 1, cfAllFiles, 0, -1},
    };
    int status = Unprivileged([&] {
        int failures = 0;
        for (const auto& c : cases) {
            int got = CountFiles(Bytes(P(c.folder)), String(c.mask), c.recursive,
                                 (TCountFilesMode)c.mode, c.value);
            if (got == c.expected) continue;
            fprintf(stderr, "%s %s r%d m%d: %d, expected %d\n", c.folder, c.mask, c.recursive,
                    c.mode, got, c.expected);
            failures++;
        }
        return failures;
    });
    if (status == 77) GTEST_SKIP() << "cannot give up root";
    EXPECT_EQ(status, 0);
    EXPECT_STREQ(CountFilesModeName[cfSubFolders], "SubFolders");
}

TEST_F(FileTree, FolderSizeOfFolderPatternAndFile) {
    const struct {
        std::string path;
        int recursive;
        int64_t expected;
    } cases[] = {
        {P(""), 1, 1178},        {dir_.path(), 0, 165},
        {P("*.log"), 0, 115},    {P("*.log"), 1, 1128},
        {P("note.txt"), 0, 50},  {P("sub"), 0, 1000},
        {P("missing/*"), 1, -1}, {"", 1, -1},
        {P("lnk.log"), 0, 0},    {P(std::string("*.lo\0g", 6)), 1, 0},
    };
    for (const auto& c : cases)
        EXPECT_EQ(GetFolderSize(Bytes(c.path), c.recursive), c.expected) << c.path << c.recursive;
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

TEST(FileContent, CompareAndFindFileInFile) {
    TempDir dir;
    std::string big(600000, 'a');
    dir.Write("a", "hello world");
    dir.Write("ab", "hello world, longer");
    dir.Write("empty", "");
    dir.Write("big", big);
    dir.Write("big2", big.substr(0, 300000) + "b" + big.substr(300001));
    dir.Write("pat", "world");
    mkfifo(dir.File("fifo").c_str(), 0666);
    const struct {
        const char *x, *y;
        int expected;
    } compares[] = {{"a", "a", 1},       {"a", "ab", 1},     {"ab", "a", 1},
                    {"empty", "big", 1}, {"big", "big2", 0}, {"a", "missing", -1},
                    {"fifo", "a", -1},   {"a", "", -1}};
    for (const auto& c : compares) {
        std::string y = *c.y ? dir.File(c.y) : "";
        EXPECT_EQ(CompareFiles(dir.File(c.x).c_str(), y.c_str()), c.expected) << c.x << c.y;
    }
    EXPECT_EQ(CompareFiles(nullptr, "a"), -1);
    EXPECT_EQ(FindFileInFile(dir.File("missing").c_str(), dir.File("empty").c_str()), 1);
    EXPECT_EQ(FindFileInFile(dir.File("ab").c_str(), dir.File("pat").c_str()), 7);
    EXPECT_EQ(FindFileInFile(dir.File("big").c_str(), dir.File("pat").c_str()), 0);
    EXPECT_EQ(FindFileInFile(dir.File("a").c_str(), dir.File("missing").c_str()), -1);
    EXPECT_EQ(FindFileInFile(dir.File("a").c_str(), ""), -1);
}

TEST(FileContent, CrcOfBlockSizesAndRefusals) {
    TempDir dir;
    for (size_t size : {0, 2048, 2048 * 3 + 1, (3 << 20) + 5}) {
        std::string data(size, 0);
        for (size_t i = 0; i < size; i++) data[i] = (char)(i * 7 + i / 251);
        dir.Write("f", data);
        uint32_t crc = 0;
        String error("stale");
        EXPECT_EQ(GetFileCRC(dir.File("f").c_str(), crc, error), 1) << size;
        EXPECT_EQ(crc, TCRC32().GetBlockCRC(data.data(), (int)size)) << size;
        EXPECT_EQ(error.Length(), 0);
    }
    mkfifo(dir.File("fifo").c_str(), 0666);
    const struct {
        std::string path;
        const char* error;
    } refusals[] = {{"", "File is not specified"},
                    {dir.File("fifo"), "Cannot open file"},
                    {"/dev/zero", "Cannot open file"},
                    {dir.path(), "Cannot open file"},
                    {dir.File("missing"), "Cannot open file"}};
    for (const auto& r : refusals) {
        uint32_t crc = 42;
        String error;
        EXPECT_EQ(GetFileCRC(r.path.c_str(), crc, error), 0) << r.path;
        EXPECT_TRUE(error == r.error) << r.path;
        EXPECT_EQ(crc, 42u);
    }
}

}  // namespace
