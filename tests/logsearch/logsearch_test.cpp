// Log searches: the search-expression parser and evaluator (a table of
// conversions and matches); and the log scanner (the line cap, and checks
// from several threads at once).
#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
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
