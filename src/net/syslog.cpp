#include "net/syslog.h"

#include <stdio.h>

#include "net/exchange.h"
#include "net/syncsocket.h"

namespace {

const char* const kMonths[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                 "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

}  // namespace

String CDateTime(const struct tm& when) {
    char day[32];
    snprintf(day, sizeof(day), "%2.2d %2.2d:%2.2d:%2.2d", when.tm_mday, when.tm_hour, when.tm_min,
             when.tm_sec);
    if (day[0] == '0') day[0] = ' ';
    String stamp(kMonths[when.tm_mon >= 0 && when.tm_mon < 12 ? when.tm_mon : 0]);
    stamp += " ";
    stamp += day;
    return stamp;
}

String CDateTime() {
    time_t now = time(nullptr);
    struct tm local;
    localtime_r(&now, &local);
    return CDateTime(local);
}

String SyslogDatagram(int facility, int severity, const struct tm& when, unsigned int ip,
                      const char* tag, const String& message) {
    char priority[32];
    snprintf(priority, sizeof(priority), "<%lld>", (long long)facility * 8 + severity);
    String text(priority);
    text += CDateTime(when);
    text += " ";
    text += IP2String(ip);
    text += " ";
    text += tag != nullptr ? tag : "";
    text += ": ";
    text += message;
    return text;
}

int SendToSysLog(const char* host, int port, int facility, TSyslogSeverity severity,
                 const char* tag, const String& message, String& err) {
    err = "";
    time_t now = time(nullptr);
    struct tm local;
    localtime_r(&now, &local);
    String text = SyslogDatagram(facility, (int)severity, local, GetMyIP(), tag, message);
    return SendReceiveUDPPacket(host, port, 0, text.Data(), nullptr, text.Length(), 0, err);
}
