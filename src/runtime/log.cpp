#include "runtime/log.h"

#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <chrono>

#include "config/settings.h"
#include "fs/filesearch.h"
#include "runtime/logcheck.h"
#include "text/systemtext.h"

const in_addr LOCAL = {0};
Mutex showmutex;

namespace {

const int kMaxText = 512;  // 511 bytes and the zero

// The settings one message needs, copied under the settings lock. The file
// names are copied only when the message goes to that file.
struct LogSettings {
    int interactive = 0, verbose = 0, debug = 0;
    String okfile, badfile, verbosefile;  // empty: not written there
};

LogSettings ReadLogSettings(int type) {
    LogSettings s;
    const TOWLSettings& now = CurrentSettings();
    s.interactive = now.interactive;
    s.verbose = now.verbose;
    s.debug = now.debug;
    if (type == MSG_DEBUG && !s.debug) return s;
    if (type == MSG_SUCCESS && now.logsuccess) s.okfile = now.oklogfile;
    if (type == MSG_FAILURE && now.logfails) s.badfile = now.badlogfile;
    if (s.verbose) s.verbosefile = now.verboselogfile;
    return s;
}

// "owl" and a tab for LOCAL, else the dotted address.
void AddressText(in_addr peer, char* dst, int size) {
    if (peer.s_addr == 0)
        snprintf(dst, size, "owl\t");
    else
        inet_ntoa_safe(peer, dst, size);
}

String FormatLine(const char* format, const char* stamp, in_addr peer, const char* message) {
    char address[32];
    AddressText(peer, address, sizeof address);
    // Room for everything, then the line is cut to its 511 bytes.
    char line[3 * kMaxText];
    snprintf(line, sizeof line, format, stamp, address, message);
    line[kMaxText - 1] = 0;
    return String(line);
}

}  // namespace

String FormatConsoleLine(const struct tm& when, in_addr peer, const char* message) {
    char stamp[32];
    snprintf(stamp, sizeof stamp, "%2.2d:%2.2d:%2.2d", when.tm_hour, when.tm_min, when.tm_sec);
    return FormatLine("[owl][%s]\t %s\t %s", stamp, peer, message);
}

String FormatFileLine(const struct tm& when, in_addr peer, const char* message) {
    char stamp[48];
    snprintf(stamp, sizeof stamp, "%2.2d/%2.2d/%2.2d %2.2d:%2.2d:%2.2d", when.tm_mon + 1,
             when.tm_mday, when.tm_year + 1900, when.tm_hour, when.tm_min, when.tm_sec);
    return FormatLine("[%s]\t %s\t %s", stamp, peer, message);
}

// Writes all of n bytes with one write where the system allows; a line
// written whole to an O_APPEND file never mixes with another thread's.
void WriteAll(int fd, const char* p, size_t n) {
    while (n > 0) {
        ssize_t done = write(fd, p, n);
        if (done < 0 && errno == EINTR) continue;
        if (done <= 0) return;
        p += done;
        n -= (size_t)done;
    }
}

