// The folder search, GetFirstMatchedFile, the file predicates, the path and
// time helpers, and the file-name macros.
#include "fs/filesearch.h"

#include <gtest/gtest.h>
#include <limits.h>

#include <set>
#include <tuple>
#include <vector>

#include "fs/macros.h"
#include "fs/tree.h"
#include "support/agent.h"

namespace {

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

TEST_F(SearchTree, SearchRecordLifecycle) {
    TSearchRec rec;
    ASSERT_EQ(FindFirst(String(dir_.path().c_str()), String("a.txt"), 63, rec), 0);
    EXPECT_EQ(rec.Time, (int32_t)FileAge(P("a.txt").c_str()));
    ASSERT_NE(rec.DirHandle, nullptr);
    EXPECT_NE(fcntl(dirfd(rec.DirHandle), F_GETFD) & FD_CLOEXEC, 0);
    EXPECT_EQ(FindNext(rec), -1);
    EXPECT_NE(rec.DirHandle, nullptr);  // stays open until FindClose
    FindClose(rec);
    FindClose(rec);
    EXPECT_EQ(FindNext(rec), -1);
    // A trailing "/" is not doubled; the longest name is kept whole.
    std::string name(255, 'n');
    BuildTree(dir_.path(), {{name}});
    ASSERT_EQ(FindFirst(String(P("").c_str()), String("nnn*"), 63, rec), 0);
    EXPECT_EQ(Str(rec.Folder), dir_.path() + "/");
    EXPECT_EQ(rec.Name, name);
    FindClose(rec);
}

TEST_F(SearchTree, GetFirstMatchedFileFindsPlainEntriesOnly) {
    const std::pair<std::string, std::string> cases[] = {
        {P("a.t?t"), P("a.txt")}, {P("p*"), P("pipe")}, {P("su*"), ""},
        {P("link_f*"), ""},       {P(""), ""},          {P("missing/*"), ""},
    };
    for (const auto& c : cases) EXPECT_EQ(Str(GetFirstMatchedFile(Bytes(c.first))), c.second);
}

// Searches and leading macros with an empty folder read the working
// directory; a removed one is empty, never the root.
TEST_F(SearchTree, EmptyFolderMeansWorkingDirectory) {
    char saved[PATH_MAX];
    ASSERT_NE(getcwd(saved, sizeof(saved)), nullptr);
    ASSERT_EQ(chdir(dir_.path().c_str()), 0);
    TSearchRec rec;
    EXPECT_EQ(FindFirst(String(), String("a.txt"), 63, rec), 0);
    EXPECT_EQ(Str(rec.Folder), dir_.path() + "/");
    FindClose(rec);
    EXPECT_EQ(Str(GetFirstMatchedFile(String("a.t*"))), "a.txt");
    EXPECT_EQ(Str(GetFileUsingSpecialMacros(String("%NewestFolder%/x"))), "sub/x");
    EXPECT_EQ(chdir("sub"), 0);
    EXPECT_EQ(rmdir(P("sub").c_str()), 0);
    EXPECT_EQ(FindFirst(String(), String("*"), 63, rec), -1);
    EXPECT_EQ(rec.DirHandle, nullptr);
    ASSERT_EQ(chdir(saved), 0);
}

TEST_F(SearchTree, FilePredicatesFollowLinks) {
    const std::tuple<const char*, int, int, int64_t> cases[] = {
        {"a.txt", 1, 0, 5}, {"link_file", 1, 0, 5}, {"sub", 0, 1, 0},     {"link_dir", 0, 1, 0},
        {"pipe", 0, 0, 0},  {"dangling", 0, 0, -1}, {"missing", 0, 0, -1}};
    for (const auto& [name, file, dir, size] : cases) {
        EXPECT_EQ(FileExists(P(name).c_str()), file) << name;
        EXPECT_EQ(DirectoryExists(P(name).c_str()), dir) << name;
        if (!dir) {
            EXPECT_EQ(FileSize(P(name).c_str()), size) << name;
        }
    }
    EXPECT_EQ(FileExists(nullptr) + DirectoryExists(nullptr) + DeleteFile(nullptr), 0);
    EXPECT_EQ(FileSize(nullptr), -1);
    EXPECT_EQ(FileAge(P("missing").c_str()), -1);
    EXPECT_EQ(sec2min(-61), -1);  // minutes truncate toward zero
    EXPECT_EQ(DeleteFile(P("a.txt").c_str()), 1);
    EXPECT_EQ(FileExists(P("a.txt").c_str()), 0);
    EXPECT_EQ(DeleteFile(P("a.txt").c_str()), 0);
}

TEST(PathHelpers, SplitAndJoin) {
    const std::string longName(5000, 'x');
    using S = std::string;
    const std::tuple<S, S, S, S, S> cases[] = {
        {"", "/", "", "", ""},
        {"/", "/", "", "/", ""},
        {"name", "name/", "name", "", "name"},
        {"/a/b", "/a/b/", "/a/b", "/a/", "b"},
        {"/a/b/", "/a/b/", "/a/b", "/a/b/", ""},
        {"/d/" + longName, "/d/" + longName + "/", "/d/" + longName, "/d/",
         longName.substr(0, 4095)},
    };
    for (const auto& [in, include, exclude, path, name] : cases) {
        EXPECT_EQ(Str(IncludeTrailingPathDelimiter(Bytes(in))), include) << in;
        EXPECT_EQ(Str(ExcludeTrailingPathDelimiter(Bytes(in))), exclude) << in;
        EXPECT_EQ(Str(ExtractFilePath(Bytes(in))), path) << in;
        EXPECT_EQ(Str(ExtractFileName(Bytes(in))), name) << in;
    }
}

TEST(PathHelpers, DelimiterPositions) {
    String s("/a/b.c");
    std::string bits;
    for (int i = 0; i <= 7; i++) bits += std::to_string(IsPathDelimiter(s, i));
    EXPECT_EQ(bits, "01010000");
    EXPECT_EQ(LastDelimiter("/.", s), 5);
    EXPECT_EQ(LastDelimiter("x", s), 0);
    EXPECT_EQ(LastDelimiter(nullptr, s), 0);
    EXPECT_EQ(LastDelimiter("/", Bytes(std::string("/a\0b", 4))), 1);  // a zero byte is none
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

}  // namespace
