// Log files that cannot be written: found at start-up (CheckLogFiles) and
// while running (writelog's NoteLogOpen hooks), so that an operator learns
// of a missing folder or a missing permission instead of losing messages
// silently. Each unwritable file is reported once until it can be written
// again: on the console at start-up, and as a line in the next log file
// that opens. Thread-safe (a mutex of its own, a leaf lock); not for signal
// handlers.
#pragma once

#include "text/vtstring.h"

// The file writelog appends to: a name without a folder lands beside the
// configuration file; other names as they stand.
String LogFilePath(const String& file);

// For every log file that the settings in force will write to (the success
// log with logsuccess, the failure log with logfails, the verbose log with
// verbose), checks without creating anything that it can be appended to.
// Prints "Warning: cannot open log file '<path>': <reason>" on standard
// output for each one that cannot, remembers it for the next writable log
// and returns how many there were.
int CheckLogFiles();

// writelog could not open path (error is errno): remembered once for the
// next log file that opens.
void NoteLogOpenFailure(const String& path, int error);
// writelog opened path: returns the warning lines still owed (file log
// lines, each ended by LF; empty when none) and forgets them; path itself
// will be reported again should it fail later.
String NoteLogOpenSuccess(const String& path);