void writelog(String file, const char* text) {
    if (file.Length() == 0 || text == nullptr) return;
    file = LogFilePath(file);
    int fd = open(file.SetZero().Data(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0) {
        NoteLogOpenFailure(file, errno);
        return;
    }
    String lines = NoteLogOpenSuccess(file);
    lines += text;
    WriteAll(fd, lines.Data(), (size_t)lines.Length());
    close(fd);
}

namespace {

// The window within which a repeated failure message is only counted.
const long long kRepeatWindowMs = 1000;
// Failure messages being counted; when full, the oldest is written early.
const int kRepeatSlots = 32;

struct RepeatSlot {
    bool used = false;
    in_addr peer;
    long long since = 0;  // when the message was last written
    int count = 0;        // repeats since then
    char message[kMaxText];
};

RepeatSlot g_repeats[kRepeatSlots] GUARDED_BY(showmutex);

long long NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// Writes one message to the console and the files, each line with one
// write; no lock is needed.
void WriteMessage(const LogSettings& settings, bool toFile, in_addr peer, const char* message) {
    time_t now = time(nullptr);
    struct tm when;
    localtime_r(&now, &when);
    if (settings.interactive) {
        String line = FormatConsoleLine(when, peer, message);
        fflush(stdout);  // what printf left there comes first
        WriteAll(STDOUT_FILENO, line.Data(), (size_t)line.Length());
    }
    if (toFile) {
        String line = FormatFileLine(when, peer, message);
        line.SetZero();
        writelog(settings.okfile, line.Data());
        writelog(settings.badfile, line.Data());
        writelog(settings.verbosefile, line.Data());
    }
}

// Writes the count of a slot (if any) and frees it; showmutex is held.
void CloseSlot(RepeatSlot& slot, const LogSettings& settings, bool toFile) {
    if (slot.count > 0) {
        char summary[kMaxText + 32];
        int n = (int)strcspn(slot.message, "\n");
        snprintf(summary, sizeof summary, "%.*s (repeated %d times)\n", n, slot.message,
                 slot.count);
        summary[kMaxText - 1] = 0;
        WriteMessage(settings, toFile, slot.peer, summary);
    }
    slot.used = false;
}

// Closes the slots whose window is over; showmutex is held.
void CloseExpired(long long now, const LogSettings& settings, bool toFile) {
    for (RepeatSlot& slot : g_repeats)
        if (slot.used && now - slot.since >= kRepeatWindowMs) CloseSlot(slot, settings, toFile);
}

// True when the message only needs counting; otherwise it takes a slot
// and is to be written. showmutex is held.
bool CountRepeat(in_addr peer, const char* message, long long now, const LogSettings& settings,
                 bool toFile) {
    CloseExpired(now, settings, toFile);
    RepeatSlot* oldest = &g_repeats[0];
    RepeatSlot* empty = nullptr;
    for (RepeatSlot& slot : g_repeats) {
        if (!slot.used) {
            if (empty == nullptr) empty = &slot;
            continue;
        }
        if (slot.peer.s_addr == peer.s_addr && strcmp(slot.message, message) == 0) {
            slot.count++;
            return true;
        }
        if (slot.since < oldest->since) oldest = &slot;
    }
    if (empty == nullptr) {
        CloseSlot(*oldest, settings, toFile);
        empty = oldest;
    }
    empty->used = true;
    empty->peer = peer;
    empty->since = now;
    empty->count = 0;
    snprintf(empty->message, sizeof empty->message, "%s", message);
    return false;
}

bool WritesAnywhere(const LogSettings& settings, bool& toFile) {
    toFile = settings.okfile.Length() > 0 || settings.badfile.Length() > 0 ||
             settings.verbosefile.Length() > 0;
    return settings.interactive || toFile;
}

}  // namespace

void FlushRepeatedMessages() {
    LogSettings settings = ReadLogSettings(MSG_FAILURE);
    bool toFile;
    WritesAnywhere(settings, toFile);
    MutexLock hold(showmutex);
    CloseExpired(NowMs(), settings, toFile);
}

void showmessage(const char* text, in_addr peer, int type, int useFormat, ...) {
    if (text == nullptr) return;
    LogSettings settings = ReadLogSettings(type);
    if (type == MSG_DEBUG && !settings.debug) return;
    bool toFile;
    if (!WritesAnywhere(settings, toFile)) return;

    char message[kMaxText];
    if (useFormat) {
        va_list args;
        va_start(args, useFormat);
        vsnprintf(message, sizeof message, text, args);
        va_end(args);
    } else {
        snprintf(message, sizeof message, "%s", text);
    }

    // Only failure messages about a peer share state: their repeat counts.
    if (type == MSG_FAILURE && peer.s_addr != LOCAL.s_addr) {
        bool counted;
        {
            MutexLock hold(showmutex);
            counted = CountRepeat(peer, message, NowMs(), settings, toFile);
        }
        if (counted) return;
    }
    WriteMessage(settings, toFile, peer, message);
}
