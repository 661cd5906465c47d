// docs/protocol.md: the worked packets of the write-up are the bytes that
// the protocol code produces, byte for byte.
#include <gtest/gtest.h>
#include <stdio.h>

#include <fstream>
#include <sstream>
#include <string>

#include "crypto/twofish.h"
#include "protocol/client.h"
#include "protocol/owl_const.h"
#include "support/agent.h"

namespace {

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
    Twofish_initialise();
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
