#include "core/log.h"

#include <errno.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <time.h>

#include "config/settings.h"
#include "core/logcheck.h"
#include "fs/filesearch.h"
#include "net/syncsocket.h"

const in_addr LOCAL = {0};
pthread_mutex_t showmutex = PTHREAD_MUTEX_INITIALIZER;

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
    TSettingsReadLock lock;
    s.interactive = OWLSettings.interactive;
    s.verbose = OWLSettings.verbose;
    s.debug = OWLSettings.debug;
    if (type == MSG_DEBUG && !s.debug) return s;
    if (type == MSG_SUCCESS && OWLSettings.logsuccess) s.okfile = OWLSettings.oklogfile;
    if (type == MSG_FAILURE && OWLSettings.logfails) s.badfile = OWLSettings.badlogfile;
    if (s.verbose) s.verbosefile = OWLSettings.verboselogfile;
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

void writelog(String file, const char* text) {
    if (file.Length() == 0 || text == nullptr) return;
    file = LogFilePath(file);
    FILE* f = fopen(file.SetZero().Data(), "ae");
    if (f == nullptr) {
        NoteLogOpenFailure(file, errno);
        return;
    }
    String owed = NoteLogOpenSuccess(file);
    if (owed.Length() > 0) fwrite(owed.Data(), 1, owed.Length(), f);
    fputs(text, f);
    fclose(f);
}

void showmessage(const char* text, in_addr peer, int type, int useFormat, ...) {
    if (text == nullptr) return;
    LogSettings settings = ReadLogSettings(type);
    if (type == MSG_DEBUG && !settings.debug) return;
    bool toFile = settings.okfile.Length() > 0 || settings.badfile.Length() > 0 ||
                  settings.verbosefile.Length() > 0;
    if (!settings.interactive && !toFile) return;

    char message[kMaxText];
    if (useFormat) {
        va_list args;
        va_start(args, useFormat);
        vsnprintf(message, sizeof message, text, args);
        va_end(args);
    } else {
        snprintf(message, sizeof message, "%s", text);
    }

    pthread_mutex_lock(&showmutex);
    time_t now = time(nullptr);
    struct tm when;
    localtime_r(&now, &when);
    if (settings.interactive) {
        String line = FormatConsoleLine(when, peer, message);
        fwrite(line.Data(), 1, line.Length(), stdout);
        fflush(stdout);
    }
    if (toFile) {
        String line = FormatFileLine(when, peer, message);
        line.SetZero();
        writelog(settings.okfile, line.Data());
        writelog(settings.badfile, line.Data());
        writelog(settings.verbosefile, line.Data());
    }
    pthread_mutex_unlock(&showmutex);
}
