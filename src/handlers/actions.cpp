#include "handlers/actions.h"

#include <unistd.h>

#include "config/settings.h"
#include "handlers/scripts.h"
#include "net/exchange.h"
#include "net/syncsocket.h"
#include "net/syslog.h"
#include "text/codecs.h"

namespace {

void WrongParameter(OWLReply& reply) { reply.SetResult(OWL_BAD_PARAMETER) += "Wrong parameter"; }

void SleepSeconds(int seconds) {
    unsigned left = (unsigned)seconds;
    while (left > 0) left = sleep(left);
}

}  // namespace

void ProcessAct_ExternalCmd(const RequestParams& params, OWLReply& reply) {
    int unused = 0, timeout = 0;
    if (!owlDecodeInt(params.GetParam(3, PARAM_TRIMMED), &unused) ||
        !owlDecodeInt(params.GetParam(4, PARAM_TRIMMED), &timeout)) {
        WrongParameter(reply);
        return;
    }
    ReplyProgramRun(params.GetParam(1, PARAM_TRIMMED), params.GetParam(2, PARAM_TRIMMED), timeout,
                    reply);
}

void ProcessAct_TCPSend(const RequestParams& params, OWLReply& reply) {
    String host = params.GetParam(1, PARAM_TRIMMED);
    String first = owlDecodeStrings(params.GetParam(4, PARAM_AS_SENT));
    String second = owlDecodeStrings(params.GetParam(6, PARAM_AS_SENT));
    String protocol = params.GetParam(3, PARAM_TRIMMED);
    int port = 0, pause = 0;
    if (host.Length() == 0 || first.Length() == 0 ||
        !owlDecodeInt(params.GetParam(2, PARAM_TRIMMED), &port) ||
        !owlDecodeInt(params.GetParam(5, PARAM_TRIMMED), &pause)) {
        WrongParameter(reply);
        return;
    }
    TSyncSocket socket(protocol == "0" ? 1 : 2);
    if (socket.Connect(HostArgument(host), port, 0) != 1 || socket.SendString(first, 0) <= 0) {
        reply.SetResult(OWL_CANNOT_PERFORM) += socket.LastError;
        return;
    }
    if (second.Length() > 0) {
        if (pause > 0) SleepSeconds(pause);
        socket.SendString(second, 0);
    }
    reply.SetResult(OWL_OK) += "Data has been sent";
}

void ProcessAct_Syslog(const RequestParams& params, OWLReply& reply) {
    String host = params.GetParam(1, PARAM_TRIMMED);
    String message = owlDecodeStrings(params.GetParam(5, PARAM_AS_SENT));
    int port = 0, facility = 0, severity = 0;
    if (host.Length() == 0 || !owlDecodeInt(params.GetParam(2, PARAM_TRIMMED), &port) ||
        !owlDecodeInt(params.GetParam(3, PARAM_TRIMMED), &facility) ||
        !owlDecodeInt(params.GetParam(4, PARAM_TRIMMED), &severity) || severity < 0 ||
        severity > 7) {
        WrongParameter(reply);
        return;
    }
    String err;
    int r = SendToSysLog(HostArgument(host), port, facility, (TSyslogSeverity)severity, "VT OWL",
                         message, err);
    if (r > 0)
        reply.SetResult(OWL_OK) += String("Syslog: Data to ") + host + " has been sent";
    else
        reply.SetResult(OWL_CANNOT_PERFORM) += err;
}
