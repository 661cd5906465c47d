#include "protocol/codecs.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

#include "support/agent.h"

namespace {

TEST(Codecs, LineBreakEscapes) {
    const struct {
        std::string plain;
        std::string encoded;
    } pairs[] = {
        {"a\r\nb", "a%0D%0Ab"},
        {"\n\n", "%0A%0A"},
        {"100%", "100%"},  // '%' itself is not escaped
        {"", ""},
        {std::string("x\0y\n", 4), std::string("x\0y%0A", 6)},
    };
    for (const auto& p : pairs) {
        EXPECT_EQ(Str(owlEncodeStrings(Bytes(p.plain))), p.encoded);
        EXPECT_EQ(Str(owlDecodeStrings(Bytes(p.encoded))), p.plain);
    }
    EXPECT_EQ(Str(owlEncodeStrings("a\rb", 0)), "a%0Db");  // n = 0: up to the zero byte
    EXPECT_EQ(Str(owlEncodeStrings("a\rb", 2)), "a%0D");
    // -1, the "up to the zero byte" of String, never lets a raw line break through.
    EXPECT_EQ(Str(owlEncodeStrings("a\rb", -1)), "a%0Db");
    EXPECT_EQ(Str(owlDecodeStrings("a%0Db", -1)), "a\rb");
    EXPECT_EQ(Str(owlEncodeStrings(nullptr, 5)), "");
    EXPECT_EQ(Str(owlDecodeStrings(nullptr, 5)), "");
    EXPECT_EQ(Str(owlDecodeStrings("%0A%0D", 0)), "\n\r");
}

TEST(Codecs, DecodingLeavesEverythingElse) {
    const char* unchanged[] = {"%0d", "%0a", "100%", "5%0", "%", "%%0", "%1A", "%0B", "%00A"};
    for (const char* text : unchanged) EXPECT_EQ(Str(owlDecodeStrings(String(text))), text) << text;
    EXPECT_EQ(Str(owlDecodeStrings(String("%%0A"))), "%\n");
    EXPECT_EQ(Str(owlDecodeStrings(String("%0A0A"))), "\n0A");  // decoded once, not again
    // A value holding the characters "%0A" arrives as a line break.
    EXPECT_EQ(Str(owlDecodeStrings(owlEncodeStrings(String("50%0A")))), "50\n");
    // Cut short at the end of the counted bytes.
    EXPECT_EQ(Str(owlDecodeStrings("ab%0A", 4)), "ab%0");
}

TEST(Codecs, EncodeThenDecodeRoundTrips) {
    std::mt19937 rng(99);
    const char alphabet[] = "%0ADad\r\n\0x";
    for (int round = 0; round < 500; round++) {
        std::string text;
        int size = rng() % 40;
        for (int i = 0; i < size; i++) text += alphabet[rng() % (sizeof(alphabet) - 1)];
        String encoded = owlEncodeStrings(Bytes(text));
        EXPECT_EQ(encoded.Pos('\r'), 0);
        EXPECT_EQ(encoded.Pos('\n'), 0);
        // Exact inverse unless the text itself held an escape sequence.
        if (text.find("%0A") == std::string::npos && text.find("%0D") == std::string::npos) {
            EXPECT_EQ(Str(owlDecodeStrings(encoded)), text);
        }
    }
}

TEST(Codecs, Booleans) {
    const struct {
        const char* text;
        int value;
    } cases[] = {{"1", 1},  {"0", 0},  {"true", 0}, {"01", 0},
                 {" 1", 0}, {"1 ", 0}, {"", 0},     {"11", 0}};
    for (const auto& c : cases) {
        EXPECT_EQ(owlDecodeBool(c.text), c.value) << c.text;
        EXPECT_EQ(owlDecodeBool(String(c.text)), c.value) << c.text;
    }
    EXPECT_EQ(owlDecodeBool(static_cast<const char*>(nullptr)), 0);
    EXPECT_EQ(owlDecodeBool(String()), 0);
}

TEST(Codecs, Integers) {
    const struct {
        const char* text;
        int value;
        int checked;  // result of the checking form
    } cases[] = {
        {"12", 12, 1}, {"12abc", 12, 0}, {"1.5", 1, 0}, {"-", 0, 1},  {"1-2", 1, 1},
        {"", 0, 1},    {"-42", -42, 1},  {" 7", 7, 0},  {"+7", 7, 0}, {"abc", 0, 0},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(owlDecodeInt(c.text), c.value) << c.text;
        EXPECT_EQ(owlDecodeInt(String(c.text)), c.value) << c.text;
        int out = 99;
        EXPECT_EQ(owlDecodeInt(c.text, &out), c.checked) << c.text;
        EXPECT_EQ(out, c.checked ? c.value : 99) << c.text;
        out = 99;
        EXPECT_EQ(owlDecodeInt(String(c.text), &out), c.checked) << c.text;
        EXPECT_EQ(out, c.checked ? c.value : 99) << c.text;
    }
    int out = 5;
    EXPECT_EQ(owlDecodeInt(static_cast<const char*>(nullptr), &out), 0);
    EXPECT_EQ(out, 5);
    EXPECT_EQ(owlDecodeInt(static_cast<const char*>(nullptr)), 0);
}

TEST(Codecs, SixtyFourBitIntegers) {
    EXPECT_EQ(owlDecodeInt64("10485760"), 10485760LL);
    EXPECT_EQ(owlDecodeInt64(""), 0LL);
    EXPECT_EQ(owlDecodeInt64(String("9000000000")), 9000000000LL);
    EXPECT_EQ(owlDecodeInt64("-9000000000x"), -9000000000LL);
    long long out = 1;
    EXPECT_EQ(owlDecodeInt64("9000000000", &out), 1);
    EXPECT_EQ(out, 9000000000LL);
    out = 1;
    EXPECT_EQ(owlDecodeInt64(String("9e9"), &out), 0);
    EXPECT_EQ(out, 1);
    EXPECT_EQ(owlDecodeInt64(String(""), &out), 1);
    EXPECT_EQ(out, 0);
}

}  // namespace
