#include "logsearch/exprparser.h"

#include <stdlib.h>
#include <string.h>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

TPriorityItem::TPriorityItem(String name, int inPriority, int stackPriority)
    : Name(name), InPriority(inPriority), StackPriority(stackPriority) {}

const TPriorityItem PriorityTable1[] = {
    TPriorityItem("(", 65535, 0), TPriorityItem("not", 65535, 0), TPriorityItem(")", 1, 65520),
    TPriorityItem("and", 1, 1),   TPriorityItem("or", 1, 1),
};
const int PriorityTable1Count = sizeof(PriorityTable1) / sizeof(PriorityTable1[0]);

const TPriorityItem PriorityTable2[] = {
    TPriorityItem("(", 65535, 0), TPriorityItem("not", 65535, 0), TPriorityItem(")", 1, 65520),
    TPriorityItem("and", 1, 1),   TPriorityItem("or", 1, 1),      TPriorityItem("<>", 2, 2),
    TPriorityItem("<=", 2, 2),    TPriorityItem(">=", 2, 2),      TPriorityItem("==", 2, 2),
    TPriorityItem(">", 2, 2),     TPriorityItem("<", 2, 2),       TPriorityItem("div", 4, 4),
    TPriorityItem("mod", 4, 4),
};
const int PriorityTable2Count = sizeof(PriorityTable2) / sizeof(PriorityTable2[0]);

