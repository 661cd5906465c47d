// The search-expression parser and evaluator: one table of conversions and
// matches, the operator tables, and random input against String::Search.
#include "logsearch/exprparser.h"

#include <gtest/gtest.h>

#include <chrono>
#include <random>
#include <tuple>

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

TEST(ExprParser, TokensAndPriorities) {
    TExprParser parser(PriorityTable2, PriorityTable2Count);
    String expr("  <='x'div(");
    for (const char* token : {"<=", "'x'", "div", "(", ""})
        EXPECT_EQ(Str(parser.GetToken(expr)), token);
    EXPECT_EQ(parser.TokenInPriority("MOD"), 4);
    EXPECT_EQ(parser.TokenSPriority(")"), 65520);
    EXPECT_EQ(parser.TokenInPriority("xor"), -1);
    EXPECT_EQ(parser.TokenInPos(String("a<>b"), 2), 5);
    EXPECT_EQ(parser.TokenInPos(String("a<>b"), 9), -1);
}

// The prepared needle (block search, case folding, whole words) finds what
// String::Search finds, at every length and alignment; random bytes and
// operator soup never crash the converter or the evaluation.
TEST(ExprParser, RandomInput) {
    std::mt19937 rng(7);
    const char alphabet[] = "aAbB1 -\n";
    const char* pieces[] = {"(", ")", "not", "and", "or", "'", "\"", " ", "x", "12", "AND", "Or"};
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
        String expr;
        for (int i = rng() % 24; i > 0; i--) {
            if (round % 2)
                expr += (char)(rng() % 256);
            else
                expr += pieces[rng() % 12];
        }
        SearchForExpression(String("x 12 y"), expr, cs, ww);
    }
}

}  // namespace
