#include "logsearch/logscan.h"

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

#include "fs/filesearch.h"
#include "logsearch/exprparser.h"
#include "runtime/log.h"
#include "sync/mutex.h"

namespace {

// ---- which file stood under a path --------------------------------------

// The file behind one state that a scan returned.
struct TSeenState {
    long long readPos, lastSize, lastAge;
    dev_t device;
    ino_t inode;
};

// Several tests may watch one log, each with its own state: the memory
// keeps the last few states per path, and a bounded number of paths.
const size_t kSeenStatesPerPath = 16;
const size_t kSeenPaths = 4096;

Mutex seenMutex;
std::map<std::string, std::deque<TSeenState>> seenFiles GUARDED_BY(seenMutex);

// true with *seen filled when the state was returned for path before.
bool RecallFile(const std::string& path, long long readPos, long long lastSize, long long lastAge,
                TSeenState* seen) {
    MutexLock lock(seenMutex);
    auto it = seenFiles.find(path);
    if (it == seenFiles.end()) return false;
    for (const TSeenState& s : it->second)
        if (s.readPos == readPos && s.lastSize == lastSize && s.lastAge == lastAge) {
            *seen = s;
            return true;
        }
    return false;
}

void RememberFile(const std::string& path, const TSeenState& state) {
    MutexLock lock(seenMutex);
    auto it = seenFiles.find(path);
    if (it == seenFiles.end()) {
        if (seenFiles.size() >= kSeenPaths) seenFiles.erase(seenFiles.begin());
        it = seenFiles.emplace(path, std::deque<TSeenState>()).first;
    }
    std::deque<TSeenState>& states = it->second;
    for (auto s = states.begin(); s != states.end(); ++s)
        if (s->readPos == state.readPos && s->lastSize == state.lastSize &&
            s->lastAge == state.lastAge) {
            states.erase(s);
            break;
        }
    states.push_front(state);
    if (states.size() > kSeenStatesPerPath) states.pop_back();
}

// ---- opening --------------------------------------------------------------

// Failures of open that may pass within a second or two.
bool MayPass(int err) {
    return err == EINTR || err == EAGAIN || err == EMFILE || err == ENFILE || err == ENOMEM ||
           err == EBUSY;
}

// Opens path for reading, up to three tries a second apart while the
// failure may pass. Returns the descriptor with *st describing it, or -1
// (also when what was opened is no regular file).
int OpenLog(const char* path, struct stat* st) {
    for (int attempt = 1;; attempt++) {
        int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        if (fd >= 0) {
            if (fstat(fd, st) == 0 && S_ISREG(st->st_mode)) return fd;
            close(fd);
            return -1;
        }
        if (attempt == 3 || !MayPass(errno)) return -1;
        sleep(1);
    }
}

// ---- lines ------------------------------------------------------------------

bool IsBreak(char c) { return c == '\n' || c == '\r'; }

// The first CR or LF in [p, end), or end.
const char* FindBreak(const char* p, const char* end) {
#ifdef __SSE2__
    const __m128i lf = _mm_set1_epi8('\n'), cr = _mm_set1_epi8('\r');
    for (; p + 16 <= end; p += 16) {
        __m128i x = _mm_loadu_si128((const __m128i*)p);
        unsigned mask =
            (unsigned)_mm_movemask_epi8(_mm_or_si128(_mm_cmpeq_epi8(x, lf), _mm_cmpeq_epi8(x, cr)));
        if (mask != 0) return p + __builtin_ctz(mask);
    }
#endif
    for (; p < end; p++)
        if (IsBreak(*p)) return p;
    return end;
}

// The last CR or LF in [from, to), or null.
const char* LastBreak(const char* from, const char* to) {
    const char* lf = (const char*)memrchr(from, '\n', to - from);
    const char* after = lf ? lf + 1 : from;
    const char* cr = (const char*)memrchr(after, '\r', to - after);
    return cr ? cr : lf;
}

// The filters of one scan and what it found.
struct TScan {
    TLineSearch* filters[2] = {nullptr, nullptr};  // main, second (or null)
    int continueAfterMatch = 0;
    long long readPos = 0;  // after the last complete line read
    long long result = 0;
    String lastLine;
    int matchedFilter = -1;  // -1: nothing matched
};

// Looks at one complete line whose consumed bytes began at consumedStart.
// true when the scan stops here.
bool TakeLine(TScan& scan, const char* line, int len, long long consumedStart) {
    int which = 1;
    int m = scan.filters[0]->Match(line, len);
    if (m == 0 && scan.filters[1] != nullptr) {
        m = scan.filters[1]->Match(line, len);
        which = 0;
    }
    if (m == 0) return false;
    scan.result = m + consumedStart;
    scan.lastLine.CopyData(line, len);
    scan.matchedFilter = which;
    return !scan.continueAfterMatch;
}

// The next place in a stretch of complete lines where any needle occurs;
// lines before it cannot match. Remembers each needle's next occurrence so
// that the stretch is searched once per needle.
class TCandidates {
  public:
    explicit TCandidates(const TScan& scan) {
        for (TLineSearch* filter : scan.filters)
            if (filter != nullptr)
                for (const TNeedle& needle : filter->Needles())
                    if (needle.Length() > 0 && !needle.HasLineBreak()) needles_.push_back(&needle);
        next_.resize(needles_.size());
        known_.resize(needles_.size());
    }
    // Forget what was found: the buffer has moved.
    void Reset() { std::fill(known_.begin(), known_.end(), false); }
    // The first occurrence in [p, end) of any needle, or end. Every call of
    // one buffer fill has the same end and a p not below the last one.
    const char* First(const char* p, const char* end) {
        const char* best = end;
        for (size_t i = 0; i < needles_.size(); i++) {
            if (!known_[i] || (next_[i] != nullptr && next_[i] < p)) {
                next_[i] = needles_[i]->FindRaw(p, end);
                known_[i] = true;
            }
            if (next_[i] != nullptr && next_[i] < best) best = next_[i];
        }
        return best;
    }

