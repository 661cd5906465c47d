// Log searches: the search-expression parser and evaluator (a table of
// conversions and matches, random input against
// String::Search); and the log scanner (its state from check to check, line
// cutting, the line cap, failures, and a line-by-line reference over random
// logs that cross the read blocks).
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <random>
#include <thread>
#include <tuple>

#include "logsearch/exprparser.h"
#include "logsearch/logscan.h"
#include "support/agent.h"

namespace {

// The postfix tokens joined by spaces, or "error: " and the message.
std::string Convert(const char* expression) {
    TExprParser parser(PriorityTable1, PriorityTable1Count);
    String expr(expression);
    if (!parser.Expr2Polish(expr, 0)) return "error: " + Str(parser.Error);
    std::string out;
    for (int i = 0; i < parser.Output.Count(); i++) out += (i ? " " : "") + Str(parser.Output[i]);
    return out;
}

// Each expression's postfix form (null: not checked) and whether it matches
// a line with the given case and whole-word flags.
TEST(ExprParser, ConversionAndMatching) {
    const std::tuple<const char*, const char*, const char*, int, int, int> cases[] = {
        {"", "", "anything", 0, 0, 0},
        {"''", nullptr, "anything", 0, 0, 0},
        {"'err' or 'warn'", "'err' 'warn' or", "disk warning", 0, 0, 1},
        {"'err' or 'warn'", nullptr, "disk warning", 0, 1, 0},
        {"not 'x' and 'y'", "'x' 'y' and not", "nothing here", 1, 0, 1},
        {"(not 'x') and 'y'", "'x' not 'y' and", "y", 1, 0, 1},
        {"'a'and'b'", "'a' 'b' and", "ab", 0, 0, 1},
        {"'a' AND 'b' Or NOT 'c'", "'a' 'b' and 'c' not or", "a b", 0, 0, 1},
        {"'a' or 'b' and 'c'", "'a' 'b' or 'c' and", "a", 0, 0, 0},
        {"'A' AND NOT 'B'", nullptr, "a c", 1, 0, 0},
        {"\"it's\" or 'say \"hi\"'", "\"it's\" 'say \"hi\"' or", "it's late", 1, 0, 1},
        {"404 or 'x'", "404 'x' or", "GET / 404", 0, 1, 1},
        {"'a' 'b'", nullptr, "a b", 0, 0, 0},
        {"not (", nullptr, "any line", 0, 0, 1},
        {"( 'a'", "'a' (", "a", 0, 0, 0},
        {"\t'a' \x01", "'a'", "a", 0, 0, 1},
        {"'a' )", "error: Missing \"(\"", "a", 0, 0, 0},
        {"error", "error: Unknown operator: \"err\"", "error", 0, 0, 0},
        {"'a' or 'b", "error: Unterminated string: 'b", "a", 0, 0, 0},
        {"12a", "error: Unknown operator: \"12a\"", "12a", 0, 0, 0},
    };
    for (const auto& [expression, postfix, line, cs, ww, expected] : cases) {
        if (postfix) {
            EXPECT_EQ(Convert(expression), postfix) << expression;
        }
        EXPECT_EQ(SearchForExpression(String(line), String(expression), cs, ww), expected)
            << expression << " / " << line << " / " << cs << ww;
    }
}

// The prepared needle (block search, case folding, whole words) finds what
// String::Search finds, at every length and alignment.
TEST(ExprParser, RandomInput) {
    std::mt19937 rng(7);
    const char alphabet[] = "aAbB1 -\n";
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(1);
    for (int round = 0; round < 50000 && std::chrono::steady_clock::now() < end; round++) {
        std::string hay(rng() % 70, ' '), needle(1 + rng() % 4, ' ');
        for (char& c : hay) c = alphabet[rng() % 8];
        for (char& c : needle) c = alphabet[rng() % 8];
        int cs = rng() % 2, ww = rng() % 2;
        TNeedle prepared(needle.data(), (int)needle.size(), cs, ww);
        ASSERT_EQ(prepared.Search(hay.data(), (int)hay.size()),
                  Bytes(hay).Search(String(needle.c_str()), cs, ww))
            << hay << " / " << needle << " " << cs << ww;
    }
}

class LogScan : public ::testing::Test {
  protected:
    void Append(const std::string& text) {
        std::ofstream(path, std::ios::app | std::ios::binary) << text;
    }
    long long Scan(const char* text, int cont = 0, int expression = 0, int cs = 0, int ww = 0) {
        String line, err;
        long long r = CheckFileForExpression(path.c_str(), String(text), readPos, lastSize, lastAge,
                                             expression, cont, cs, ww, line, err, fileSize);
        lastLine = Str(line);
        error = Str(err);
        return r;
    }
    TempDir dir;
    std::string path = dir.File("app.log");
    long long readPos = 0, lastSize = 0, lastAge = 0, fileSize = 0;
    std::string lastLine, error;
};

TEST_F(LogScan, LinesAreMatchedOnTheirFirstMebibyte) {
    Append("start\n");
    Scan("needle");
    std::string far(kMaxLogLine + 200000, 'a'), near = far;
    far.replace(kMaxLogLine + 10, 8, " needle ");
    near.replace(10, 8, " needle ");
    Append(far + "\n" + near + "\nshort needle\n");
    EXPECT_EQ(Scan("needle", 0, 0, 1, 1), 6 + (long long)far.size() + 1 + 12);
    EXPECT_EQ(lastLine.size(), (size_t)kMaxLogLine);
    EXPECT_EQ(Scan("needle"), 6 + 2 * (long long)far.size() + 2 + 7);
    EXPECT_EQ(readPos, 2 * (long long)far.size() + 21);
}

// What the scan must report, line by line as the log format defines it:
// a line ends at CR or LF, empty lines are skipped, an unfinished one waits.
long long Reference(const std::string& data, long long& pos, const char* text, int expression,
                    int cont, int cs, int ww, std::string& lastLine) {
    long long result = 0;
    for (size_t s, e; (s = data.find_first_not_of("\r\n", pos)) != std::string::npos &&
                      (e = data.find_first_of("\r\n", s)) != std::string::npos;) {
        long long start = pos;
        pos = e + 1;
        String line = Bytes(data.substr(s, e - s));
        int m = expression ? SearchForExpression(line, String(text), cs, ww)
                           : line.Search(String(text), cs, ww);
        if (m > 0) {
            result = m + start;
            lastLine = Str(line);
            if (!cont) break;
        }
    }
    return result;
}

TEST_F(LogScan, AgreesWithLineByLineReference) {
    std::mt19937 rng(3);
    const char* words[] = {"alpha", "beta ", " ", "-"};
    const char* breaks[] = {"\n", "\r\n", "\r", "\n\n"};
    const char* rare[] = {"needle", "Needle", "needles", "hay"};
    const char* searches[] = {"needle", "'needle' or 'hay'", "not 'alpha'"};  // then expressions
    std::string data;
    while (data.size() < 400000) {
        unsigned r = rng() % 600;
        data += r < 2 ? rare[rng() % 4] : r < 60 ? breaks[r % 4] : words[r % 4];
    }
    Append(data);
    for (int round = 0; round < 9; round++) {
        const char* text = searches[round % 3];
        int expression = round % 3 > 0, cont = round / 3 == 1, cs = round % 4 == 1,
            ww = round % 5 == 0;
        long long expectPos = rng() % data.size();
        readPos = expectPos, lastSize = 1, lastAge = 1;
        for (int check = 0; check < 40; check++) {
            std::string expectLine;
            long long expect =
                Reference(data, expectPos, text, expression, cont, cs, ww, expectLine);
            ASSERT_EQ(Scan(text, cont, expression, cs, ww), expect) << round;
            ASSERT_EQ(readPos, expectPos);
            ASSERT_EQ(lastLine, expectLine);
            if (expect == 0 || cont) break;
        }
    }
}

// Session threads watch one log with states of their own and get what
// one thread alone gets.
TEST_F(LogScan, ConcurrentChecks) {
    Append("x 1\nx 2\nx 3\n");
    auto check = [this](int i) {
        long long pos = i % 12, size = 1, age = 1, fs;
        String line, err;
        return CheckFileForExpression(path.c_str(), String("x"), pos, size, age, 0, 0, 0, 0, line,
                                      err, fs);
    };
    std::vector<long long> expected;
    for (int i = 0; i < 50; i++) expected.push_back(check(i));
    std::vector<std::thread> threads;
    std::atomic<int> wrong{0};
    for (int t = 0; t < 4; t++)
        threads.emplace_back([&] {
            for (int i = 0; i < 50; i++) wrong += check(i) != expected[i];
        });
    for (auto& t : threads) t.join();
    EXPECT_EQ(wrong, 0);
}

}  // namespace
