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

// The hex dump in the fenced block that follows marker in the document:
// each line an offset, then bytes as two hex digits.
std::string DumpAfter(const std::string& doc, const std::string& marker) {
    size_t at = doc.find(marker);
    if (at == std::string::npos) return "<no " + marker + ">";
    size_t start = doc.find("```", at);
    start = doc.find('\n', start) + 1;
    size_t end = doc.find("```", start);
    std::istringstream lines(doc.substr(start, end - start));
    std::string bytes, line;
    while (std::getline(lines, line)) {
        std::istringstream words(line);
        std::string word;
        words >> word;  // the offset
        while (words >> word && word.size() == 2) bytes += (char)std::stoi(word, nullptr, 16);
    }
    return bytes;
}

std::string Dump(const std::string& bytes) {
    std::string out;
    char cell[24];
    for (size_t i = 0; i < bytes.size(); i++) {
        if (i % 16 == 0) {
            snprintf(cell, sizeof cell, "%s%04zx", i ? "\n" : "", i);
            out += cell;
        }
        snprintf(cell, sizeof cell, " %02x", (unsigned char)bytes[i]);
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
    std::string request = Str(BuildRequestPacket(password, key, String("GetInfo\n\r")));
    EXPECT_EQ(DumpAfter(doc.str(), "<!-- request bytes -->"), request) << Dump(request);
    std::string reply = Str(EncodeData(String("501\nWrong parameter\n\r"), key, 4));
    EXPECT_EQ(DumpAfter(doc.str(), "<!-- reply bytes -->"), reply) << Dump(reply);
    std::string digest = Str(EncodePswd(password));
    EXPECT_EQ(DumpAfter(doc.str(), "<!-- digest bytes -->"), digest) << Dump(digest);
}

}  // namespace