namespace {

bool IsBlank(char c) { return (signed char)c <= 32; }

bool IsQuote(char c) { return c == '\'' || c == '"'; }

bool IsAlnumAscii(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

// The end of text after its trailing blanks.
int TrimmedEnd(const char* text, int length, int from) {
    while (length > from && IsBlank(text[length - 1])) length--;
    return length;
}

}  // namespace

// ---- TExprParser --------------------------------------------------------

TExprParser::TExprParser(const TPriorityItem* table, int count) : table_(table), count_(count) {}

int TExprParser::OperatorAt(const char* text, int end, int at) const {
    for (int i = 0; i < count_; i++) {
        const String& name = table_[i].Name;
        if (name.Length() <= end - at && memcmp(text + at, name.Data(), name.Length()) == 0)
            return i;
    }
    return -1;
}

int TExprParser::TokenInPos(const String& expr, int pos) const {
    if (pos < 1 || pos > expr.Length()) return -1;
    return OperatorAt(expr.Data(), expr.Length(), pos - 1);
}

int TExprParser::Lookup(String name) const {
    name.LowerCase();
    for (int i = 0; i < count_; i++)
        if (table_[i].Name == name) return i;
    return -1;
}

int TExprParser::TokenInPriority(String name) const {
    int i = Lookup(name);
    return i < 0 ? -1 : table_[i].InPriority;
}

int TExprParser::TokenSPriority(String name) const {
    int i = Lookup(name);
    return i < 0 ? -1 : table_[i].StackPriority;
}

String TExprParser::NextToken(const String& expr, int end, int* at) {
    const char* text = expr.Data();
    int i = *at;
    while (i < end && IsBlank(text[i])) i++;
    *at = i;
    String token;
    if (i >= end) return token;
    int op = OperatorAt(text, end, i);
    if (op >= 0) {
        *at = i + table_[op].Name.Length();
        return table_[op].Name;
    }
    if (IsQuote(text[i])) {
        const char* close = (const char*)memchr(text + i + 1, text[i], end - i - 1);
        if (close == nullptr) {
            Error = "Unterminated string: ";
            Error.AddData(text + i, end - i);
            return token;
        }
        int length = (int)(close - (text + i)) + 1;
        token.CopyData(text + i, length);
        *at = i + length;
        return token;
    }
    int j = i + 1;
    while (j < end && text[j] != ' ' && OperatorAt(text, end, j) < 0) j++;
    token.CopyData(text + i, j - i);
    *at = j;
    return token;
}

String TExprParser::GetToken(String& expr) {
    int end = TrimmedEnd(expr.Data(), expr.Length(), 0);
    int at = 0;
    String token = NextToken(expr, end, &at);
    expr = expr.Copy(at + 1, end - at);
    return token;
}

int TExprParser::Expr2Polish(String& expr, int checkOnly) {
    Error = "";
    if (!checkOnly) Output.Clear();
    // The operator stack holds table indices; its top is the last one.
    std::vector<int> stack;
    auto moveTop = [&] {
        if (!checkOnly) Output.Add(table_[stack.back()].Name);
        stack.pop_back();
    };
    // Tokens are read through an offset: removing each one from the front
    // of a long expression would cost its whole length every time.
    int end = TrimmedEnd(expr.Data(), expr.Length(), 0);
    int at = 0;
    String token = NextToken(expr, end, &at);
    while (token.Length() > 0 && Error.Length() == 0) {
        int op = Lookup(token);
        if (op < 0) {
            if (!IsQuote(token[1]) && !isdecimalnum(token.Data(), token.Length())) {
                Error = "Unknown operator: \"";
                Error += token;
                Error += "\"";
                break;
            }
            if (!checkOnly) Output.Add(token);
        } else {
            while (!stack.empty() && table_[stack.back()].StackPriority >= table_[op].InPriority)
                moveTop();
            if (table_[op].Name == ")") {
                while (!stack.empty() && table_[stack.back()].Name != "(") moveTop();
                if (stack.empty()) {
                    Error = "Missing \"(\"";
                    break;
                }
                stack.pop_back();
            } else {
                stack.push_back(op);
            }
        }
        token = NextToken(expr, end, &at);
    }
    expr = expr.Copy(at + 1, end - at);
    if (Error.Length() > 0) return 0;
    while (!stack.empty()) moveTop();
    return 1;
}

// ---- BoolStack ----------------------------------------------------------

BoolStack::BoolStack(int capacity)
    : buffer_((unsigned char*)malloc(capacity > 0 ? capacity : 1)),
      count_(0),
      capacity_(capacity > 0 ? capacity : 0),
      error_(0) {}

BoolStack::~BoolStack() { free(buffer_); }

void BoolStack::Push(int value) {
    if (count_ < capacity_)
        buffer_[count_++] = (unsigned char)value;
    else
        error_ = 1;
}

int BoolStack::Pop() {
    if (count_ == 0) {
        error_ = 1;
        return 0;
    }
    return buffer_[--count_];
}

void BoolStack::Not() {
    if (count_ < 1) {
        error_ = 1;
        return;
    }
    buffer_[count_ - 1] = buffer_[count_ - 1] == 0 ? 1 : 0;
}

void BoolStack::And() {
    if (count_ < 2) {
        error_ = 1;
        return;
    }
    int a = Pop(), b = Pop();
    Push(a && b);
}

void BoolStack::Or() {
    if (count_ < 2) {
        error_ = 1;
        return;
    }
    int a = Pop(), b = Pop();
    Push(a || b);
}

void BoolStack::Clear() {
    count_ = 0;
    error_ = 0;
}

// ---- TNeedle ------------------------------------------------------------

namespace {

// The first occurrence of the folded needle (length >= 1) in [from, to), or
// null. kFold compares ASCII letters without case (the needle is lower
// case). Candidates are the places where the needle's first and last bytes
// both stand, sixteen places at a time; each is then compared whole.
template <bool kFold>
const char* FindOccurrence(const char* from, const char* to, const std::string& needle) {
    const int n = (int)needle.size();
    if (to - from < n) return nullptr;
    const char* last = to - n;  // the last place an occurrence may start
    const unsigned char first = (unsigned char)needle[0];
    const unsigned char final = (unsigned char)needle[n - 1];
    auto upper = [](unsigned char c) {
        return (unsigned char)(kFold && c >= 'a' && c <= 'z' ? c - 32 : c);
    };
    auto same = [&](const char* at) {
        if (!kFold) return memcmp(at + 1, needle.data() + 1, n - 1) == 0;
        for (int k = 0; k < n; k++)
            if (LoCase(at[k]) != needle[k]) return false;
        return true;
    };
    const char* p = from;
#ifdef __SSE2__
    const __m128i f1 = _mm_set1_epi8((char)first), f2 = _mm_set1_epi8((char)upper(first));
    const __m128i l1 = _mm_set1_epi8((char) final), l2 = _mm_set1_epi8((char)upper(final));
    for (; p + 15 <= last; p += 16) {
        __m128i a = _mm_loadu_si128((const __m128i*)p);
        __m128i b = _mm_loadu_si128((const __m128i*)(p + n - 1));
        __m128i ma = _mm_cmpeq_epi8(a, f1), mb = _mm_cmpeq_epi8(b, l1);
        if (kFold) {
            ma = _mm_or_si128(ma, _mm_cmpeq_epi8(a, f2));
            mb = _mm_or_si128(mb, _mm_cmpeq_epi8(b, l2));
        }
        unsigned mask = (unsigned)_mm_movemask_epi8(_mm_and_si128(ma, mb));
        while (mask != 0) {
            const char* at = p + __builtin_ctz(mask);
            if (same(at)) return at;
            mask &= mask - 1;
        }
    }
#endif
    for (; p <= last; p++) {
        unsigned char c = (unsigned char)*p;
        if ((c == first || c == upper(first)) && same(p)) return p;
    }
    return nullptr;
}

}  // namespace

TNeedle::TNeedle(const char* text, int length, int caseSensitive, int wholeWord)
    : text_(text != nullptr && length > 0 ? std::string(text, length) : std::string()),
      caseSensitive_(caseSensitive),
      wholeWord_(wholeWord) {
    if (!caseSensitive_)
        for (char& c : text_) c = LoCase(c);
}

int TNeedle::HasLineBreak() const { return text_.find_first_of("\r\n") != std::string::npos; }

const char* TNeedle::FindRaw(const char* from, const char* to) const {
    if (text_.empty() || from == nullptr || to - from < (long)text_.size()) return nullptr;
    if (caseSensitive_) {
        if (text_.size() == 1) return (const char*)memchr(from, text_[0], to - from);
        return FindOccurrence<false>(from, to, text_);
    }
    return FindOccurrence<true>(from, to, text_);
}

int TNeedle::Search(const char* line, int len) const {
    const int n = (int)text_.size();
    const char* end = line + len;
    for (const char* p = line;;) {
        const char* at = FindRaw(p, end);
        if (at == nullptr) return 0;
        int pos = (int)(at - line);
        if (!wholeWord_) return pos + 1;
        bool before = pos > 0 && IsAlnumAscii(line[pos - 1]);
        bool after = pos + n < len && IsAlnumAscii(line[pos + n]);
        if (!before && !after) return pos + 1;
        p = at + 1;
    }
}

// ---- TLineSearch --------------------------------------------------------

TLineSearch::TLineSearch(const String& text, int expression, int caseSensitive, int wholeWord)
    : expression_(expression), valid_(1), needsNeedle_(1) {
    if (!expression_) {
        needles_.emplace_back(text.Data(), text.Length(), caseSensitive, wholeWord);
        return;
    }
    TExprParser parser(PriorityTable1, PriorityTable1Count);
    String copy(text);
    if (!parser.Expr2Polish(copy, 0)) {
        valid_ = 0;  // never matches, whatever the line holds
        return;
    }
    for (int i = 0; i < parser.Output.Count(); i++) {
        String token = parser.Output[i];
        if (token == "not") {
            program_.push_back({OP_NOT, 0});
        } else if (token == "and") {
            program_.push_back({OP_AND, 0});
        } else if (token == "or") {
            program_.push_back({OP_OR, 0});
        } else {
            // A digit string stands for itself; any other operand (a quoted
            // string, or a "(" left open) for the bytes inside its ends.
            bool digits = isdecimalnum(token.Data(), token.Length());
            const char* start = digits ? token.Data() : token.Data() + 1;
            int length = digits ? token.Length() : token.Length() - 2;
            program_.push_back({OP_OPERAND, (int)needles_.size()});
            needles_.emplace_back(start, length, caseSensitive, wholeWord);
        }
    }
    stack_.reset(new BoolStack((int)program_.size() + 2));
    needsNeedle_ = !Evaluate([](int) { return false; });
}

template <class F>
int TLineSearch::Evaluate(F value) {
    BoolStack& stack = *stack_;
    stack.Clear();
    for (const Step& step : program_) {
        switch (step.op) {
            case OP_NOT:
                stack.Not();
                break;
            case OP_AND:
                stack.And();
                break;
            case OP_OR:
                stack.Or();
                break;
            case OP_OPERAND:
                stack.Push(value(step.needle) ? 1 : 0);
                break;
        }
        if (stack.Error()) return 0;
    }
    return stack.Count() == 1 && stack.Pop() != 0 ? 1 : 0;
}

int TLineSearch::Match(const char* line, int len) {
    if (!expression_) return needles_[0].Search(line, len);
    if (!valid_) return 0;
    return Evaluate([&](int i) { return needles_[i].Search(line, len) > 0; });
}

int SearchForExpression(const String& line, const String& expression, int caseSensitive,
                        int wholeWord) {
    TLineSearch search(expression, 1, caseSensitive, wholeWord);
    return search.Match(line.Data(), line.Length());
}
