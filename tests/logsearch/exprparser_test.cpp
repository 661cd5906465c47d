// The search-expression parser and evaluator: conversion tables, matching
// tables, the prepared needle against String::Search, and random input.
#include "logsearch/exprparser.h"

#include <gtest/gtest.h>

#include <chrono>
#include <random>
#include <string>

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

TEST(ExprParser, Conversion) {
    const struct {
        const char* expression;
        const char* postfix;
    } cases[] = {
        {"", ""},
        {"'a' or 'b' and 'c'", "'a' 'b' or 'c' and"},
        {"not 'x' and 'y'", "'x' 'y' and not"},
        {"(not 'x') and 'y'", "'x' not 'y' and"},
        {"'a'and'b'", "'a' 'b' and"},
        {"'a' AND 'b' Or NOT 'c'", "'a' 'b' and 'c' not or"},
        {"\"it's\" or 'say \"hi\"'", "\"it's\" 'say \"hi\"' or"},
        {"404 or 'x'", "404 'x' or"},
        {"( 'a'", "'a' ("},
        {"\t'a' \x01", "'a'"},
        {"'a' )", "error: Missing \"(\""},
        {"error", "error: Unknown operator: \"err\""},
        {"notice", "error: Unknown operator: \"ice\""},
        {"'a' or 'b", "error: Unterminated string: 'b"},
        {"12a", "error: Unknown operator: \"12a\""},
    };
    for (const auto& c : cases) EXPECT_EQ(Convert(c.expression), c.postfix) << c.expression;
}

TEST(ExprParser, TokensAndPriorities) {
    TExprParser parser(PriorityTable2, PriorityTable2Count);
    String expr("  <='x'div(");
    const char* tokens[] = {"<=", "'x'", "div", "(", ""};
    for (const char* token : tokens) EXPECT_EQ(Str(parser.GetToken(expr)), token);
    EXPECT_EQ(parser.TokenInPriority("MOD"), 4);
    EXPECT_EQ(parser.TokenSPriority(")"), 65520);
    EXPECT_EQ(parser.TokenInPriority("xor"), -1);
    EXPECT_EQ(parser.TokenInPos(String("a<>b"), 2), 5);
    EXPECT_EQ(parser.TokenInPos(String("a<>b"), 9), -1);
}

TEST(ExprParser, Matching) {
    const struct {
        const char* expression;
        const char* line;
        int caseSensitive, wholeWord, expected;
    } cases[] = {
        {"'err' or 'warn'", "disk warning", 0, 0, 1},
        {"'err' or 'warn'", "disk warning", 0, 1, 0},
        {"'a' or 'b' and 'c'", "a", 0, 0, 0},
        {"not 'x' and 'y'", "nothing here", 1, 0, 1},
        {"not 'x' and 'y'", "x y", 1, 0, 0},
        {"( 'a'", "a", 0, 0, 0},
        {"'a' )", "a", 0, 0, 0},
        {"error", "error", 0, 0, 0},
        {"'a'and'b'", "ab", 0, 0, 1},
        {"'A' AND NOT 'B'", "a c", 0, 0, 1},
        {"'A' AND NOT 'B'", "a c", 1, 0, 0},
        {"", "anything", 0, 0, 0},
        {"''", "anything", 0, 0, 0},
        {"\"it's\"", "it's late", 1, 0, 1},
        {"404", "GET / 404", 0, 1, 1},
        {"404", "GET / 4040", 0, 1, 0},
        {"'a' 'b'", "a b", 0, 0, 0},
        {"not (", "any line", 0, 0, 1},
    };
    for (const auto& c : cases)
        EXPECT_EQ(
            SearchForExpression(String(c.line), String(c.expression), c.caseSensitive, c.wholeWord),
            c.expected)
            << c.expression << " / " << c.line << " / " << c.caseSensitive << c.wholeWord;
}

// The prepared needle (block search, case folding, whole words) finds what
// String::Search finds, at every length and alignment.
TEST(ExprParser, NeedleAgreesWithStringSearch) {
    std::mt19937 rng(7);
    const char alphabet[] = "aAbB1 -\n";
    for (int round = 0; round < 20000; round++) {
        std::string hay(rng() % 70, ' '), needle(1 + rng() % 4, ' ');
        for (char& c : hay) c = alphabet[rng() % 8];
        for (char& c : needle) c = alphabet[rng() % 8];
        int cs = rng() % 2, ww = rng() % 2;
        String h;
        h.CopyData(hay.data(), (int)hay.size());
        TNeedle prepared(needle.data(), (int)needle.size(), cs, ww);
        ASSERT_EQ(prepared.Search(hay.data(), (int)hay.size()),
                  h.Search(String(needle.c_str()), cs, ww))
            << hay << " / " << needle << " " << cs << ww;
    }
}

// Random bytes and random operator soup never crash the tokenizer or the
// converter, and a syntax check agrees with a full conversion.
TEST(ExprParser, RandomInput) {
    std::mt19937 rng(11);
    const char* pieces[] = {"(", ")", "not", "and", "or", "'", "\"", " ", "x", "12", "AND", "Or"};
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(1);
    for (int round = 0; round < 200000 && std::chrono::steady_clock::now() < end; round++) {
        String expr;
        int n = rng() % 24;
        for (int i = 0; i < n; i++) {
            if (round % 2)
                expr += (char)(rng() % 256);
            else
                expr += pieces[rng() % 12];
        }
        TExprParser full(PriorityTable1, PriorityTable1Count), check(PriorityTable1, 5);
        String a(expr), b(expr), c(expr);
        ASSERT_EQ(full.Expr2Polish(a, 0), check.Expr2Polish(b, 1));
        ASSERT_EQ(Str(full.Error), Str(check.Error));
        while (full.GetToken(c).Length() > 0) {
        }
        SearchForExpression(String("x 12 y"), expr, round % 3 == 0, round % 5 == 0);
    }
}

}  // namespace
