// Fuzz target: the search expressions of the text-log tests. The first byte
// holds the flags (bit 0 case-sensitive, bit 1 whole word, bit 2 the wider
// operator table for the parser alone); the rest is the expression, then a
// zero byte, then the line. Besides crashes it checks that the prepared
// search agrees with a plain evaluation of the postfix tokens over
// String::Search, and that TNeedle finds what String::Search finds.
#include <stdlib.h>
#include <string.h>

#include "fuzz/fuzz_common.h"
#include "logsearch/exprparser.h"

namespace {

// Every token of expr through GetToken, bounded by the expression's length.
void Tokenize(const TPriorityItem* table, int count, String expr) {
    TExprParser parser(table, count);
    for (int i = 0; i <= expr.Length() + 1; i++) {
        int before = expr.Length();
        String token = parser.GetToken(expr);
        if (token.Length() == 0 || expr.Length() >= before) break;
    }
}

// Evaluates the postfix tokens of expression against line the plain way;
// -1 when the expression does not convert.
int PlainMatch(const String& line, const String& expression, int caseSensitive, int wholeWord) {
    TExprParser parser(PriorityTable1, PriorityTable1Count);
    String copy(expression);
    if (!parser.Expr2Polish(copy, 0)) return -1;
    BoolStack stack(parser.Output.Count() + 2);
    for (int i = 0; i < parser.Output.Count() && !stack.Error(); i++) {
        String token = parser.Output[i];
        if (token == "not") {
            stack.Not();
        } else if (token == "and") {
            stack.And();
        } else if (token == "or") {
            stack.Or();
        } else {
            bool digits = token.Length() > 0;
            for (int k = 1; k <= token.Length(); k++)
                if (token[k] < '0' || token[k] > '9') digits = false;
            String needle = digits ? token : token.Copy(2, token.Length() - 2);
            stack.Push(needle.Length() > 0 && line.Search(needle, caseSensitive, wholeWord) > 0);
        }
    }
    return !stack.Error() && stack.Count() == 1 && stack.Pop() != 0 ? 1 : 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzSetUp();
    if (size == 0 || size > 4096) return 0;
    const int caseSensitive = data[0] & 1, wholeWord = (data[0] >> 1) & 1;
    const bool wide = (data[0] >> 2) & 1;
    const uint8_t* rest = data + 1;
    size_t restSize = size - 1;
    const uint8_t* zero = (const uint8_t*)memchr(rest, 0, restSize);
    size_t exprSize = zero != nullptr ? (size_t)(zero - rest) : restSize;
    String expression = FuzzBytes(rest, exprSize);
    String line = zero != nullptr ? FuzzBytes(zero + 1, restSize - exprSize - 1) : String();

    const TPriorityItem* table = wide ? PriorityTable2 : PriorityTable1;
    const int count = wide ? PriorityTable2Count : PriorityTable1Count;
    Tokenize(table, count, expression);
    for (int checkOnly = 0; checkOnly <= 1; checkOnly++) {
        TExprParser parser(table, count);
        String copy(expression);
        int ok = parser.Expr2Polish(copy, checkOnly);
        if (ok != (parser.Error.Length() == 0)) abort();  // result and message disagree
    }

    int found = SearchForExpression(line, expression, caseSensitive, wholeWord);
    int plain = PlainMatch(line, expression, caseSensitive, wholeWord);
    if (found != (plain == 1)) abort();

    // A line without any needle never matches when the search says so.
    TLineSearch search(expression, 1, caseSensitive, wholeWord);
    bool anyNeedle = false;
    for (const TNeedle& needle : search.Needles())
        anyNeedle =
            anyNeedle || needle.FindRaw(line.Data(), line.Data() + line.Length()) != nullptr;
    if (search.NeedsNeedle() && !anyNeedle && search.Match(line.Data(), line.Length()) != 0)
        abort();

    // The expression text as one plain needle against the line.
    TNeedle needle(expression.Data(), expression.Length(), caseSensitive, wholeWord);
    int pos = expression.Length() > 0 ? line.Search(expression, caseSensitive, wholeWord) : 0;
    if (needle.Search(line.Data(), line.Length()) != pos) abort();
    return 0;
}
