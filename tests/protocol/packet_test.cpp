// Request and reply packets: the value codecs, the cipher, the length
// fields, the request parser and every reply writer.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <string.h>
#include <time.h>

#include <string>

#include "config/settings.h"
#include "crypto/twofish.h"
#include "protocol/client.h"
#include "protocol/codecs.h"
#include "protocol/owl_const.h"
#include "protocol/owlreply.h"
#include "protocol/qxrequest.h"
#include "support/agent.h"

namespace {

// The cipher tables are built once, as the agent does at start-up; the
// request parser writes its debug lines as under "owl -i" with debugging on.
struct AgentStartUp : ::testing::Environment {
    void SetUp() override {
        Twofish_initialise();
        TSettingsWriteLock lock;
        OWLSettings.debug = OWLSettings.interactive = 1;
    }
};
const auto* const kAgentStartUp = ::testing::AddGlobalTestEnvironment(new AgentStartUp);

// The exact bytes of the cipher and the digest are pinned by the worked
// packets of docs/protocol.md (protocol_doc_test.cpp).
TEST(Packets, CipherAndLengthFields) {
    const String password("secret");
    for (int n : {1, 2, 15, 16, 17, 300}) {
        std::string plain(n, '\0');
        for (int i = 0; i < n; i++) plain[i] = (char)(i * 7 + 3);
        String cipher = EncodeData(Bytes(plain), password, 0);
        EXPECT_EQ(Str(DecodeData(cipher, password)), plain);
        EXPECT_EQ(DecodeData(cipher, String("other")).Length(), n);  // not an error
        EXPECT_EQ(Str(EncodeData(Bytes(plain), password, 4)),
                  Str(EncodeLength(cipher, 4) + cipher));
    }
    EXPECT_EQ(EncodeData(String(), password, 4).Length(), 0);
    EXPECT_EQ(DecodeData(String(), password).Length(), 0);
    EXPECT_EQ(Str(EncodeLength(String(std::string(300, 'a').c_str()), 2)), "\x2C\x01");
    const char le[] = {0x78, 0x56, 0x34, 0x12};
    const int byDigits[] = {0, 0x78, 0x5678, 0, 0x12345678};
    for (int d = 0; d <= 4; d++) EXPECT_EQ(DecodeLength(le, d), byDigits[d]) << d;
}

TEST(PacketsDeathTest, LengthDigitsAboveFourAssert) {
    EXPECT_DEATH(EncodeLength(String("x"), 5), "owl_const.*EncodeLength");
    char buf[8] = {0};
    EXPECT_DEATH(DecodeLength(buf, 5), "owl_const.*DecodeLength");
}

TEST(ReplyText, StatusAndValueWriters) {
    OWLReply r;
    r.InitPacket("abc", String("key"));
    EXPECT_EQ(Str(r), "abc\n");
    EXPECT_EQ(Str(r.SessionKey), "key");
    r.SetResult(nullptr);
    EXPECT_EQ(r.Length(), 0);
    r.AddIntParam(5);
    r.SetResult("200");  // replaces everything
    r.AddIntParam(-7);
    r.AddIntParam(5LL);
    r.AddIntParam(1234567LL);
    r.AddRealParam(3.5);
    r.AddBoolParam(42);
    r.AddBoolParam(0);
    struct tm t = {};
    strptime("05032009140709", "%d%m%Y%H%M%S", &t);
    r.AddTimeParam(t);
    r.AddStringParam("a\nb", 0);
    r.AddStringParam("a\r\nb", 1);
    r.AddStringParam(String("c\nd"), 1);
    r.AddStringParam(static_cast<const char*>(nullptr), 0);
    EXPECT_EQ(Str(r),
              "200\n-7\n     5\n1234567\n3.5000\n1\n0\n05032009140709\na\nb\na%0D%0Ab\nc%0Ad\n\n");
    OWLReply local;
    local.AddTimeParam((long)mktime(&t));
    EXPECT_EQ(Str(local), "05032009140709\n");
    // printf output is cut to 2047 bytes; longer output is left out.
    for (int n : {2047, 2048, 2049}) {
        OWLReply var;
        var.AddVarParams("%s", std::string(n, 'a').c_str());
        EXPECT_EQ(Str(var), n > 2048 ? "" : std::string(std::min(n, 2047), 'a') + "\n") << n;
    }
}

// The packet is the length and the text, ended by LF and CR, under the key.
TEST(ReplyText, FinalizeEncryptsTextWithCr) {
    const char* cases[][3] = {
        {"", "200\n", "200\n\r"}, {"session", "300\nx", "300\nx\n\r"}, {"k", "", "\r"}};
    for (const auto& c : cases) {
        OWLReply r;
        r.InitPacket(nullptr, String(c[0]));
        r += c[1];
        r.FinalizePacket();
        String text;
        ASSERT_TRUE(DecodeReplyPacket(r, String(c[0]), text)) << c[1];
        EXPECT_EQ(Str(text), c[2]);
    }
}

TEST(RequestParams, LinesAndCount) {
    const struct {
        const char* text;
        int index, trim;
        const char* param;
        int count;
    } cases[] = {{"x\ny", 1, 0, "x", 1},      {"x\ny", 0, 0, "x", 1},
                 {"x\ny", -3, 0, "x", 1},     {"x\ny", 2, 0, "y", 1},
                 {"x\ny", 3, 0, "", 1},       {"x\n", 2, 0, "", 1},
                 {"a\nb\n\r", 3, 0, "\r", 2}, {"a\nb\n\r", 3, 1, "", 2},
                 {" v \n", 1, 1, "v", 1},     {"", 1, 1, "", 0}};
    for (const auto& c : cases) {
        QXRequest q;
        q = c.text;
        EXPECT_EQ(Str(q.GetParam(c.index, c.trim)), c.param) << c.text << " " << c.index;
        EXPECT_EQ(q.GetParamsCount(), c.count) << c.text;
    }
}

TEST(RequestFraming, WholePacket) {
    QXRequest q;
    String packet = BuildRequestPacket(String("pw"), String("key"), String("GetInfo\r"));
    for (int n = 0; n < packet.Length(); n++) {
        q = packet.Copy(1, n);
        EXPECT_FALSE(q.WholePacket()) << n;
    }
    q = packet;
    EXPECT_TRUE(q.WholePacket());
    EXPECT_FALSE(q.PacketTooLarge());
    // A huge announced length wraps when 4 is added: complete at once.
    q = Bytes(std::string("\xFC\xFF\xFF\x7F") + std::string(10, 'z'));
    EXPECT_TRUE(q.WholePacket());
    EXPECT_TRUE(q.PacketTooLarge());
    q = Bytes(std::string("\x00\x00\x00\x01", 4));  // 16 MiB exactly is allowed
    EXPECT_FALSE(q.PacketTooLarge());
    q = Bytes(std::string("\x01\x00\x00\x01", 4));
    EXPECT_TRUE(q.PacketTooLarge());
}

TEST(ClientText, RequestTextEscapesParameters) {
    std::vector<String> params = {String("a\r\nb"), String("")};
    EXPECT_EQ(Str(BuildRequestText(String("TEST-X"), params)), "TEST-X\na%0D%0Ab\n\n\r");
    EXPECT_EQ(Str(BuildRequestText(String("QUIT"), {})), "QUIT\n\r");
    String k1 = NewSessionKey(), k2 = NewSessionKey();
    EXPECT_EQ(k1.Length(), 16);
    EXPECT_NE(Str(k1), Str(k2));
}

// ParseInitRequest runs its checks in a fixed order; the debug lines show
// how far a packet got.
class ParseRequest : public ::testing::Test {
  protected:
    // Parses bytes under password into q; the debug lines go to log.
    int Parse(const std::string& bytes, const char* password) {
        q = Bytes(bytes);
        in_addr peer;
        peer.s_addr = htonl(0x7F000001);
        ::testing::internal::CaptureStdout();
        int rc = q.ParseInitRequest(String(password), peer);
        log = ::testing::internal::GetCapturedStdout();
        return rc;
    }
    bool Logged(const std::string& text) const { return log.find(text) != std::string::npos; }
    static std::string Good(const char* text = "GetInfo\n\r", const char* key = "session") {
        return Str(BuildRequestPacket(String("pw"), String(key), String(text)));
    }
    QXRequest q;
    std::string log;
};

TEST_F(ParseRequest, ChecksInOrder) {
    const std::string good = Good();
    const struct {
        size_t at;
        uint32_t value;
        int width;
        const char *reached, *notReached;
    } cases[] = {
        // The length field must cover exactly what arrived.
        {0, (uint32_t)good.size() - 5, 4, "<-- OWL packet size: ", "Pswd size"},
        {6, 0xFFFF, 2, "<-- Pswd size: 65535\n", "Key size"},      // P overruns
        {8 + 16, 0xFFFF, 2, "<-- Key size: 65535\n", "Req size"},  // K overruns
        {33, 100, 4, "<-- Req size: ", "Wrong password"},          // R overruns,
        {33, 0xFFFFFFFF, 4, "<-- Req size: ", "Wrong password"},   // also when it wraps
        {5, 0x13, 1, "<-- Req size: ", "Wrong password"},          // auth: after the lengths
    };
    for (const auto& c : cases) {
        std::string p = good;
        for (int i = 0; i < c.width; i++) p[c.at + i] = (char)((c.value >> (8 * i)) & 0xFF);
        EXPECT_EQ(Parse(p, "pw"), 0) << c.reached;
        EXPECT_TRUE(Logged(c.reached)) << log;
        EXPECT_FALSE(Logged(c.notReached)) << log;
    }
    EXPECT_EQ(Parse(std::string(13, '\0'), "pw"), 0);  // below the minimum size
    EXPECT_FALSE(Logged("OWL packet size")) << log;
    // Empty texts and empty keys (R = 0, K = 0) are valid.
    const char* accepted[][2] = {{"", "k"}, {"x\r", ""}, {"GetInfo\n\r", "session"}};
    for (const auto& c : accepted) {
        ASSERT_EQ(Parse(Good(c[0], c[1]), "pw"), 1) << c[0];
        EXPECT_EQ(Str(q), c[0]);
        EXPECT_EQ(Str(q.GetSessionKey()), c[1]);
    }
    EXPECT_TRUE(Logged("\t 127.0.0.1\t <-- TCP packet size: ")) << log;
    EXPECT_TRUE(Logged("<-- Req size: 9\n")) << log;
    // Then the password; a failed parse leaves the text as it was, without a key.
    EXPECT_EQ(Parse(good, "other"), 0);
    EXPECT_TRUE(Logged("\t 127.0.0.1\t <-- Wrong password or MD5 error\n")) << log;
    EXPECT_EQ(Str(q), good);
    EXPECT_EQ(q.GetSessionKey().Length(), 0);
    // The minimal packet meets the password check when a password is set.
    std::string minimal = std::string("\x0a\x00\x00\x00\x03\x12", 6) + std::string(8, '\0');
    EXPECT_EQ(Parse(minimal, "pw"), 0);
    EXPECT_TRUE(Logged("Wrong password")) << log;
    EXPECT_EQ(Parse(minimal, ""), 1);
}

TEST(Codecs, LineBreakEscapes) {
    const struct {
        std::string plain;
        std::string encoded;
    } pairs[] = {
        {"a\r\nb", "a%0D%0Ab"},
        {"\n\n", "%0A%0A"},
        {"\r", "%0D"},
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
    // Cut short at the end of the counted bytes.
    EXPECT_EQ(Str(owlDecodeStrings("ab%0A", 4)), "ab%0");
}

// Only the upper-case escapes of CR and LF are decoded, each once.
TEST(Codecs, DecodingLeavesEverythingElse) {
    const char* cases[][2] = {
        {"%0d", "%0d"},   {"%0a", "%0a"},  {"100%", "100%"},  {"5%0", "5%0"},
        {"%", "%"},       {"%%0", "%%0"},  {"%1A", "%1A"},    {"%0B", "%0B"},
        {"%00A", "%00A"}, {"%%0A", "%\n"}, {"%0A0A", "\n0A"},
    };
    for (const auto& c : cases) EXPECT_EQ(Str(owlDecodeStrings(String(c[0]))), c[1]) << c[0];
    // A value holding the characters "%0A" arrives as a line break.
    EXPECT_EQ(Str(owlDecodeStrings(owlEncodeStrings(String("50%0A")))), "50\n");
}

// The plain forms take the leading number; the checking forms take only a
// whole decimal number and leave out alone otherwise; "1" alone is true.
TEST(Codecs, NumbersAndBooleans) {
    const struct {
        const char* text;
        long long value;
        int checked, flag;
    } cases[] = {{"12", 12, 1, 0}, {"12abc", 12, 0, 0}, {"-", 0, 1, 0},  {"1-2", 1, 1, 0},
                 {"", 0, 1, 0},    {"-42", -42, 1, 0},  {" 7", 7, 0, 0}, {"abc", 0, 0, 0},
                 {"9e9", 9, 0, 0}, {"1", 1, 1, 1},      {"0", 0, 1, 0},  {"true", 0, 0, 0},
                 {"01", 1, 1, 0},  {" 1", 1, 0, 0},     {"1 ", 1, 0, 0}, {"11", 11, 1, 0},
                 {"+7", 7, 0, 0},  {"1.5", 1, 0, 0}};
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
    EXPECT_EQ(owlDecodeBool(String()), 0);
    long long out64 = 1;
    EXPECT_EQ(owlDecodeInt64(String("-9000000000x")), -9000000000LL);
    EXPECT_EQ(owlDecodeInt64("9000000000", &out64), 1);
    EXPECT_EQ(out64, 9000000000LL);
}

}  // namespace
