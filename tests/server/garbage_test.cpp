// Bad input never crashes the request path: mutated packets through the
// parser, and random request texts through the dispatcher (bounded loops;
// most useful under the sanitizers).
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <random>
#include <string>

#include "config/settings.h"
#include "crypto/twofish.h"
#include "protocol/client.h"
#include "server/dispatcher.h"
#include "support/agent.h"

namespace {

std::mt19937 rng{20261206};

// s with one to four random bytes changed, removed, inserted or cut off.
std::string Mutate(std::string s) {
    for (int i = 0, edits = 1 + rng() % 4; i < edits && !s.empty(); i++) {
        size_t at = rng() % s.size();
        int what = rng() % 4;
        if (what == 0) s[at] = (char)(rng() & 0xFF);
        if (what == 1) s.erase(at, 1 + rng() % 3);
        if (what == 2) s.insert(at, 1 + rng() % 5, (char)(rng() & 0xFF));
        if (what == 3) s.resize(at);
    }
    return s;
}

// Runs text through the dispatcher and finalizes the reply.
void Dispatch(const std::string& text) {
    QXRequest request;
    request = Bytes(text);
    OWLReply reply;
    reply.InitPacket(nullptr, String("key"));
    UpgradeRec upgrade;
    ThreadParams peer{-1, in_addr{htonl(0x7F000001)}};
    ProcessQXRequest(request, reply, OWLFlags, peer, upgrade);
    reply.FinalizePacket();
    EXPECT_GE(reply.Length(), 5);
}

TEST(Garbage, MutatedPacketsAndRequestTexts) {
    Twofish_initialise();
    {
        TSettingsWriteLock lock;
        OWLSettings.password = "pw";
        OWLSettings.allowmanage = 0;  // no management command may act
        OWLSettings.allowupdates = 0;
    }
    std::string good =
        Str(BuildRequestPacket(String("pw"), String("session"), String("TEST-UNC\n/tmp\n\r")));
    int parsed = 0;
    for (int i = 0; i < 20000; i++) {
        std::string bad = Mutate(good);
        // Keep the outer length field consistent half of the time, so that
        // the inner fields get tested too.
        if (i % 2 && bad.size() >= 4) {
            uint32_t len = (uint32_t)bad.size() - 4;
            memcpy(&bad[0], &len, 4);
        }
        QXRequest q;
        q = Bytes(bad);
        if (q.WholePacket() && q.ParseInitRequest(String("pw"), in_addr{0})) {
            parsed++;
            Dispatch(Str(q));
        }
    }
    EXPECT_GT(parsed, 0);

    rng.seed(20261206);
    const char* seeds[] = {
        "GetInfo\n\r",      "QUIT\r", "\r", "UpgradeCode\n500\n\r", "SetSettings\nPort=1\n\r",
        "TEST-TCP\n\n\n\r", ""};
    for (int i = 0; i < 5000; i++) {
        std::string text = Mutate(seeds[i % 7]);
        if (i % 3 == 0) {
            text.assign(rng() % 64, '\0');
            for (char& c : text) c = (char)(rng() & 0xFF);
        }
        Dispatch(text);
    }
    EXPECT_EQ(OWLFlags.Terminate.load(), 0);
}

}  // namespace
