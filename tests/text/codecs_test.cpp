// The value encodings of the wire protocol: the CR/LF escapes, numbers and
// booleans.
#include "text/codecs.h"

#include <gtest/gtest.h>

#include <string>

#include "support/agent.h"

namespace {

// Only the upper-case escapes of CR and LF are decoded, each once; '%'
// itself is not escaped.
TEST(Codecs, LineBreakEscapes) {
    const struct {
        std::string plain;
        std::string encoded;
    } pairs[] = {
        {"a\r\nb", "a%0D%0Ab"},
        {"100%", "100%"},
        {std::string("x\0y\n", 4), std::string("x\0y%0A", 6)},
    };
    for (const auto& p : pairs) {
        EXPECT_EQ(Str(owlEncodeStrings(Bytes(p.plain))), p.encoded);
        EXPECT_EQ(Str(owlDecodeStrings(Bytes(p.encoded))), p.plain);
    }
    const char* decoded[][2] = {
        {"%0d", "%0d"}, {"5%0", "5%0"}, {"%1A", "%1A"}, {"%%0A", "%\n"}, {"%0A0A", "\n0A"},
    };
    for (const auto& c : decoded) EXPECT_EQ(Str(owlDecodeStrings(String(c[0]))), c[1]) << c[0];
    // -1, the "up to the zero byte" of String, never lets a raw line break through.
    EXPECT_EQ(Str(owlEncodeStrings("a\rb", -1)), "a%0Db");
    EXPECT_EQ(Str(owlEncodeStrings("a\rb", 2)), "a%0D");
    EXPECT_EQ(Str(owlEncodeStrings("\nb", 1)), "%0A");
    EXPECT_EQ(Str(owlDecodeStrings("%0A%0D", 0)), "\n\r");
    EXPECT_EQ(Str(owlDecodeStrings("ab%0A", 4)), "ab%0");  // cut short at the counted end
    EXPECT_EQ(Str(owlEncodeStrings(nullptr, 5)), "");
    EXPECT_EQ(Str(owlDecodeStrings(nullptr, 5)), "");
}

// The plain forms take the leading number; the checking forms take only a
// whole decimal number and leave out alone otherwise; "1" alone is true.
TEST(Codecs, NumbersAndBooleans) {
    const struct {
        const char* text;
        long long value;
        int checked, flag;
    } cases[] = {{"-42", -42, 1, 0}, {"12abc", 12, 0, 0}, {" 7", 7, 0, 0}, {"-", 0, 1, 0},
                 {"", 0, 1, 0},      {"1", 1, 1, 1},      {"01", 1, 1, 0}, {"1 ", 1, 0, 0}};
    for (const auto& c : cases) {
        auto check = [&c](auto text) {
            long long out64 = 99;
            EXPECT_EQ(owlDecodeBool(text), c.flag);
            EXPECT_EQ(owlDecodeInt64(text), c.value);
            EXPECT_EQ(owlDecodeInt64(text, &out64), c.checked);
            EXPECT_EQ(out64, c.checked ? c.value : 99);
            int out = 99;
            EXPECT_EQ(owlDecodeInt(text), c.value);
            EXPECT_EQ(owlDecodeInt(text, &out), c.checked);
            EXPECT_EQ(out, c.checked ? c.value : 99);
        };
        SCOPED_TRACE(c.text);
        check(c.text);
        check(String(c.text));
    }
    int out = 5;
    EXPECT_EQ(owlDecodeInt(static_cast<const char*>(nullptr), &out), 0);
    EXPECT_EQ(out, 5);
    EXPECT_EQ(owlDecodeInt(static_cast<const char*>(nullptr)), 0);
    EXPECT_EQ(owlDecodeBool(static_cast<const char*>(nullptr)), 0);
    long long out64 = 1;
    EXPECT_EQ(owlDecodeInt64(String("-9000000000x")), -9000000000LL);
    EXPECT_EQ(owlDecodeInt64("9000000000", &out64), 1);
    EXPECT_EQ(out64, 9000000000LL);
}

}  // namespace
