#include "text/vtstring.h"

#include <gtest/gtest.h>
#include <string.h>

#include <string>

#include "support/agent.h"

namespace {

TEST(String, ConstructionAndBuffers) {
    String empty;
    EXPECT_EQ(empty.Data(), nullptr);
    EXPECT_EQ(empty.Length(), 0);
    String fromNull(static_cast<const char*>(nullptr));
    EXPECT_EQ(fromNull.Data(), nullptr);
    String fromEmpty("");
    EXPECT_EQ(fromEmpty.Data(), nullptr);
    String copyOfEmpty(empty);
    EXPECT_EQ(copyOfEmpty.Data(), nullptr);

    String a("abc");
    String b(a);
    EXPECT_NE(a.Data(), b.Data());
    EXPECT_EQ(Str(b), "abc");
    b = "";
    EXPECT_EQ(b.Data(), nullptr);
    a = a;  // self-assignment keeps the text
    EXPECT_EQ(Str(a), "abc");
}

TEST(String, ZeroBytesAreText) {
    String s;
    s.AddData("a\0b", 3);
    EXPECT_EQ(s.Length(), 3);
    EXPECT_EQ(s.Pos('b'), 3);
    String t;
    t.AddData("a\0c", 3);
    EXPECT_FALSE(s == t);
    EXPECT_EQ(s.Pos("\0b", 2), 2);
}

TEST(String, GrowthRuleAndSetZero) {
    String s;
    s.SetZero();
    ASSERT_NE(s.Data(), nullptr);
    EXPECT_STREQ(s.Data(), "");
    std::string big(300, 'x');
    for (char c : big) s.AddChar(c);
    EXPECT_EQ(Str(s), big);
    s.SetZero();
    EXPECT_EQ(strlen(s.Data()), 300u);

    // A text that fills its buffer exactly still gets its terminating zero.
    String exact(5);
    exact.AddData("hello", 5);
    exact.SetZero();
    EXPECT_STREQ(exact.Data(), "hello");

    String buf;
    buf.SetLength(10);
    EXPECT_EQ(buf.Length(), 10);
    for (int i = 1; i <= 10; i++) EXPECT_EQ(buf[i], 0);
    buf.SetLength(0);
    EXPECT_EQ(buf.Data(), nullptr);
}

TEST(String, FixedCapacityAndConcatenation) {
    String fixed(4);
    fixed.AddData("abcdef", -1);
    EXPECT_EQ(Str(fixed), "abcd");
    fixed.AddChar('z');
    EXPECT_EQ(Str(fixed), "abcd");
    fixed = "";  // freeing the buffer ends fixed mode
    fixed += "abcdefgh";
    EXPECT_EQ(Str(fixed), "abcdefgh");

    String ab("ab");
    String abc = ab + 'c';
    EXPECT_EQ(Str(abc), "abc");
    abc += "defghijklmnop";  // grows past the exact size of the result
    EXPECT_EQ(Str(abc), "abcdefghijklmnop");
    EXPECT_EQ(Str(ab + String("xy")), "abxy");
    EXPECT_EQ(Str(ab + static_cast<const char*>(nullptr)), "ab");
    EXPECT_EQ(Str(String() + String()), "");
    EXPECT_EQ(Str(ab), "ab");

    // Appending a String to itself, across a reallocation.
    String self(std::string(127, 'q').c_str());
    self += self;
    EXPECT_EQ(Str(self), std::string(254, 'q'));
}

TEST(String, Comparison) {
    String empty, withBuf("x");
    withBuf.Delete(1, 1);
    EXPECT_TRUE(empty == withBuf);
    EXPECT_TRUE(empty == static_cast<const char*>(nullptr));
    EXPECT_FALSE(String("a") == static_cast<const char*>(nullptr));
    EXPECT_TRUE(String("abc") == "abc");
    EXPECT_TRUE(String("abc") != "abd");
    EXPECT_TRUE(String("abc") != "ab");
}

TEST(String, PosCopyDelete) {
    String e;
    EXPECT_EQ(e.Pos("a", -1), 0);
    EXPECT_EQ(e.Pos('a'), 0);
    String t("abcabc");
    EXPECT_EQ(t.Pos("ca", -1), 3);
    EXPECT_EQ(t.Pos(static_cast<const char*>(nullptr), 1), 0);
    EXPECT_EQ(t.Pos("", -1), 0);
    EXPECT_EQ(t.Pos("abcabcabc", -1), 0);
    EXPECT_EQ(t.Pos(String()), 0);
    EXPECT_EQ(t.Pos(String("cab")), 3);

    String s("abcdef");
    EXPECT_EQ(Str(s.Copy(3, 100)), "cdef");
    EXPECT_EQ(Str(s.Copy(7, 1)), "");
    EXPECT_EQ(Str(s.Copy(2, 0)), "");
    EXPECT_EQ(Str(s.Copy(2, -5)), "");
    EXPECT_EQ(Str(s.Copy(1, 0x7fffffff)), "abcdef");
    String d = s;
    d.Delete(0, 2);
    d.Delete(7, 1);
    d.Delete(2, 0);
    EXPECT_EQ(Str(d), "abcdef");
    d.Delete(2, 0x7fffffff);
    EXPECT_EQ(Str(d), "a");
    d = s;
    d.Delete(3, 2);
    EXPECT_EQ(Str(d), "abef");
}

TEST(String, GetWord) {
    String s("a,,b");
    EXPECT_EQ(Str(s.GetWord(0, ',')), "a");
    EXPECT_EQ(Str(s.GetWord(1, ',')), "a");
    EXPECT_EQ(Str(s.GetWord(2, ',')), "");
    EXPECT_EQ(Str(s.GetWord(3, ',')), "b");
    EXPECT_EQ(Str(s.GetWord(4, ',')), "");
    EXPECT_EQ(Str(String("a").GetWord(2, ',')), "");
    EXPECT_EQ(Str(String("a,").GetWord(2, ',')), "");
    EXPECT_EQ(Str(String().GetWord(1, ',')), "");
    EXPECT_EQ(Str(String("x y z").GetWord(3, ' ')), "z");
}

TEST(String, SearchWholeWordAndCase) {
    String s("Concat CAT");
    EXPECT_EQ(s.Search("cat", 0, 1), 8);
    EXPECT_EQ(s.Search("cat", 1, 0), 4);
    EXPECT_EQ(s.Search("cat", 1, 1), 0);
    EXPECT_EQ(s.Search("", 0, 0), 0);
    EXPECT_EQ(String().Search("a", 0, 0), 0);
    // A byte above 0x7F is no letter, so it bounds a word.
    EXPECT_EQ(String("\xe9"
                     "cat\xe9")
                  .Search("cat", 1, 1),
              2);
    EXPECT_EQ(String("cats cat").Search("cat", 1, 1), 6);
    EXPECT_EQ(s.Search("Concat CAT and more", 0, 0), 0);
}

TEST(String, ReplaceAll) {
    EXPECT_EQ(Str(String(",,").ReplaceAll(",", ";", 1)), ";;");
    EXPECT_EQ(Str(String("x").ReplaceAll("x", "replacement", 1)), "replacement");
    EXPECT_EQ(Str(String("xaBy").ReplaceAll("AB", "-", 0)), "x-y");
    EXPECT_EQ(Str(String("xaBy").ReplaceAll("AB", "-", 1)), "xaBy");
    EXPECT_EQ(Str(String("abc").ReplaceAll("", "-", 1)), "abc");
    // The replacement is not scanned again.
    EXPECT_EQ(Str(String("aa").ReplaceAll("a", "aa", 1)), "aaaa");
    EXPECT_EQ(Str(String("a\r\nb").ReplaceAll("\r", "%0D", 1)), "a%0D\nb");
    EXPECT_EQ(Str(String().ReplaceAll("a", "b", 1)), "");
}

TEST(String, TrimRepeatsLowerCase) {
    String blank(" \t\x01");
    blank.Trim();
    EXPECT_EQ(blank.Length(), 0);
    EXPECT_EQ(blank.Data(), nullptr);
    String accent("a\xe9");
    accent.Trim();
    EXPECT_EQ(Str(accent), "a");
    String mid("  a b  ");
    mid.Trim();
    EXPECT_EQ(Str(mid), "a b");
    String none;
    none.Trim();
    EXPECT_EQ(none.Length(), 0);

    String r("  a  b  ");
    r.RemoveRepeats(' ');
    EXPECT_EQ(Str(r), " a b ");
    String c(",,a,,,b,");
    c.RemoveRepeats(',');
    EXPECT_EQ(Str(c), ",a,b,");

    String l("AbC\xc9Z");
    l.LowerCase();
    EXPECT_EQ(Str(l), "abc\xc9z");
}

TEST(String, StrCpy) {
    char buf[8];
    memset(buf, 'X', sizeof buf);
    String("abcdef").StrCpy(buf, 4);
    EXPECT_STREQ(buf, "abc");
    String("ab").StrCpy(buf, 8);
    EXPECT_STREQ(buf, "ab");
    String("abcdef").StrCpy(buf, -1);
    EXPECT_STREQ(buf, "abcdef");
    memset(buf, 'X', sizeof buf);
    String().StrCpy(buf, 8);
    EXPECT_EQ(buf[0], 'X');
    String("abc").StrCpy(buf, 0);
    EXPECT_EQ(buf[0], 'X');
    EXPECT_EQ(String("abc").StrCpy(nullptr, 4), nullptr);
}

TEST(StrList, AddReadDeleteGrow) {
    TStrList list;
    list.Clear();
    list.Add(String());
    EXPECT_EQ(list.Count(), 1);
    EXPECT_EQ(list[0].Length(), 0);
    list.Clear();
    for (int i = 0; i < 32; i++) list.Add(String(std::to_string(i).c_str()));
    EXPECT_EQ(list.Capacity() / 4, 32u);
    list.Add("32");
    EXPECT_EQ(list.Capacity() / 4, 64u);
    EXPECT_EQ(Str(list[32]), "32");

    TStrList three;
    three.Add("a");
    three.Add("b");
    three.Add("c");
    three.Delete(0);
    ASSERT_EQ(three.Count(), 2);
    EXPECT_EQ(Str(three[0]), "b");
    EXPECT_EQ(Str(three[1]), "c");
    three.DeleteLast();
    EXPECT_EQ(three.Count(), 1);
    EXPECT_EQ(Str(three[0]), "b");
}

TEST(StrListDeathTest, IndexOutOfRangeAsserts) {
    TStrList list;
    list.Add("a");
    // The stable part of an assertion message: the file and the function;
    // the rest of the wording is the C library's.
    EXPECT_DEATH(list[1], "vtstring.*operator\\[\\]");
    EXPECT_DEATH(list[-1], "vtstring.*operator\\[\\]");
    EXPECT_DEATH(list.Delete(5), "vtstring.*Delete");
    TStrList empty;
    EXPECT_DEATH(empty.DeleteLast(), "vtstring.*Delete");
}

TEST(ByteHelpers, SearchAndDigits) {
    EXPECT_EQ(mempos("xababa", 6, "aba", 3), 2);
    EXPECT_EQ(memposi("xababa", 6, "ABA", 3), 2);
    EXPECT_EQ(mempos("xababa", 6, "aba", 0), 0);
    EXPECT_EQ(mempos(nullptr, 6, "aba", 3), 0);
    EXPECT_EQ(mempos("ab", 2, "abc", 3), 0);
    EXPECT_EQ(memposi("\xc9", 1, "\xe9", 1), 0);  // only ASCII folds

    EXPECT_TRUE(isdecimalnum("-12"));
    EXPECT_TRUE(isdecimalnum("12-"));
    EXPECT_TRUE(isdecimalnum(""));
    EXPECT_FALSE(isdecimalnum("1.5"));
    EXPECT_FALSE(isdecimalnum(" 1"));
    EXPECT_TRUE(isdecimalnum("12x", 2));
    EXPECT_FALSE(isdecimalnum("-1", 2));
    EXPECT_TRUE(isdecimalnum("x", 0));

    char text[] = "aZ\xe9";
    EXPECT_STREQ(strupper(text), "AZ\xe9");
    EXPECT_STREQ(strlower(text), "az\xe9");
    char withZero[] = {'A', 0, 'B'};
    strlower(withZero, 3);
    EXPECT_EQ(withZero[2], 'b');
    EXPECT_EQ(UpCase('{'), '{');
    EXPECT_EQ(LoCase('@'), '@');
}

}  // namespace
