// exprparser: the search expressions of the text-log tests. Owns the two
// operator tables, the infix-to-postfix converter TExprParser, the Boolean
// evaluation stack BoolStack, SearchForExpression, and the prepared forms
// that the log scanner uses to match many lines against one search: TNeedle
// (one search string with the case and whole-word rules of String::Search)
// and TLineSearch (a plain string or an expression, parsed once).
//
// Threads: the operator tables are built during static initialisation and
// only read afterwards. A TExprParser, BoolStack, TNeedle or TLineSearch
// belongs to one thread at a time; SearchForExpression builds its own and
// may run on any number of threads at once.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "text/vtstring.h"

// One operator of a table: its lower-case text and its two priorities.
class TPriorityItem {
  public:
    TPriorityItem(String name, int inPriority, int stackPriority);

    String Name;
    int InPriority;     // when the operator is read from the expression
    int StackPriority;  // when the operator lies on the operator stack
};

// "(", "not", ")", "and", "or": the operators of the log search.
extern const TPriorityItem PriorityTable1[];
extern const int PriorityTable1Count;
// PriorityTable1 followed by the comparisons and "div", "mod". Nothing
// evaluates them; a parser can be built over the table.
extern const TPriorityItem PriorityTable2[];
extern const int PriorityTable2Count;

// Converts an infix expression of quoted strings, digit strings and the
// table's operators into postfix order (a shunting-yard over the table's
// priorities).
class TExprParser {
  public:
    // table is not owned and must outlive the parser.
    TExprParser(const TPriorityItem* table, int count);

    // Index of the first table entry (in table order) whose name stands at
    // 1-based position pos of expr, compared case-sensitively; -1 if none.
    int TokenInPos(const String& expr, int pos) const;
    // Input (resp. stack) priority of the entry named like the lower-cased
    // name; -1 when the table has no such entry.
    int TokenInPriority(String name) const;
    int TokenSPriority(String name) const;
    // Removes the next token from the front of expr and returns it: an
    // operator name, a quoted string with its quotes, or a word. Returns ""
    // at the end of the expression, and also when a string is unterminated
    // (Error then says so and expr keeps the rest from the opening quote).
    String GetToken(String& expr);
    // Converts expr (consumed: afterwards it holds what was not read) into
    // postfix order. Returns 1 with Error empty, or 0 with Error set. With
    // checkOnly 0, Output is cleared first and receives the tokens (after a
    // failure: those produced before it); otherwise Output is not touched.
    int Expr2Polish(String& expr, int checkOnly);

    TStrList Output;  // postfix tokens of the last conversion
    String Error;     // message of the last failed conversion, else ""

  private:
    // The next token of the first end bytes of expr from offset *at on
    // (0-based), which moves past it; sets Error for an unterminated string.
    String NextToken(const String& expr, int end, int* at);
    // Index of the entry starting at offset at of the first end bytes of
    // text, or -1.
    int OperatorAt(const char* text, int end, int at) const;
    int Lookup(String name) const;

    const TPriorityItem* table_;
    int count_;
};

// A stack of Boolean values with a fixed capacity. Any operation that finds
// too few values or no room sets the error flag, which stays set until
// Clear.
class BoolStack {
  public:
    explicit BoolStack(int capacity);
    ~BoolStack();
    BoolStack(const BoolStack&) = delete;
    BoolStack& operator=(const BoolStack&) = delete;

    // Stores the low byte of value on top; sets the error when full.
    void Push(int value);
    // The top value, removed; 0 with the error set when empty.
    int Pop();
    // Top value 0 becomes 1, anything else 0; needs one value.
    void Not();
    // Pop two, push their AND (OR) as 0 or 1; with fewer than two values
    // the stack is left as it is and the error set.
    void And();
    void Or();
    int Count() const { return count_; }
    int Error() const { return error_; }
    // Empties the stack and clears the error, for the next evaluation.
    void Clear();

  private:
    unsigned char* buffer_;
    int count_;
    int capacity_;
    int error_;
};

// 1 when line satisfies expression, else 0 (also for every malformed
// expression). Operands are searched with the case and whole-word rules of
// String::Search. A quoted operand searches for the text between its
// quotes; an unquoted digit string searches for the digits themselves.
int SearchForExpression(const String& line, const String& expression, int caseSensitive,
                        int wholeWord);

// One search string prepared for many searches. The results equal those of
// String::Search with the same flags.
class TNeedle {
  public:
    TNeedle(const char* text, int length, int caseSensitive, int wholeWord);

    // 1-based position of the first acceptable occurrence in the len bytes
    // of line, 0 when there is none (always 0 for an empty needle).
    int Search(const char* line, int len) const;
    // The first occurrence in [from, to), ignoring the whole-word rule;
    // null when there is none.
    const char* FindRaw(const char* from, const char* to) const;
    int Length() const { return (int)text_.size(); }
    // 1 when the needle holds a CR or LF byte (it cannot lie inside a line).
    int HasLineBreak() const;

  private:
    std::string text_;  // lower-cased unless case-sensitive
    int caseSensitive_;
    int wholeWord_;
};

// A plain search string or an expression, prepared once for many lines.
class TLineSearch {
  public:
    // expression non-zero: text is an expression (a malformed one never
    // matches); otherwise text is searched for as it stands.
    TLineSearch(const String& text, int expression, int caseSensitive, int wholeWord);
    TLineSearch(const TLineSearch&) = delete;
    TLineSearch& operator=(const TLineSearch&) = delete;

    // Match value of the len bytes of line: for a plain string its 1-based
    // position (String::Search), for an expression 1; 0 when it does not
    // match.
    int Match(const char* line, int len);
    // 1 when a line that contains none of Needles() never matches, so that
    // such lines need not be looked at one by one.
    int NeedsNeedle() const { return needsNeedle_; }
    const std::vector<TNeedle>& Needles() const { return needles_; }

  private:
    enum Op { OP_NOT, OP_AND, OP_OR, OP_OPERAND };
    struct Step {
        Op op;
        int needle;  // index into needles_ for OP_OPERAND
    };
    // Runs the program over the operand values that value(i) gives.
    template <class F>
    int Evaluate(F value);

    int expression_;
    int valid_;
    int needsNeedle_;
    std::vector<TNeedle> needles_;
    std::vector<Step> program_;
    std::unique_ptr<BoolStack> stack_;
};
