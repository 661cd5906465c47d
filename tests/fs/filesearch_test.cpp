#include "fs/filesearch.h"

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <utime.h>

#include <filesystem>
#include <functional>
#include <map>
#include <string>

#include "support/agent.h"

namespace {

int OpenDescriptors() {
    int count = 0;
    DIR* dir = opendir("/proc/self/fd");
    if (dir == nullptr) return -1;
    while (readdir(dir) != nullptr) count++;
    closedir(dir);
    return count;
}

// A temporary folder tree under /tmp, removed afterwards:
//   a.txt (5 bytes, mode 0666)   ro.txt (0444)   .hidden   pipe (FIFO)
//   sub/ (0777)   link_file -> a.txt   link_dir -> sub   dangling -> missing
class SearchTree : public ::testing::Test {
  protected:
    void SetUp() override {
        char tmpl[] = "/tmp/owl-fs-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        root_ = tmpl;
        chmod(root_.c_str(), 0755);
        Write("a.txt", "hello", 0666);
        Write("ro.txt", "r", 0444);
        Write(".hidden", "", 0644);
        ASSERT_EQ(mkfifo(Path("pipe").c_str(), 0666), 0);
        ASSERT_EQ(mkdir(Path("sub").c_str(), 0777), 0);
        chmod(Path("sub").c_str(), 0777);
        ASSERT_EQ(symlink("a.txt", Path("link_file").c_str()), 0);
        ASSERT_EQ(symlink("sub", Path("link_dir").c_str()), 0);
        ASSERT_EQ(symlink("missing", Path("dangling").c_str()), 0);
    }
    void TearDown() override {
        std::error_code ec;
        std::filesystem::permissions(root_, std::filesystem::perms::owner_all,
                                     std::filesystem::perm_options::add, ec);
        std::filesystem::remove_all(root_, ec);
    }
    void Write(const std::string& name, const std::string& text, mode_t mode) {
        FILE* f = fopen(Path(name).c_str(), "w");
        ASSERT_NE(f, nullptr);
        fputs(text.c_str(), f);
        fclose(f);
        chmod(Path(name).c_str(), mode);
    }
    std::string Path(const std::string& name) const { return root_ + "/" + name; }

    // Every entry a search reports, with its attribute bits.
    std::map<std::string, int> Search(const std::string& mask, int attr,
                                      const std::string& folder = "") {
        std::map<std::string, int> found;
        TSearchRec rec;
        String dir((folder.empty() ? root_ : folder).c_str());
        if (FindFirst(dir, String(mask.c_str()), attr, rec) == 0) {
            for (int i = 0; i < 1000; i++) {
                found[rec.Name] = rec.Attr;
                if (FindNext(rec) != 0) break;
            }
        }
        FindClose(rec);
        return found;
    }

