// GetFileUsingSpecialMacros: the four macros, left to right, and the input
// coming back whenever a macro cannot be resolved.
#include "fs/macros.h"

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "support/agent.h"
#include "support/process.h"

namespace {

class Macros : public ::testing::Test {
  protected:
    // logs/ a.log 1000, b.log 3000, c.log 2000, newest -> a.log (link, 9000)
    // eq/ x and y, both 5000       dirs/ d1/ 100, d2/ 200 holding f1 50, f2 40
    void SetUp() override {
        for (const char* d : {"logs", "eq", "dirs", "dirs/d1", "dirs/d2"})
            mkdir(P(d).c_str(), 0755);
        const std::pair<const char*, long> files[] = {
            {"logs/a.log", 1000}, {"logs/b.log", 3000}, {"logs/c.log", 2000}, {"eq/x", 5000},
            {"eq/y", 5000},       {"dirs/d2/f1", 50},   {"dirs/d2/f2", 40}};
        for (const auto& f : files) {
            dir_.Write(f.first, "data");
            Touch(f.first, f.second);
        }
        symlink("a.log", P("logs/newest").c_str());
        Touch("logs/newest", 9000);
        for (const auto& d :
             {std::make_pair("dirs/d1", 100), std::make_pair("dirs/d2", 200),
              std::make_pair("dirs", 300), std::make_pair("logs", 400), std::make_pair("eq", 500)})
            Touch(d.first, d.second);
    }
    void Touch(const std::string& name, long t) {
        struct timespec times[2] = {{t, 0}, {t, 0}};
        utimensat(AT_FDCWD, P(name).c_str(), times, AT_SYMLINK_NOFOLLOW);
    }
    std::string P(const std::string& name) const { return dir_.File(name); }
    std::string Resolve(const std::string& path) {
        return Str(GetFileUsingSpecialMacros(String(path.c_str())));
    }
    // The entry of folder that the directory lists first among names.
    std::string FirstListed(const std::string& folder, const std::string& a, const std::string& b) {
        DIR* dir = opendir(P(folder).c_str());
        std::string first;
        while (dirent* e = readdir(dir))
            if (first.empty() && (e->d_name == a || e->d_name == b)) first = e->d_name;
        closedir(dir);
        return first;
    }
    TempDir dir_;
};

TEST_F(Macros, ResolveLeftToRight) {
    const std::string r = dir_.path() + "/";
    const std::pair<std::string, std::string> cases[] = {
        {r + "logs/%newestfile%", r + "logs/b.log"},  // the link is newer but never chosen
        {r + "logs/%OldestFile%", r + "logs/a.log"},
        {r + "dirs/%NEWESTFOLDER%/%oldestfile%", r + "dirs/d2/f2"},
        {r + "dirs/%oldestfolder%/app.log", r + "dirs/d1/app.log"},
        {r + "eq/%newestfile%", r + "eq/" + FirstListed("eq", "x", "y")},
        {r + "eq/%oldestfile%", r + "eq/" + FirstListed("eq", "x", "y")},
        {r + "dirs/%newestfile%", r + "dirs/%newestfile%"},          // folders only
        {r + "logs/app-%newestfile%", r + "logs/app-%newestfile%"},  // glued to text
        {r + "dirs/%newestfolder%/%newestfolder%", r + "dirs/%newestfolder%/%newestfolder%"},
        {r + "logs/%newestfile", r + "logs/%newestfile"},
    };
    for (const auto& c : cases) EXPECT_EQ(Resolve(c.first), c.second) << c.first;
}

TEST_F(Macros, LeadingMacroResolvesInWorkingDirectory) {
    char cwd[4096];
    ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
    ASSERT_EQ(chdir(dir_.path().c_str()), 0);
    std::string newest = Resolve("%newestfolder%");
    std::string file = Resolve("%OLDESTFOLDER%/d2/%newestfile%");
    ASSERT_EQ(chdir(cwd), 0);
    EXPECT_EQ(newest, "eq");
    EXPECT_EQ(file, "dirs/d2/f1");
}

}  // namespace
