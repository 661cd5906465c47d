// Request and reply packets: the cipher, the length fields, the request
// parser and every reply writer; the worked packets of docs/protocol.md are
// the bytes that this code produces, byte for byte.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <stdio.h>

#include <fstream>
#include <sstream>
#include <string>

#include "config/settings.h"
#include "crypto/twofish.h"
#include "protocol/client.h"
#include "protocol/owl_const.h"
#include "protocol/owlreply.h"
#include "protocol/packetcipher.h"
#include "protocol/qxrequest.h"
#include "protocol/requestparams.h"
#include "runtime/log.h"
#include "support/agent.h"

namespace {

// The cipher tables are built once, as the agent does at start-up; the
// request parser writes its debug lines as under "owl -i" with debugging on.
struct AgentStartUp : ::testing::Environment {
    void SetUp() override {
        Twofish_initialise();
        SetPacketDebugSink([](in_addr peer, const char* format, int value) {
            showmessage(format, peer, MSG_DEBUG, 1, value);
        });
        TSettingsWriteLock lock;
        OWLSettings.debug = OWLSettings.interactive = 1;
    }
};
const auto* const kAgentStartUp = ::testing::AddGlobalTestEnvironment(new AgentStartUp);

// The exact bytes of the cipher and the digest are pinned by the worked
// packets of docs/protocol.md (ProtocolDoc below).
TEST(Packets, CipherAndLengthFields) {
    const String password("secret");
    for (int n : {1, 2, 15, 16, 17, 300}) {
        std::string plain(n, '\0');
        for (int i = 0; i < n; i++) plain[i] = (char)(i * 7 + 3);
        String cipher = EncodeData(Bytes(plain), password, 0);
        EXPECT_EQ(Str(DecodeData(cipher, password)), plain);
        EXPECT_EQ(DecodeData(cipher, String("other")).Length(), n);  // not an error
    }
    EXPECT_EQ(EncodeData(String(), password, 4).Length(), 0);
    EXPECT_EQ(DecodeData(String(), password).Length(), 0);
    const char le[] = {0x78, 0x56, 0x34, 0x12};
    const int byDigits[] = {0, 0x78, 0x5678, 0, 0x12345678};
    for (int d = 0; d <= 4; d++) EXPECT_EQ(DecodeLength(le, d), byDigits[d]) << d;
}

// The writers the agent's replies do not show: a status line that replaces
// what came before, no status at all, texts as they stand or escaped, and
// printf output cut to 2047 bytes or, when longer, left out. The packet is
// the length and the text, ended by LF and CR, under the key.
TEST(ReplyText, WritersAndFinalize) {
    OWLReply r;
    r.InitPacket("abc", String("key"));
    EXPECT_EQ(Str(r), "abc\n");
    r.SetResult(nullptr);
    EXPECT_EQ(r.Length(), 0);
    r.AddIntParam(5);
    r.SetResult("200");  // replaces everything
    r.AddStringParam("a\nb", 0);
    r.AddStringParam("a\r\nb", 1);
    r.AddStringParam(static_cast<const char*>(nullptr), 0);
    EXPECT_EQ(Str(r), "200\na\nb\na%0D%0Ab\n\n");
    for (int n : {2048, 2049}) {
        OWLReply var;
        var.AddVarParams("%s", std::string(n, 'a').c_str());
        EXPECT_EQ(Str(var), n > 2048 ? "" : std::string(2047, 'a') + "\n") << n;
    }
    r.InitPacket(nullptr, String("session"));
    r += "300\nx";
    r.FinalizePacket();
    String text;
    ASSERT_TRUE(DecodeReplyPacket(r, String("session"), text));
    EXPECT_EQ(Str(text), "300\nx\n\r");
}

// A huge announced length wraps when 4 is added: whole at once, and too
// large; 16 MiB exactly is allowed.
TEST(RequestFraming, HugeLengths) {
    QXRequest q;
    q = Bytes(std::string("\xFC\xFF\xFF\x7F") + std::string(10, 'z'));
    EXPECT_TRUE(q.WholePacket());
    EXPECT_TRUE(q.PacketTooLarge());
    q = Bytes(std::string("\x00\x00\x00\x01", 4));
    EXPECT_FALSE(q.PacketTooLarge());
    q = Bytes(std::string("\x01\x00\x00\x01", 4));
    EXPECT_TRUE(q.PacketTooLarge());
}

// ParseInitRequest runs its checks in a fixed order; the debug lines show
// how far a packet got.
class ParseRequest : public ::testing::Test {
  protected:
    // Parses bytes under password into q; the debug lines go to log.
    int Parse(const std::string& bytes, const char* password) {
        q = Bytes(bytes);
        ::testing::internal::CaptureStdout();
        int rc = q.ParseInitRequest(String(password), in_addr{htonl(0x7F000001)});
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
        {8 + 16, 0xFFFF, 2, "<-- Key size: 65535\n", "Req size"},  // K overruns
        {33, 0xFFFFFFFF, 4, "<-- Req size: ", "Wrong password"},   // R overruns as it wraps
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
    // The minimal packet meets the password check only when a password is set.
    std::string minimal = std::string("\x0a\x00\x00\x00\x03\x12", 6) + std::string(8, '\0');
    EXPECT_EQ(Parse(minimal, "pw"), 0);
    EXPECT_EQ(Parse(minimal, ""), 1);
}

// The text of the fenced block that follows marker in the document.
std::string BlockAfter(const std::string& doc, const std::string& marker) {
    size_t start = doc.find("```\n", doc.find(marker));
    if (start == std::string::npos) return "<no " + marker + ">";
    return doc.substr(start + 4, doc.find("```", start + 4) - start - 4);
}

// The document's hex dump of bytes: each line an offset, then 16 bytes.
std::string Dump(const std::string& bytes) {
    std::string out;
    char cell[32];
    for (size_t i = 0; i < bytes.size(); i++) {
        int n = i % 16 ? 0 : snprintf(cell, sizeof cell, "%s%04zx", i ? "\n" : "", i);
        snprintf(cell + n, sizeof cell - n, " %02x", (unsigned char)bytes[i]);
        out += cell;
    }
    return out + "\n";
}

TEST(ProtocolDoc, WorkedPacketsMatchTheCode) {
    std::ifstream in(std::string(OWL_SOURCE_DIR) + "/docs/protocol.md");
    std::stringstream doc;
    doc << in.rdbuf();
    const String password("secret"), key("0123456789abcdef");
    const String request = BuildRequestPacket(password, key, String("GetInfo\n\r"));
    EXPECT_EQ(BlockAfter(doc.str(), "<!-- request bytes -->"), Dump(Str(request)));
    const String reply = EncodeData(String("501\nWrong parameter\n\r"), key, 4);
    EXPECT_EQ(BlockAfter(doc.str(), "<!-- reply bytes -->"), Dump(Str(reply)));
    EXPECT_EQ(BlockAfter(doc.str(), "<!-- digest bytes -->"), Dump(Str(EncodePswd(password))));
}

}  // namespace
