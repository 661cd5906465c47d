// FindStrInFile: block boundaries, case, whole words and refusals.
#include "fs/findstr.h"

#include <gtest/gtest.h>
#include <stdint.h>
#include <sys/stat.h>

#include <string>
#include <tuple>

#include "support/agent.h"

namespace {

const int64_t kMiB = 1 << 20;

TEST(FindStr, BlockBoundariesWordsAndRefusals) {
    TempDir dir;
    std::string text(3 * kMiB, '.');
    text.replace(kMiB - 3, 8, "BoundaRY");    // straddles the first block's end
    text.replace(2 * kMiB - 2, 6, "concat");  // "cat" rejected as a word...
    text.replace(2 * kMiB + 8, 3, "cat");     // ...and found here, standalone
    text.replace(3 * kMiB - 4, 4, "tail");
    dir.Write("f", text);
    // The first block holds 1 MiB + needle length + 1 bytes: a word that ends
    // it is judged by the byte that follows in the next block.
    std::string edge(kMiB + 5, ' ');
    edge.replace(kMiB + 1, 4, "word");
    dir.Write("edge1", edge + "x word ");
    dir.Write("edge2", edge + "  word ");
    // Occurrence after rejected occurrence of a long needle stays linear.
    std::string many, hay;
    for (int i = 0; i < 2000; i++) many += "ab ";
    while (hay.size() < 4 * kMiB) hay += "ab ";
    dir.Write("many", hay);
    dir.Write("short", "ab");
    dir.Write("kmp", "ab   c abc");          // a mismatch goes back to the needle's start
    mkfifo(dir.File("fifo").c_str(), 0666);  // never blocks the search
    const std::tuple<std::string, std::string, int, int, int64_t> cases[] = {
        {"f", "BoundaRY", 1, 0, kMiB - 2},
        {"f", "boundary", 0, 0, kMiB - 2},
        {"f", "BOUNDARY", 1, 0, 0},
        {"f", "cat", 1, 0, 2 * kMiB + 2},
        {"f", "cat", 1, 1, 2 * kMiB + 9},
        {"f", "tail", 1, 1, 3 * kMiB - 3},
        {"f", "..", 1, 1, 1},
        {"f", "absent", 0, 1, 0},
        {"edge1", "word", 1, 1, kMiB + 8},
        {"edge2", "word", 1, 1, kMiB + 2},
        {"many", many.substr(1, many.size() - 2), 1, 1, 0},  // "b ab .. a"
        {"short", "abc", 1, 0, 0},
        {"kmp", "abc", 1, 1, 8},
        {"", "ab", 1, 0, -1},
        {"fifo", "ab", 1, 0, -1},
    };
    for (const auto& [file, text, cs, ww, expected] : cases) {
        String needle = Bytes(text);
        std::string path = file.empty() ? "" : dir.File(file);
        EXPECT_EQ(FindStrInFile(path.c_str(), needle, cs, ww), expected)
            << file << text.substr(0, 9);
    }
}

}  // namespace
