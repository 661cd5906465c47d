// Request and reply packets: the cipher, the length fields, the request
// parser and every reply writer.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <string.h>

#include <string>

#include "config/settings.h"
#include "crypto/twofish.h"
#include "protocol/client.h"
#include "protocol/owl_const.h"
#include "protocol/owlreply.h"
#include "protocol/qxrequest.h"
#include "support/agent.h"

namespace {

// The cipher tables are built once, as the agent does at start-up.
class CipherTables : public ::testing::Environment {
  public:
    void SetUp() override { Twofish_initialise(); }
};
const auto* const kCipherTables = ::testing::AddGlobalTestEnvironment(new CipherTables);

class Packets : public ::testing::Test {};

TEST_F(Packets, CipherKeepsLengthAndInverts) {
    String password("secret");
    for (int n : {1, 2, 15, 16, 17, 300}) {
        std::string plain(n, '\0');
        for (int i = 0; i < n; i++) plain[i] = (char)(i * 7 + 3);
        String cipher = EncodeData(Bytes(plain), password, 0);
        ASSERT_EQ(cipher.Length(), n);
        EXPECT_NE(Str(cipher), plain);
        EXPECT_EQ(Str(DecodeData(cipher, password)), plain);
        // Another password gives text of the same length, not an error.
        EXPECT_EQ(DecodeData(cipher, String("other")).Length(), n);
    }
    EXPECT_EQ(EncodeData(String(), password, 4).Length(), 0);
    EXPECT_EQ(DecodeData(String(), password).Length(), 0);
    // CFB-8: a ciphertext byte depends on every byte before it.
    String a = EncodeData(String("aaaa"), password, 0);
    String b = EncodeData(String("abaa"), password, 0);
    EXPECT_EQ(a[1], b[1]);
    EXPECT_NE(a[3], b[3]);
}

TEST_F(Packets, LengthFields) {
    String one = EncodeData(String("x"), String("k"), 4);
    ASSERT_EQ(one.Length(), 5);
    EXPECT_EQ(Str(one.Copy(1, 4)), std::string("\x01\x00\x00\x00", 4));
    EXPECT_EQ(Str(EncodeLength(String(std::string(300, 'a').c_str()), 2)), "\x2C\x01");
    const char le[] = {0x78, 0x56, 0x34, 0x12};
    EXPECT_EQ(DecodeLength(le, 4), 0x12345678);
    EXPECT_EQ(DecodeLength(le, 2), 0x5678);
    EXPECT_EQ(DecodeLength(le, 1), 0x78);
    EXPECT_EQ(DecodeLength(le, 3), 0);
    EXPECT_EQ(DecodeLength(le, 0), 0);
}

TEST(PacketsDeathTest, LengthDigitsAboveFourAssert) {
    EXPECT_DEATH(EncodeLength(String("x"), 5), "owl_const.*EncodeLength");
    char buf[8] = {0};
    EXPECT_DEATH(DecodeLength(buf, 5), "owl_const.*DecodeLength");
}

TEST_F(Packets, EmptyPasswordReply) {
    EXPECT_EQ(EncodePswd(String()).Length(), 0);
    EXPECT_EQ(EncodeData(String("abc"), String(), 0).Length(), 3);
    OWLReply reply;
    reply.InitPacket(nullptr, String());
    reply.SetResult("200");
    reply.FinalizePacket();
    ASSERT_EQ(reply.Length(), 9);
    EXPECT_EQ(Str(reply.Copy(1, 4)), std::string("\x05\x00\x00\x00", 4));
    String text;
    ASSERT_TRUE(DecodeReplyPacket(reply, String(), text));
    EXPECT_EQ(Str(text), "200\n\r");
}

TEST_F(Packets, PasswordDigestIsMd5) {
    String d = EncodePswd(String("abc"));
    ASSERT_EQ(d.Length(), 16);
    EXPECT_EQ(Str(d),
              std::string("\x90\x01\x50\x98\x3c\xd2\x4f\xb0\xd6\x96\x3f\x7d\x28\xe1\x7f\x72", 16));
}

TEST(ReplyText, StatusLinesAndSeparators) {
    OWLReply r;
    r.SetResult("300") += "x";
    r.CommandSeparatorCheck();
    EXPECT_EQ(Str(r), "300\nx\n");
    r.AddIntParam(5);
    r.SetResult("200");
    EXPECT_EQ(Str(r), "200\n");
    OWLReply empty;
    empty.CommandSeparatorCheck();
    EXPECT_EQ(empty.Length(), 0);
    r.SetResult(nullptr);
    EXPECT_EQ(r.Length(), 0);
    r.InitPacket("abc", String("key"));
    EXPECT_EQ(Str(r), "abc\n");
    EXPECT_EQ(Str(r.SessionKey), "key");
}

TEST(ReplyText, ValueWriters) {
    OWLReply r;
    r.SetResult("200");
    r.AddIntParam(-7);
    r.AddIntParam(5LL);
    r.AddIntParam(1234567LL);
    r.AddRealParam(3.5);
    r.AddBoolParam(42);
    r.AddBoolParam(0);
    struct tm t = {};
    t.tm_mday = 5;
    t.tm_mon = 2;
    t.tm_year = 109;
    t.tm_hour = 14;
    t.tm_min = 7;
    t.tm_sec = 9;
    r.AddTimeParam(t);
    r.AddStringParam("a\nb", 0);
    r.AddStringParam("a\r\nb", 1);
    r.AddStringParam(String("c\nd"), 1);
    r.AddStringParam(static_cast<const char*>(nullptr), 0);
    EXPECT_EQ(Str(r),
              "200\n-7\n     5\n1234567\n3.5000\n1\n0\n05032009140709\na\nb\na%0D%0Ab\nc%0Ad\n\n");

    OWLReply local;
    long when = (long)mktime(&t);
    local.AddTimeParam(when);
    EXPECT_EQ(Str(local), "05032009140709\n");
}

TEST(ReplyText, VarParamsEdge) {
    OWLReply r;
    r.AddVarParams("%s", std::string(2047, 'a').c_str());
    EXPECT_EQ(r.Length(), 2048);
    OWLReply exact;
    exact.AddVarParams("%s", std::string(2048, 'b').c_str());
    EXPECT_EQ(Str(exact), std::string(2047, 'b') + "\n");
    OWLReply over;
    over.AddVarParams("%s", std::string(2049, 'c').c_str());
    EXPECT_EQ(over.Length(), 0);
}

TEST_F(Packets, FinalizeEncryptsTextWithCr) {
    OWLReply r;
    r.InitPacket(nullptr, String("session"));
    r.SetResult("300") += "x";
    r.FinalizePacket();
    String text;
    ASSERT_TRUE(DecodeReplyPacket(r, String("session"), text));
    EXPECT_EQ(Str(text), "300\nx\n\r");
    OWLReply bare;
    bare.InitPacket(nullptr, String("k"));
    bare.FinalizePacket();
    ASSERT_TRUE(DecodeReplyPacket(bare, String("k"), text));
    EXPECT_EQ(Str(text), "\r");
}

TEST(RequestParams, LinesAndCount) {
    QXRequest q;
    q = "x\ny";
    EXPECT_EQ(Str(q.GetParam(1, 0)), "x");
    EXPECT_EQ(Str(q.GetParam(0, 0)), "x");
    EXPECT_EQ(Str(q.GetParam(-3, 0)), "x");
    EXPECT_EQ(Str(q.GetParam(2, 0)), "y");
    EXPECT_EQ(Str(q.GetParam(3, 0)), "");
    q = "x\n";
    EXPECT_EQ(q.GetParamsCount(), 1);
    EXPECT_EQ(Str(q.GetParam(2, 0)), "");
    q = "a\nb\n\r";
    EXPECT_EQ(q.GetParamsCount(), 2);
    EXPECT_EQ(Str(q.GetParam(3, 0)), "\r");
    EXPECT_EQ(Str(q.GetParam(3, 1)), "");
    q = " v \n";
    EXPECT_EQ(Str(q.GetParam(1, 1)), "v");
    QXRequest empty;
    EXPECT_EQ(Str(empty.GetParam(1, 1)), "");
    EXPECT_EQ(empty.GetParamsCount(), 0);
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
    QXRequest huge;
    huge.AddData("\xFC\xFF\xFF\x7F", 4);
    huge.AddData(std::string(10, 'z').data(), 10);
    EXPECT_TRUE(huge.WholePacket());
    EXPECT_TRUE(huge.PacketTooLarge());
    QXRequest limit;
    limit.AddData("\x00\x00\x00\x01", 4);  // 16 MiB exactly is allowed
    EXPECT_FALSE(limit.PacketTooLarge());
    limit = "";
    limit.AddData("\x01\x00\x00\x01", 4);
    EXPECT_TRUE(limit.PacketTooLarge());
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
class ParseRequest : public Packets {
  protected:
    void SetUp() override {
        TSettingsWriteLock lock;
        OWLSettings.debug = 1;
        OWLSettings.interactive = 1;
    }
    void TearDown() override {
        TSettingsWriteLock lock;
        OWLSettings.debug = 0;
        OWLSettings.interactive = 0;
    }
    // Parses bytes under password; returns the result and the debug lines.
    int Parse(const std::string& bytes, const char* password, std::string* log,
              QXRequest* out = nullptr) {
        QXRequest q;
        q = Bytes(bytes);
        in_addr peer;
        peer.s_addr = htonl(0x7F000001);
        ::testing::internal::CaptureStdout();
        int rc = q.ParseInitRequest(String(password), peer);
        *log = ::testing::internal::GetCapturedStdout();
        if (out) *out = q;
        if (out) out->SessionKey = q.SessionKey;
        return rc;
    }
    std::string Good(const char* text = "GetInfo\n\r") {
        return Str(BuildRequestPacket(String("pw"), String("session"), String(text)));
    }
    static void SetLength(std::string& p, size_t at, uint32_t value, int width) {
        for (int i = 0; i < width; i++) p[at + i] = (char)((value >> (8 * i)) & 0xFF);
    }
};

TEST_F(ParseRequest, AcceptsAndDecrypts) {
    std::string log;
    QXRequest q;
    ASSERT_EQ(Parse(Good(), "pw", &log, &q), 1);
    EXPECT_EQ(Str(q), "GetInfo\n\r");
    EXPECT_EQ(Str(q.GetSessionKey()), "session");
    EXPECT_NE(log.find("\t 127.0.0.1\t <-- TCP packet size: "), std::string::npos) << log;
    EXPECT_NE(log.find("<-- Req size: 9\n"), std::string::npos);
    // R = 0: an empty request text.
    std::string empty = Str(BuildRequestPacket(String("pw"), String("k"), String()));
    ASSERT_EQ(Parse(empty, "pw", &log, &q), 1);
    EXPECT_EQ(q.Length(), 0);
    // K = 0: an empty session key.
    std::string nokey = Str(BuildRequestPacket(String("pw"), String(), String("x\r")));
    ASSERT_EQ(Parse(nokey, "pw", &log, &q), 1);
    EXPECT_EQ(Str(q), "x\r");
    EXPECT_EQ(q.GetSessionKey().Length(), 0);
}

TEST_F(ParseRequest, RejectsInOrder) {
    std::string log;
    // Below the minimum size.
    EXPECT_EQ(Parse(std::string(13, '\0'), "pw", &log), 0);
    EXPECT_EQ(log.find("OWL packet size"), std::string::npos);
    // The length field must cover exactly what arrived.
    std::string p = Good();
    SetLength(p, 0, (uint32_t)p.size() - 5, 4);
    EXPECT_EQ(Parse(p, "pw", &log), 0);
    EXPECT_NE(log.find("<-- OWL packet size: "), std::string::npos);
    EXPECT_EQ(log.find("Pswd size"), std::string::npos);
    // P overruns the packet.
    p = Good();
    SetLength(p, 6, 0xFFFF, 2);
    EXPECT_EQ(Parse(p, "pw", &log), 0);
    EXPECT_NE(log.find("<-- Pswd size: 65535\n"), std::string::npos);
    EXPECT_EQ(log.find("Key size"), std::string::npos);
    // K overruns.
    p = Good();
    SetLength(p, 8 + 16, 0xFFFF, 2);
    EXPECT_EQ(Parse(p, "pw", &log), 0);
    EXPECT_NE(log.find("<-- Key size: 65535\n"), std::string::npos);
    EXPECT_EQ(log.find("Req size"), std::string::npos);
    // R overruns, also by a value that would wrap in 32 bits.
    for (uint32_t r : {100u, 0xFFFFFFFFu}) {
        p = Good();
        SetLength(p, 10 + 16 + 7, r, 4);
        EXPECT_EQ(Parse(p, "pw", &log), 0);
        EXPECT_NE(log.find("<-- Req size: "), std::string::npos);
        EXPECT_EQ(log.find("Wrong password"), std::string::npos);
    }
    // Auth bytes are checked after the lengths, silently.
    p = Good();
    p[5] = 0x13;
    EXPECT_EQ(Parse(p, "pw", &log), 0);
    EXPECT_NE(log.find("<-- Req size: "), std::string::npos);
    EXPECT_EQ(log.find("Wrong password"), std::string::npos);
    // Then the password.
    EXPECT_EQ(Parse(Good(), "other", &log), 0);
    EXPECT_NE(log.find("\t 127.0.0.1\t <-- Wrong password or MD5 error\n"), std::string::npos);
    // The minimal packet meets the password check when a password is set.
    std::string minimal = std::string("\x0a\x00\x00\x00\x03\x12", 6) + std::string(8, '\0');
    EXPECT_EQ(Parse(minimal, "pw", &log), 0);
    EXPECT_NE(log.find("Wrong password"), std::string::npos);
    EXPECT_EQ(Parse(minimal, "", &log), 1);
}

TEST_F(ParseRequest, FailedParseLeavesTextUnchanged) {
    std::string log;
    QXRequest q;
    std::string p = Good();
    EXPECT_EQ(Parse(p, "nope", &log, &q), 0);
    EXPECT_EQ(Str(q), p);
    EXPECT_EQ(q.GetSessionKey().Length(), 0);
}

}  // namespace
