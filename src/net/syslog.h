// syslog: one message to a remote syslog server as a single UDP datagram in
// the BSD format of RFC 3164: "<priority>Mmm dd hh:mm:ss address tag: text".
// Owns CDateTime, the datagram layout and SendToSysLog.
//
// Threads: no shared state; local time is converted with localtime_r, so
// any number of session threads may send at once.
#pragma once

#include <time.h>

#include "text/vtstring.h"

// The RFC 3164 severity, 0 emergency to 7 debug; used unchanged.
enum TSyslogSeverity {
    SYSLOG_EMERGENCY = 0,
    SYSLOG_ALERT = 1,
    SYSLOG_CRITICAL = 2,
    SYSLOG_ERROR = 3,
    SYSLOG_WARNING = 4,
    SYSLOG_NOTICE = 5,
    SYSLOG_INFORMATIONAL = 6,
    SYSLOG_DEBUG = 7,
};

// The time stamp "Mmm dd hh:mm:ss" of the current local time, the day
// padded with a space ("Jan  5 09:04:22").
String CDateTime();
// The same for a given local time.
String CDateTime(const struct tm& when);

// The whole datagram: "<" facility * 8 + severity ">", the time stamp, " ",
// the dotted address ip (network byte order), " ", tag, ": ", message.
// No range checks, no terminating zero, no line end.
String SyslogDatagram(int facility, int severity, const struct tm& when, unsigned int ip,
                      const char* tag, const String& message);

// Sends the datagram for now and this host's address (0.0.0.0 when the
// host's own name does not resolve) to host:port. Returns the bytes sent
// with err empty; -2 (name not resolved), -3 (no socket), -4 (send failed)
// or -6 (port outside 0..65535) with err set. Nothing is received.
int SendToSysLog(const char* host, int port, int facility, TSyslogSeverity severity,
                 const char* tag, const String& message, String& err);
