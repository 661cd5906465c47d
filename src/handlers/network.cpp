#include "handlers/network.h"

#include <time.h>

#include "config/settings.h"
#include "net/exchange.h"
#include "text/codecs.h"

namespace {

// The most of an answer that is received and reported.
const int kReceiveMax = 8192;
const int kDefaultTcpTimeoutMs = 120000;

void WrongParameter(OWLReply& reply) { reply.SetResult(OWL_BAD_PARAMETER) += "Wrong parameter"; }

// The receive count asked for, cut to the buffer; 0 or less receives none.
int ReceiveCount(int asked) {
    if (asked < 0) return 0;
    return asked > kReceiveMax ? kReceiveMax : asked;
}

timespec Now() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts;
}

// Whole milliseconds from start to end, from microsecond readings.
int ElapsedMs(const timespec& start, const timespec& end) {
    long long us = (long long)(end.tv_sec - start.tv_sec) * 1000000 +
                   (end.tv_nsec / 1000 - start.tv_nsec / 1000);
    return (int)(us / 1000);
}

// "200" with the time and the answer, or "301" with the exchange's text
// and code.
void ReplyExchange(int result, int elapsed, const char* received, int receiveCount,
                   const String& err, OWLReply& reply) {
    if (result > 0) {
        reply.SetResult(OWL_OK);
        reply.AddIntParam(elapsed);
        reply.AddStringParam(receiveCount > 0 ? owlEncodeStrings(received, result) : String(),
                             VALUE_AS_IS);
    } else {
        reply.SetResult(OWL_CANNOT_PERFORM);
        reply.AddStringParam(err, VALUE_AS_IS);
        reply.AddIntParam(result);
    }
}

}  // namespace

void ProcessTest_TCP(const RequestParams& params, OWLReply& reply) {
    String host = params.GetParam(1, PARAM_TRIMMED);
    String data = owlDecodeStrings(params.GetParam(4, PARAM_AS_SENT));
    int port = 0, timeout = 0, receive = 0;
    if (!owlDecodeInt(params.GetParam(2, PARAM_TRIMMED), &port) ||
        !owlDecodeInt(params.GetParam(3, PARAM_TRIMMED), &timeout) ||
        !owlDecodeInt(params.GetParam(5, PARAM_TRIMMED), &receive)) {
        WrongParameter(reply);
        return;
    }
    if (timeout == 0) timeout = kDefaultTcpTimeoutMs;
    receive = ReceiveCount(receive);

    char buffer[kReceiveMax];
    String err;
    timespec start = Now();
    int r = SendReceiveTCPPacket(HostArgument(host), port, timeout, data.Data(), buffer,
                                 data.Length(), receive, err);
    ReplyExchange(r, ElapsedMs(start, Now()), buffer, receive, err, reply);
}

void ProcessTest_UDP(const RequestParams& params, OWLReply& reply) {
    String host = params.GetParam(1, PARAM_TRIMMED);
    String data = owlDecodeStrings(params.GetParam(5, PARAM_AS_SENT));
    int port = 0, timeout = 0, attempts = 0, receive = 0;
    // A negative attempt count would make no attempt at all: refused like 0.
    if (!owlDecodeInt(params.GetParam(2, PARAM_TRIMMED), &port) ||
        !owlDecodeInt(params.GetParam(3, PARAM_TRIMMED), &timeout) ||
        !owlDecodeInt(params.GetParam(4, PARAM_TRIMMED), &attempts) || attempts <= 0 ||
        !owlDecodeInt(params.GetParam(6, PARAM_TRIMMED), &receive) || data.Length() == 0) {
        WrongParameter(reply);
        return;
    }
    int seconds = timeout / 1000;
    if (seconds == 0) seconds = 1;
    receive = ReceiveCount(receive);

    char buffer[kReceiveMax];
    const char* hostText = HostArgument(host);
    String err;
    int r = 0, elapsed = 0;
    for (int i = 0; i < attempts && r <= 0; i++) {
        timespec start = Now();
        r = SendReceiveUDPPacket(hostText, port, seconds, data.Data(), buffer, data.Length(),
                                 receive, err);
        elapsed = ElapsedMs(start, Now());
    }
    ReplyExchange(r, elapsed, buffer, receive, err, reply);
}
