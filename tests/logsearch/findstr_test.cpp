// FindStrInFile: block boundaries, case, whole words and refusals.
#include "logsearch/findstr.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>

#include "support/process.h"

namespace {

const size_t kMiB = 1 << 20;

int64_t Find(const std::string& path, const std::string& needle, int cs, int ww) {
    String n;
    n.AddData(needle.data(), (int)needle.size());
    return FindStrInFile(path.c_str(), n, cs, ww);
}

TEST(FindStr, NeedlesAcrossBlockBoundaries) {
    TempDir dir;
    std::string text(3 * kMiB, '.');
    text.replace(kMiB - 3, 8, "BoundaRY");    // straddles the first block's end
    text.replace(2 * kMiB - 2, 6, "concat");  // "cat" rejected as a word...
    text.replace(2 * kMiB + 8, 3, "cat");     // ...and found here, standalone
    text.replace(3 * kMiB - 4, 4, "tail");
    dir.Write("f", text);
    const struct {
        const char* needle;
        int cs, ww;
        int64_t expected;
    } cases[] = {
        {"BoundaRY", 1, 0, kMiB - 2},
        {"boundary", 0, 0, kMiB - 2},
        {"BOUNDARY", 1, 0, 0},
        {"cat", 1, 0, 2 * kMiB + 2},
        {"cat", 1, 1, 2 * kMiB + 9},
        {"tail", 1, 1, 3 * kMiB - 3},
        {"..", 1, 1, 1},
        {"absent", 0, 1, 0},
    };
    for (const auto& c : cases)
        EXPECT_EQ(Find(dir.File("f"), c.needle, c.cs, c.ww), c.expected) << c.needle;
    // The first block holds 1 MiB + needle length + 1 bytes: a word that ends
    // it is judged by the byte that follows in the next block.
    std::string edge(kMiB + 5, ' ');
    edge.replace(kMiB + 1, 4, "word");
    dir.Write("edge", edge + "x word ");
    EXPECT_EQ(Find(dir.File("edge"), "word", 1, 1), kMiB + 8);
    dir.Write("edge", edge + "  word ");
    EXPECT_EQ(Find(dir.File("edge"), "word", 1, 1), kMiB + 2);
}

TEST(FindStr, RefusalsAndCase) {
    TempDir dir;
    dir.Write("short", "ab");
    mkfifo(dir.File("fifo").c_str(), 0666);  // never blocks the search
    const std::pair<std::string, std::string> refused[] = {{dir.File("short"), ""},
                                                           {"", "ab"},
                                                           {dir.File("missing"), "ab"},
                                                           {dir.File("fifo"), "ab"},
                                                           {dir.path(), "ab"}};
    for (const auto& r : refused) EXPECT_EQ(Find(r.first, r.second, 1, 0), -1) << r.first;
    EXPECT_EQ(Find(dir.File("short"), "abc", 1, 0), 0);
    String needle("AB");
    EXPECT_EQ(FindStrInFile(dir.File("short").c_str(), needle, 0, 1), 1);
    EXPECT_TRUE(needle == "ab");  // lower-cased in place
}

// Occurrence after rejected occurrence of a long needle stays linear.
TEST(FindStr, ManyRejectedWordsStayLinear) {
    TempDir dir;
    std::string needle, hay;
    for (int i = 0; i < 2000; i++) needle += "ab ";
    while (hay.size() < 4 * kMiB) hay += "ab ";
    dir.Write("f", hay);
    EXPECT_EQ(Find(dir.File("f"), needle.substr(1, needle.size() - 2), 1, 1), 0);  // "b ab .. a"
}

}  // namespace
