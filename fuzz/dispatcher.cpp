// Fuzz target: the dispatcher on a decrypted request text. Commands that
// touch the host or the process are left out by the table below; the
// rest (the information and settings reports, unknown and malformed
// commands) run as on a session.
#include "server/dispatcher.h"

#include <arpa/inet.h>
#include <string.h>

#include "fuzz/fuzz_common.h"

namespace {

// Command names beginning with any of these are never dispatched.
const char* const kExcluded[] = {
    "TEST-",        "ACT-", "GetProcessesList", "GetServicesList", "GetEventLog", "GetDriveList",
    "GetFilesList", "QUIT", "ReloadApp",        "ReloadCfg",       "UpgradeCode", "SetSettings",
};

// The command name as the dispatcher finds it: the first line, trimmed.
bool Excluded(const String& request) {
    int lf = request.Pos('\n');
    String name = lf > 0 ? request.Copy(1, lf - 1) : request;
    name.Trim();
    for (const char* prefix : kExcluded)
        if (name.Length() >= (int)strlen(prefix) &&
            memcmp(name.Data(), prefix, strlen(prefix)) == 0)
            return true;
    return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzSetUp();
    QXRequest request;
    request = FuzzBytes(data, size);
    if (Excluded(request)) return 0;
    OWLReply reply;
    reply.InitPacket(nullptr, String("session-key"));
    UpgradeRec upgrade;
    in_addr peer;
    peer.s_addr = htonl(0x7F000001);
    ProcessQXRequest(request, reply, OWLFlags, ThreadParams{-1, peer}, upgrade);
    reply.FinalizePacket();
    return 0;
}