    std::string root_;
};

// Runs check in a child process that has given up root, so that write
// permission is decided by the mode bits. Returns the child's exit status;
// 77 when the privileges could not be dropped.
int RunUnprivileged(const std::function<int()>& check) {
    pid_t pid = fork();
    if (pid == 0) {
        if (setgid(65534) != 0 || setuid(65534) != 0) _exit(77);
        _exit(check());
    }
    int status = 0;
    if (pid < 0 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
    return WEXITSTATUS(status);
}

// Runs check as this user, or as an unprivileged one when running as root
// (whose writes and reads no permission bit stops); 0 is a pass.
#define ExpectWithoutPrivileges(check)                                                      \
    do {                                                                                    \
        int status_ = geteuid() != 0 ? (check)() : RunUnprivileged(check);                  \
        if (status_ == 77) GTEST_SKIP() << "running as root and unable to drop privileges"; \
        EXPECT_EQ(status_, 0);                                                              \
    } while (0)

TEST_F(SearchTree, Attr63ReportsEverythingButLinks) {
    std::map<std::string, int> found = Search("*", 63);
    EXPECT_EQ(found.count("link_file"), 0u);
    EXPECT_EQ(found.count("link_dir"), 0u);
    EXPECT_EQ(found.count("dangling"), 0u);
    ASSERT_EQ(found.count("."), 1u);
    EXPECT_EQ(found["."], attrDirectory);
    EXPECT_EQ(found[".."], attrDirectory);
    EXPECT_EQ(found["a.txt"], 0);
    EXPECT_EQ(found[".hidden"], attrHidden);
    EXPECT_EQ(found["sub"], attrDirectory);
    EXPECT_EQ(found["pipe"], attrSysFile);
    EXPECT_EQ(found.count("ro.txt"), 1u);
    EXPECT_EQ(found.size(), 7u);
}

TEST_F(SearchTree, Attr47LeavesOutDirectories) {
    std::map<std::string, int> found = Search("*", 47);
    EXPECT_EQ(found.count("."), 0u);
    EXPECT_EQ(found.count("sub"), 0u);
    EXPECT_EQ(found.count("a.txt"), 1u);
    EXPECT_EQ(found.count(".hidden"), 1u);
    EXPECT_EQ(found.count("pipe"), 1u);
    EXPECT_EQ(found.count("link_file"), 0u);
}

TEST_F(SearchTree, Attr16ReportsWritablePlainEntriesOnly) {
    std::map<std::string, int> found = Search("*", 16);
    EXPECT_EQ(found.count("a.txt"), 1u);
    EXPECT_EQ(found.count("sub"), 1u);
    EXPECT_EQ(found.count(".hidden"), 0u);
    EXPECT_EQ(found.count("pipe"), 0u);
    EXPECT_EQ(found.count("link_dir"), 0u);
    // Even a search asking for nothing reports a writable, non-hidden file.
    EXPECT_EQ(Search("a.txt", 0).count("a.txt"), 1u);
}

TEST_F(SearchTree, ReadOnlyBitFollowsWriteAccess) {
    auto check = [this]() {
        std::map<std::string, int> all = Search("*", 63);
        std::map<std::string, int> writable = Search("*", 16);
        if (all.count("ro.txt") != 1 || all["ro.txt"] != attrReadOnly) return 1;
        if (writable.count("ro.txt") != 0) return 2;
        if (writable.count("a.txt") != 1 || all["a.txt"] != 0) return 3;
        // The tree's root is not writable for this user: "." carries bit 1.
        if (all["."] != (attrDirectory | attrReadOnly) || writable.count(".") != 0) return 4;
        return 0;
    };
    ExpectWithoutPrivileges(check);
}

TEST_F(SearchTree, UnreadableFolderGivesItsErrno) {
    ASSERT_EQ(mkdir(Path("closed").c_str(), 0), 0);
    chmod(Path("closed").c_str(), 0);
    std::string closed = Path("closed");
    auto check = [closed]() {
        TSearchRec rec;
        int result = FindFirst(String(closed.c_str()), String("*"), 63, rec);
        return (result == EACCES && rec.DirHandle == nullptr) ? 0 : 1;
    };
    ExpectWithoutPrivileges(check);
}

TEST_F(SearchTree, LinksAreNeverReportedButPredicatesFollowThem) {
    for (int attr : {0, 16, 47, 63, 127, -1}) {
        TSearchRec rec;
        EXPECT_EQ(FindFirst(String(root_.c_str()), String("link*"), attr, rec), -1) << attr;
        EXPECT_EQ(rec.DirHandle, nullptr);
    }
    EXPECT_EQ(FileExists(Path("link_file").c_str()), 1);
    EXPECT_EQ(DirectoryExists(Path("link_dir").c_str()), 1);
    EXPECT_EQ(FileExists(Path("dangling").c_str()), 0);
}

TEST_F(SearchTree, MasksFollowFnmatchWithoutFlags) {
    EXPECT_EQ(Search("?hidden", 63).count(".hidden"), 1u);
    EXPECT_EQ(Search("a.txt", 63).size(), 1u);  // no wildcards: that name only
    EXPECT_EQ(Search("[ab].t?t", 63).count("a.txt"), 1u);
    EXPECT_EQ(Search("a\\.txt", 63).count("a.txt"), 1u);
    // Odd masks break nothing; only the run of stars matches.
    const std::pair<std::string, int> odd[] = {
        {"", -1},          {"[", -1},
        {"\\", -1},        {"[!", -1},
        {"***", 0},        {std::string(5000, '*') + "x", -1},
        {"\xff\xfe*", -1}, {std::string("a\0*", 3), -1}};
    for (const auto& c : odd) {
        TSearchRec rec;
        String m;
        m.AddData(c.first.data(), (int)c.first.size());
        EXPECT_EQ(FindFirst(String(root_.c_str()), m, 63, rec), c.second) << c.first.size();
        FindClose(rec);
    }
    // A mask holding a zero byte names no file, not the text before the zero.
    String withZero;
    withZero.AddData("a.txt\0x", 7);
    TSearchRec rec;
    EXPECT_EQ(FindFirst(String(root_.c_str()), withZero, 63, rec), -1);
}

TEST_F(SearchTree, SearchRecordLifecycle) {
    TSearchRec rec;
    ASSERT_EQ(FindFirst(String(root_.c_str()), String("a.txt"), 63, rec), 0);
    EXPECT_EQ(Str(rec.Folder), root_ + "/");
    EXPECT_EQ(Str(rec.Mask), "a.txt");
    EXPECT_STREQ(rec.Name, "a.txt");
    EXPECT_EQ(rec.Size, 5);
    EXPECT_TRUE(S_ISREG(rec.Mode));
    EXPECT_EQ(rec.Time, (int32_t)FileAge(Path("a.txt").c_str()));
    ASSERT_NE(rec.DirHandle, nullptr);
    EXPECT_NE(fcntl(dirfd(rec.DirHandle), F_GETFD) & FD_CLOEXEC, 0);
    EXPECT_EQ(FindNext(rec), -1);
    EXPECT_EQ(FindNext(rec), -1);
    EXPECT_NE(rec.DirHandle, nullptr);  // stays open until FindClose
    FindClose(rec);
    FindClose(rec);
    EXPECT_EQ(rec.DirHandle, nullptr);
    EXPECT_EQ(FindNext(rec), -1);

    // A trailing "/" is not doubled.
    ASSERT_EQ(FindFirst(String((root_ + "/").c_str()), String("sub"), 63, rec), 0);
    EXPECT_EQ(Str(rec.Folder), root_ + "/");
    FindClose(rec);
}

TEST_F(SearchTree, FailedSearchesLeaveNothingOpen) {
    int before = OpenDescriptors();
    TSearchRec rec;
    EXPECT_EQ(FindFirst(String((root_ + "/missing").c_str()), String("*"), 63, rec), ENOENT);
    EXPECT_EQ(rec.DirHandle, nullptr);
    EXPECT_EQ(FindFirst(String(Path("a.txt").c_str()), String("*"), 63, rec), ENOTDIR);
    EXPECT_EQ(FindFirst(String(root_.c_str()), String("nothing*"), 63, rec), -1);
    std::string tooLong = "/tmp/" + std::string(PATH_MAX + 10, 'x');
    EXPECT_EQ(FindFirst(String(tooLong.c_str()), String("*"), 63, rec), ENAMETOOLONG);
    String withZero;
    withZero.AddData("/tmp\0/x", 7);
    EXPECT_EQ(FindFirst(withZero, String("*"), 63, rec), ENOENT);
    FindClose(rec);
    EXPECT_EQ(OpenDescriptors(), before);
}

TEST_F(SearchTree, EmptyFolderReportsDotEntries) {
    std::map<std::string, int> found = Search("*", 63, Path("sub"));
    EXPECT_EQ(found.size(), 2u);
    EXPECT_EQ(found["."], attrDirectory);
    EXPECT_EQ(found[".."], attrDirectory);
}

TEST_F(SearchTree, LongestNameIsKeptWhole) {
    std::string name(255, 'n');
    Write(name, "", 0644);
    TSearchRec rec;
    ASSERT_EQ(FindFirst(String(root_.c_str()), String("nnn*"), 63, rec), 0);
    EXPECT_EQ(std::string(rec.Name), name);
    FindClose(rec);
}

TEST_F(SearchTree, GetFirstMatchedFileClosesItsStream) {
    int before = OpenDescriptors();
    EXPECT_EQ(Str(GetFirstMatchedFile(String(Path("a.t?t").c_str()))), Path("a.txt"));
    EXPECT_EQ(Str(GetFirstMatchedFile(String(Path("p*").c_str()))), Path("pipe"));
    EXPECT_EQ(Str(GetFirstMatchedFile(String(Path("su*").c_str()))), "");      // directory
    EXPECT_EQ(Str(GetFirstMatchedFile(String(Path("link_f*").c_str()))), "");  // link
    EXPECT_EQ(Str(GetFirstMatchedFile(String(Path("none*").c_str()))), "");
    EXPECT_EQ(Str(GetFirstMatchedFile(String((root_ + "/").c_str()))), "");  // empty mask
    EXPECT_EQ(Str(GetFirstMatchedFile(String((root_ + "/missing/*").c_str()))), "");
    for (int i = 0; i < 50; i++) GetFirstMatchedFile(String(Path("*.txt").c_str()));
    EXPECT_EQ(OpenDescriptors(), before);
}

// Searches with an empty folder read the working directory.
class WorkingDirectory : public SearchTree {
  protected:
    void SetUp() override {
        SearchTree::SetUp();
        ASSERT_NE(getcwd(saved_, sizeof(saved_)), nullptr);
    }
    void TearDown() override {
        ASSERT_EQ(chdir(saved_), 0);
        SearchTree::TearDown();
    }
    char saved_[PATH_MAX];
};

TEST_F(WorkingDirectory, EmptyFolderMeansWorkingDirectory) {
    ASSERT_EQ(chdir(root_.c_str()), 0);
    std::string real = std::filesystem::canonical(root_).string();
    EXPECT_EQ(Str(GetCurrentDir()), real);
    TSearchRec rec;
    ASSERT_EQ(FindFirst(String(), String("a.txt"), 63, rec), 0);
    EXPECT_EQ(Str(rec.Folder), real + "/");
    FindClose(rec);
    EXPECT_EQ(Str(GetFirstMatchedFile(String("a.t*"))), "a.txt");
}

TEST_F(WorkingDirectory, RemovedWorkingDirectoryIsNotTheRoot) {
    ASSERT_EQ(chdir(Path("sub").c_str()), 0);
    ASSERT_EQ(rmdir(Path("sub").c_str()), 0);
    EXPECT_EQ(Str(GetCurrentDir()), "");
    TSearchRec rec;
    // The removed folder is empty; the search must not fall back to "/".
    EXPECT_EQ(FindFirst(String(), String("*"), 63, rec), -1);
    EXPECT_EQ(rec.DirHandle, nullptr);
}

TEST_F(SearchTree, FilePredicates) {
    std::string file = Path("a.txt"), dir = Path("sub"), missing = Path("missing");
    EXPECT_EQ(FileExists(file.c_str()), 1);
    EXPECT_EQ(FileExists(dir.c_str()), 0);
    EXPECT_EQ(FileExists(missing.c_str()), 0);
    EXPECT_EQ(FileExists(nullptr), 0);
    EXPECT_EQ(DirectoryExists(dir.c_str()), 1);
    EXPECT_EQ(DirectoryExists(file.c_str()), 0);
    EXPECT_EQ(DirectoryExists(nullptr), 0);
    EXPECT_EQ(FileSize(file.c_str()), 5);
    EXPECT_EQ(FileSize(missing.c_str()), -1);
    EXPECT_EQ(FileSize(nullptr), -1);
    utimbuf times = {1000000000, 1234567890};
    ASSERT_EQ(utime(file.c_str(), &times), 0);
    EXPECT_EQ(FileAge(file.c_str()), 1234567890);
    EXPECT_EQ(FileAge(missing.c_str()), -1);
    EXPECT_EQ(DeleteFile(file.c_str()), 1);
    EXPECT_EQ(FileExists(file.c_str()), 0);
    EXPECT_EQ(DeleteFile(file.c_str()), 0);
    EXPECT_EQ(DeleteFile(nullptr), 0);
}

}  // namespace
