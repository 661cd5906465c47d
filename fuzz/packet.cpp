// Fuzz target: the request packet as it arrives. The first byte chooses
// between raw packet bytes and a genuine packet around a fuzzed request
// text (so that the decryption and the parameter lines are reached too).
#include <arpa/inet.h>

#include "fuzz/fuzz_common.h"
#include "protocol/client.h"
#include "protocol/qxrequest.h"
#include "protocol/requestparams.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzSetUp();
    if (size == 0) return 0;
    String password(kFuzzPassword);
    String body = FuzzBytes(data + 1, size - 1);
    String packet = data[0] & 1 ? BuildRequestPacket(password, String("session-key"), body) : body;
    in_addr peer;
    peer.s_addr = htonl(0x7F000001);
    // Chunk by chunk, as a session receives it.
    QXRequest request;
    int proven = 0;
    const int chunk = 1 + (data[0] >> 1);
    for (int at = 0; at < packet.Length(); at += chunk) {
        int n = packet.Length() - at < chunk ? packet.Length() - at : chunk;
        request.AddData(packet.Data() + at, n);
        if (request.WholePacket()) break;
        PacketStart fault = request.CheckPacketStart(password, proven);
        if (fault != PACKET_START_OK) {
            request.LogRejectedStart(request.Length(), fault, password, peer);
            return 0;
        }
    }
    if (!request.WholePacket() || !request.ParseInitRequest(password, peer)) return 0;
    RequestParams params(request);
    int count = params.GetParamsCount();
    for (int i = 0; i <= count + 1 && i < 64; i++) params.GetParam(i, i & 1);
    return 0;
}
