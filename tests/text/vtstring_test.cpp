#include "text/vtstring.h"

#include <gtest/gtest.h>
#include <string.h>

#include <string>

#include "support/agent.h"

namespace {

using namespace std::string_literals;

TEST(String, GrowthFixedCapacityAndSetZero) {
    EXPECT_STREQ(String().SetZero().Data(), "");
    String s;
    for (int i = 0; i < 300; i++) s.AddChar('x');
    EXPECT_EQ(strlen(s.SetZero().Data()), 300u);

    // A text that fills its buffer exactly still gets its terminating zero.
    String exact(5);
    exact.AddData("hello", 5);
    EXPECT_STREQ(exact.SetZero().Data(), "hello");

    String buf;
    buf.SetLength(10);
    EXPECT_EQ(Str(buf), std::string(10, '\0'));
    buf.SetLength(0);
    EXPECT_EQ(buf.Data(), nullptr);

    String fixed(4);
    fixed.AddData("abcdef", -1);
    fixed.AddChar('z');
    EXPECT_EQ(Str(fixed), "abcd");
    fixed = "";  // freeing the buffer ends fixed mode
    fixed += "abcdefgh";
    EXPECT_EQ(Str(fixed), "abcdefgh");

    String ab("ab");
    String abc = ab + 'c';
    abc += "defghijklmnop";  // grows past the exact size of the result
    EXPECT_EQ(Str(abc), "abcdefghijklmnop");
    EXPECT_EQ(Str(ab + String("xy")), "abxy");
    EXPECT_EQ(Str(ab + static_cast<const char*>(nullptr)), "ab");
    EXPECT_EQ(Str(ab), "ab");

    // Appending a String to itself, across a reallocation.
    String self(std::string(127, 'q').c_str());
    self += self;
    EXPECT_EQ(Str(self), std::string(254, 'q'));
}

TEST(String, PosCopyDeleteGetWord) {
    String t("abcabc");
    EXPECT_EQ(String().Pos("a", -1), 0);
    EXPECT_EQ(String().Pos('a'), 0);
    EXPECT_EQ(t.Pos("ca", -1), 3);
    EXPECT_EQ(t.Pos(static_cast<const char*>(nullptr), 1), 0);
    EXPECT_EQ(t.Pos("abcabcabc", -1), 0);
    EXPECT_EQ(t.Pos(String()), 0);
    EXPECT_EQ(t.Pos(String("cab")), 3);

    const struct {
        int pos, count;
        const char *copy, *afterDelete;
    } ranges[] = {
        {3, 100, "cdef", "ab"}, {7, 1, "", "abcdef"},          {2, 0, "", "abcdef"},
        {0, 2, "", "abcdef"},   {2, 0x7fffffff, "bcdef", "a"}, {3, 2, "cd", "abef"},
    };
    for (const auto& r : ranges) {
        String s("abcdef");
        EXPECT_EQ(Str(s.Copy(r.pos, r.count)), r.copy) << r.pos << "," << r.count;
        s.Delete(r.pos, r.count);
        EXPECT_EQ(Str(s), r.afterDelete) << r.pos << "," << r.count;
    }

    const struct {
        const char* text;
        int n;
        const char* word;
    } words[] = {
        {"a,,b", 0, "a"}, {"a,,b", 2, ""}, {"a,,b", 3, "b"},
        {"a,,b", 4, ""},  {"a,", 2, ""},   {"", 1, ""},
    };
    for (const auto& w : words)
        EXPECT_EQ(Str(String(w.text).GetWord(w.n, ',')), w.word) << w.text << " " << w.n;
}

// Search: a byte above 0x7F is no letter, so it bounds a word. ReplaceAll
// does not scan a replacement again.
TEST(String, SearchAndReplaceAll) {
    const struct {
        const char *text, *needle;
        int caseSensitive, wholeWord, found;
    } searches[] = {
        {"Concat CAT", "cat", 0, 1, 8},  {"Concat CAT", "cat", 1, 0, 4},
        {"Concat CAT", "", 0, 0, 0},     {"", "a", 0, 0, 0},
        {"\351cat\351", "cat", 1, 1, 2}, {"cats cat", "cat", 1, 1, 6},
    };
    for (const auto& s : searches)
        EXPECT_EQ(String(s.text).Search(s.needle, s.caseSensitive, s.wholeWord), s.found)
            << s.text << " / " << s.needle;

    const struct {
        const char *text, *what, *with;
        int caseSensitive;
        const char* result;
    } replaces[] = {
        {",,", ",", ";", 1, ";;"},    {"xaBy", "AB", "-", 0, "x-y"}, {"abc", "", "-", 1, "abc"},
        {"aa", "a", "aa", 1, "aaaa"}, {"", "a", "b", 1, ""},
    };
    for (const auto& r : replaces)
        EXPECT_EQ(Str(String(r.text).ReplaceAll(r.what, r.with, r.caseSensitive)), r.result)
            << r.text << " / " << r.what;
}

TEST(String, TrimRepeatsLowerCaseStrCpy) {
    const struct {
        const char *text, *trimmed;
    } trims[] = {{" \t\x01", ""}, {"a\xe9", "a"}, {"  a b  ", "a b"}, {"", ""}};
    for (const auto& t : trims) {
        String s(t.text);
        EXPECT_EQ(Str(s.Trim()), t.trimmed) << t.text;
        EXPECT_TRUE(s.Length() > 0 || s.Data() == nullptr) << t.text;  // no buffer when empty
    }
    EXPECT_EQ(Str(String(",,a,,,b,").RemoveRepeats(',')), ",a,b,");
    EXPECT_EQ(Str(String("AbC\xc9Z").LowerCase()), "abc\xc9z");

    char buf[8];
    EXPECT_STREQ(String("abcdef").StrCpy(buf, 4), "abc");
    EXPECT_STREQ(String("ab").StrCpy(buf, 8), "ab");
    EXPECT_STREQ(String("abcdef").StrCpy(buf, -1), "abcdef");
    memset(buf, 'X', sizeof buf);
    String().StrCpy(buf, 8);
    String("abc").StrCpy(buf, 0);
    EXPECT_EQ(buf[0], 'X');
    EXPECT_EQ(String("abc").StrCpy(nullptr, 4), nullptr);
}

TEST(StrList, AddReadDeleteGrow) {
    TStrList list;
    list.Add(String());
    EXPECT_EQ(list[0].Length(), 0);
    list.Clear();
    for (int i = 0; i < 32; i++) list.Add(String(std::to_string(i).c_str()));
    EXPECT_EQ(list.Capacity() / 4, 32u);
    list.Add("32");
    EXPECT_EQ(list.Capacity() / 4, 64u);
    EXPECT_EQ(Str(list[32]), "32");
    list.Delete(0);
    list.DeleteLast();
    ASSERT_EQ(list.Count(), 31);
    EXPECT_EQ(Str(list[0]), "1");
    EXPECT_EQ(Str(list[9]), "10");  // the lengths moved with the texts
    EXPECT_EQ(Str(list[30]), "31");
}

TEST(ByteHelpers, SearchAndDigits) {
    EXPECT_EQ(mempos("xababa", 6, "aba", 3), 2);
    EXPECT_EQ(memposi("xababa", 6, "ABA", 3), 2);
    EXPECT_EQ(mempos("xababa", 6, "aba", 0), 0);
    EXPECT_EQ(mempos(nullptr, 6, "aba", 3), 0);
    EXPECT_EQ(mempos("ab", 2, "abc", 3), 0);
    EXPECT_EQ(memposi("\xc9", 1, "\xe9", 1), 0);  // only ASCII folds

    for (const char* yes : {"-12", "12-", ""}) EXPECT_TRUE(isdecimalnum(yes)) << yes;
    for (const char* no : {"1.5", " 1"}) EXPECT_FALSE(isdecimalnum(no)) << no;
    EXPECT_TRUE(isdecimalnum("12x", 2));
    EXPECT_FALSE(isdecimalnum("-1", 2));
    EXPECT_TRUE(isdecimalnum("x", 0));

    char text[] = "aZ\xe9{@";
    EXPECT_STREQ(strupper(text), "AZ\xe9{@");
    EXPECT_STREQ(strlower(text), "az\xe9{@");
    char withZero[] = {'A', 0, 'B'};
    strlower(withZero, 3);
    EXPECT_EQ(withZero[2], 'b');
}

}  // namespace
