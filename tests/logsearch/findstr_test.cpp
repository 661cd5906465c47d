// FindStrInFile: block boundaries, case, whole words and refusals.
#include "logsearch/findstr.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <random>
#include <string>

#include "support/process.h"

namespace {

const size_t kMiB = 1 << 20;

int64_t Find(const std::string& path, const std::string& needle, int cs, int ww) {
    String n;
    n.AddData(needle.data(), (int)needle.size());
    return FindStrInFile(path.c_str(), n, cs, ww);
}

bool Word(char c) { return isalnum((unsigned char)c) != 0; }

// The plain reading of the rules over the whole content at once.
int64_t Reference(const std::string& hay, const std::string& needle, bool ww) {
    for (size_t at = hay.find(needle); at != std::string::npos; at = hay.find(needle, at + 1)) {
        size_t end = at + needle.size();
        if (!ww || ((at == 0 || !Word(hay[at - 1])) && (end == hay.size() || !Word(hay[end]))))
            return (int64_t)at + 1;
    }
    return 0;
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

TEST(FindStr, RandomTextAgreesWithReference) {
    TempDir dir;
    std::mt19937 rng(7);
    // Random words around the end of the first block and the start of the
    // second, in a file of dots.
    for (int round = 0; round < 40; round++) {
        std::string needle(1 + rng() % 6, ' ');
        for (char& c : needle) c = "ab "[rng() % 3];
        std::string hay(kMiB + 4096, '.');
        for (size_t i = kMiB - 16; i < kMiB + 24; i++) hay[i] = "ab  "[rng() % 4];
        dir.Write("r", hay);
        for (int ww = 0; ww < 2; ww++)
            EXPECT_EQ(Find(dir.File("r"), needle, 1, ww), Reference(hay, needle, ww))
                << round << " '" << needle << "' " << ww;
    }
}

TEST(FindStr, RefusalsAndCase) {
    TempDir dir;
    dir.Write("short", "ab");
    mkfifo(dir.File("fifo").c_str(), 0666);
    EXPECT_EQ(Find(dir.File("short"), "abc", 1, 0), 0);
    EXPECT_EQ(Find(dir.File("short"), "", 1, 0), -1);
    EXPECT_EQ(Find("", "ab", 1, 0), -1);
    EXPECT_EQ(Find(dir.File("missing"), "ab", 1, 0), -1);
    EXPECT_EQ(Find(dir.File("fifo"), "ab", 1, 0), -1);  // never blocks
    EXPECT_EQ(Find(dir.path(), "ab", 1, 0), -1);
    String needle("AB");
    EXPECT_EQ(FindStrInFile(dir.File("short").c_str(), needle, 0, 1), 1);
    EXPECT_TRUE(needle == "ab");  // lower-cased in place
}

// Occurrence after rejected occurrence of a long needle stays linear.
TEST(FindStr, ManyRejectedWordsStayLinear) {
    TempDir dir;
    std::string unit = "ab ";
    std::string needle;
    for (int i = 0; i < 2000; i++) needle += unit;
    needle = needle.substr(1, needle.size() - 2);  // "b ab ... ab a"
    std::string hay;
    while (hay.size() < 4 * kMiB) hay += unit;
    dir.Write("f", hay);
    EXPECT_EQ(Find(dir.File("f"), needle, 1, 1), 0);
}

}  // namespace
