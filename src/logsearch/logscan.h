// logscan: the incremental scan of a growing log file behind the text-log
// tests. Owns TTextLogFilter, CheckFileForExpression and
// CheckFileForExpression2, and the agent's memory of which file stood under
// each watched path.
//
// The console keeps the scan state (read position, last size, last age) and
// sends it with every check; a scan reads the complete lines appended since
// and returns the new state. Beside that, the agent remembers in memory the
// device and inode behind each state it returned, so that a log rotated
// between two checks (renamed away, a new file under the old name) is read
// from its start. After a restart that memory is empty.
//
// Threads: every scan works on its own descriptor and buffers; the memory is
// guarded by a mutex of its own, so any number of session threads may scan,
// the same file included.
#pragma once

#include "text/vtstring.h"

// The longest part of one line that is matched and reported; the rest of a
// longer line is read past and counted.
const int kMaxLogLine = 1024 * 1024;

// One search of "TEST-TextLog2": a string or an expression and its flags.
class TTextLogFilter {
  public:
    TTextLogFilter() = default;

    String Text;
    int Expression = 0;     // 1: Text is a search expression
    int CaseSensitive = 0;  // 1: letters must match in case
    int WholeWord = 0;      // 1: no letter or digit may touch the match
};

// Scans the complete lines of path appended since the state readPos,
// lastSize, lastAge for one search (text, as an expression when expression
// is non-zero). Returns -1 with error set when the file is missing ("File
// "name" not found", also for a folder or a FIFO), cannot be opened ("Cannot
// open file") or the read position is negative ("fseek error"); the state
// is then untouched. Otherwise returns 0 when no line matched (or nothing
// was read) or the position of the reported match (the offset where that
// line's bytes began plus the 1-based match position within the line), with
// error empty, lastLine the reported line (at most kMaxLogLine bytes, else
// empty), the state updated in place and fileSize the size seen.
// With continueAfterMatch every new line is looked at and the last match is
// reported; without it the first match is reported and last size and last
// age keep their values, so that the next check resumes after that line.
// A file found truncated or replaced is read from its start once: a match
// reported then returns the size seen as last size (and a last age that is
// not the file's time), so that the next check does not start over again.
long long CheckFileForExpression(const char* path, const String& text, long long& readPos,
                                 long long& lastSize, long long& lastAge, int expression,
                                 int continueAfterMatch, int caseSensitive, int wholeWord,
                                 String& lastLine, String& error, long long& fileSize);

// CheckFileForExpression with a main filter and, when useSecond is set, a
// second filter tried on lines that the main one does not match.
// matchedFilter becomes 1 when the reported line matched the main filter and
// 0 when it matched the second; it is not written when nothing matched.
long long CheckFileForExpression2(const char* path, long long& readPos, long long& lastSize,
                                  long long& lastAge, const TTextLogFilter& mainFilter,
                                  const TTextLogFilter& secondFilter, int useSecond,
                                  int continueAfterMatch, int& matchedFilter, String& lastLine,
                                  String& error, long long& fileSize);
