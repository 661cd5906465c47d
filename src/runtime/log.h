// Console and file logging: showmessage, the one entry point of every
// run-time message, and writelog. Any thread may log without waiting for
// another: each line goes out with one write (files opened O_APPEND), so
// lines of different threads never mix; showmutex guards only the repeat
// counts of failure messages about peers. Neither function may be called
// from a signal handler.
#pragma once

#include <netinet/in.h>
#include <pthread.h>

#include "sync/mutex.h"
#include "text/vtstring.h"

// Message types: where a message goes depends on them and on the settings.
enum MsgType {
    MSG_SUCCESS = 0,  // console; oklogfile when logsuccess; verbose log
    MSG_FAILURE = 1,  // console; badlogfile when logfails; verbose log
    MSG_DEBUG = 2,    // only with debug: console and verbose log
    MSG_INFO = 3,     // console; verbose log
};

// The useFormat argument of showmessage: the text as it stands, or a printf
// format for the arguments that follow.
enum MsgFormat { MSG_LITERAL = 0, MSG_PRINTF = 1 };

// The peer address of messages that concern no connection.
extern const in_addr LOCAL;

extern Mutex showmutex;

// Stamps text with the local date, time and the peer's address, prints it on
// the console in interactive mode and appends it to the logs its type and
// the settings choose. With useFormat, text is a printf format for the
// arguments that follow. The message keeps at most 511 bytes, each line too.
// Never fails its caller.
void showmessage(const char* text, in_addr peer = LOCAL, int type = MSG_INFO,
                 int useFormat = MSG_LITERAL, ...) __attribute__((format(printf, 1, 5)));

// Failure messages about a peer repeat at the rate that peer connects: the
// same message for the same peer within a second is only counted, and
// written once when its second is over as the message followed by
// " (repeated N times)". Writes the counts whose second is over; the accept
// loop calls it about once a second. Never fails its caller.
void FlushRepeatedMessages();

// Appends text to file; a file without a folder lands beside the
// configuration file. An empty name, null text or unopenable file is skipped.
void writelog(String file, const char* text);

// The console and file lines of a message, as showmessage writes them, for
// the given local time (exposed for tests).
String FormatConsoleLine(const struct tm& when, in_addr peer, const char* message);
String FormatFileLine(const struct tm& when, in_addr peer, const char* message);