  private:
    std::vector<const TNeedle*> needles_;
    std::vector<const char*> next_;
    std::vector<bool> known_;
};

const int kReadBlock = 256 * 1024;

// Looks at the complete lines of buf from p up to rend (just after the last
// line break), buf[0] being at file offset bufOff; p ends where it stopped.
// True when a match ends the scan.
bool ScanCompleteLines(const char* buf, int& p, int rend, long long bufOff, bool skipUnmatched,
                       TCandidates& candidates, TScan& scan) {
    for (;;) {
        while (p < rend && IsBreak(buf[p])) p++;
        if (p >= rend) return false;
        int ls = p, e;
        if (skipUnmatched) {
            const char* c = candidates.First(buf + p, buf + rend);
            if (c == buf + rend) {
                int q = rend;
                while (IsBreak(buf[q - 1])) q--;
                scan.readPos = bufOff + q + 1;
                p = rend;
                return false;
            }
            const char* before = LastBreak(buf + p, c);
            ls = before ? (int)(before - buf) + 1 : p;
            int q = ls;
            while (q > p && IsBreak(buf[q - 1])) q--;
            if (q > p) scan.readPos = bufOff + q + 1;
            e = (int)(FindBreak(c, buf + rend) - buf);
        } else {
            e = (int)(FindBreak(buf + ls, buf + rend) - buf);
        }
        long long consumedStart = scan.readPos;
        scan.readPos = bufOff + e + 1;
        int lineLen = e - ls < kMaxLogLine ? e - ls : kMaxLogLine;
        if (TakeLine(scan, buf + ls, lineLen, consumedStart)) return true;
        p = e + 1;
    }
}

// Reads fd from scan.readPos up to the offset limit and looks at every
// complete line. Lines that no needle can match are passed over in bulk
// when the filters allow it. Read errors end the scan like the end of file.
void ScanLines(int fd, long long limit, TScan& scan) {
    bool skipUnmatched = true;
    for (TLineSearch* filter : scan.filters)
        if (filter != nullptr && !filter->NeedsNeedle()) skipUnmatched = false;
    TCandidates candidates(scan);
    std::vector<char> storage;
    long long bufOff = scan.readPos;  // file offset of buf[0]
    int len = 0, p = 0;
    bool inLongLine = false;  // reading past the rest of a line over kMaxLogLine
    String longLine;
    for (;;) {
        if (p > 0) {
            memmove(storage.data(), storage.data() + p, len - p);
            bufOff += p;
            len -= p;
            p = 0;
        }
        long long want = limit - (bufOff + len);
        if (want <= 0) return;
        if (want > kReadBlock) want = kReadBlock;
        if ((int)storage.size() < len + want) storage.resize(len + want);
        char* buf = storage.data();
        ssize_t n;
        do n = read(fd, buf + len, want);
        while (n < 0 && errno == EINTR);
        if (n <= 0) return;
        len += (int)n;
        candidates.Reset();
        if (inLongLine) {
            int e = (int)(FindBreak(buf, buf + len) - buf);
            if (e == len) {
                p = len;  // still inside the long line
                continue;
            }
            long long consumedStart = scan.readPos;
            scan.readPos = bufOff + e + 1;
            if (TakeLine(scan, longLine.Data(), longLine.Length(), consumedStart)) return;
            inLongLine = false;
            p = e + 1;
        }
        const char* last = LastBreak(buf + p, buf + len);
        const int rend = last ? (int)(last - buf) + 1 : p;
        if (ScanCompleteLines(buf, p, rend, bufOff, skipUnmatched, candidates, scan)) return;
        if (len - p >= kMaxLogLine) {
            longLine.CopyData(buf + p, kMaxLogLine);
            inLongLine = true;
            p = len;
        }
    }
}

void SetNotFound(const char* path, String& error) {
    error = "File \"";
    error += ExtractFileName(String(path));
    error += "\" not found";
}

// A match reported without continue right after a truncation or a
// replacement. The old last size would make the next check see the file as
// truncated again and report the same line once more, forever: record the
// size seen now instead. The time stays one that is not the file's, so that
// the next check does not take the file for unchanged and still reads the
// lines after the reported one.
void KeepPendingAfterRestart(long long size, long long mtime, long long& lastSize,
                             long long& lastAge) {
    lastSize = size;
    if (lastAge == mtime) lastAge = mtime - 1;
}

// The scan shared by both checks; see CheckFileForExpression.
long long CheckFile(const char* path, long long& readPos, long long& lastSize, long long& lastAge,
                    TScan& scan, String& lastLine, String& error, long long& fileSize) {
    lastLine = "";
    struct stat st;
    bool exists = path != nullptr && stat(path, &st) == 0;
    fileSize = exists ? (long long)st.st_size : -1;
    if (!exists || !S_ISREG(st.st_mode)) {
        SetNotFound(path, error);
        return -1;
    }
    error = "";
    const std::string key(path);
    TSeenState seen{};
    bool known = RecallFile(key, readPos, lastSize, lastAge, &seen);
    // Unchanged since the recorded state: nothing to read, nothing to open.
    if (lastAge != 0 && (long long)st.st_size == lastSize && (long long)st.st_mtime == lastAge &&
        (!known || (seen.device == st.st_dev && seen.inode == st.st_ino))) {
        if (!known) RememberFile(key, {readPos, lastSize, lastAge, st.st_dev, st.st_ino});
        return 0;
    }
    int fd = OpenLog(path, &st);
    if (fd < 0) {
        error = "Cannot open file";
        return -1;
    }
    const long long size = st.st_size;
    fileSize = size;
    bool restarted = false;  // truncated or replaced: read from the start
    if (lastSize == 0 && lastAge == 0) {
        // First check: only lines appended from now on count.
        readPos = size > 0 ? size - 1 : 0;
    } else {
        if (known && (seen.device != st.st_dev || seen.inode != st.st_ino)) {
            showmessage("Log file \"%s\" was replaced, reading the new file from its start\n",
                        LOCAL, MSG_INFO, MSG_PRINTF, path);
            readPos = 0;
            restarted = true;
        } else if (size < lastSize || size < readPos) {
            showmessage("Log file \"%s\" was truncated, reading it from its start\n", LOCAL,
                        MSG_INFO, MSG_PRINTF, path);
            readPos = 0;
            restarted = true;
        } else if (lastSize == 0 && readPos < 0) {
            readPos = 0;  // the file was empty when its state was recorded
        }
        if (readPos < 0 || lseek(fd, (off_t)readPos, SEEK_SET) < 0) {
            close(fd);
            error = "fseek error";
            return -1;
        }
        scan.readPos = readPos;
        ScanLines(fd, size, scan);
        readPos = scan.readPos;
        lastLine = scan.lastLine;
    }
    close(fd);
    // A reported match without continue keeps the recorded size and age, so
    // that the next check resumes right after it even in an unchanged file.
    if (scan.result == 0 || scan.continueAfterMatch) {
        lastSize = size;
        lastAge = (long long)st.st_mtime;
    } else if (restarted) {
        KeepPendingAfterRestart(size, (long long)st.st_mtime, lastSize, lastAge);
    }
    RememberFile(key, {readPos, lastSize, lastAge, st.st_dev, st.st_ino});
    return scan.result;
}

}  // namespace

long long CheckFileForExpression(const char* path, const String& text, long long& readPos,
                                 long long& lastSize, long long& lastAge, int expression,
                                 int continueAfterMatch, int caseSensitive, int wholeWord,
                                 String& lastLine, String& error, long long& fileSize) {
    TLineSearch search(text, expression, caseSensitive, wholeWord);
    TScan scan;
    scan.filters[0] = &search;
    scan.continueAfterMatch = continueAfterMatch;
    return CheckFile(path, readPos, lastSize, lastAge, scan, lastLine, error, fileSize);
}

long long CheckFileForExpression2(const char* path, long long& readPos, long long& lastSize,
                                  long long& lastAge, const TTextLogFilter& mainFilter,
                                  const TTextLogFilter& secondFilter, int useSecond,
                                  int continueAfterMatch, int& matchedFilter, String& lastLine,
                                  String& error, long long& fileSize) {
    TLineSearch main(mainFilter.Text, mainFilter.Expression, mainFilter.CaseSensitive,
                     mainFilter.WholeWord);
    TLineSearch second(secondFilter.Text, secondFilter.Expression, secondFilter.CaseSensitive,
                       secondFilter.WholeWord);
    TScan scan;
    scan.filters[0] = &main;
    if (useSecond) scan.filters[1] = &second;
    scan.continueAfterMatch = continueAfterMatch;
    long long result = CheckFile(path, readPos, lastSize, lastAge, scan, lastLine, error, fileSize);
    if (result > 0 && scan.matchedFilter >= 0) matchedFilter = scan.matchedFilter;
    return result;
}
