#include "server/log.h"

#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <time.h>

#include "config/settings.h"
#include "fs/filesearch.h"
#include "net/syncsocket.h"

const in_addr LOCAL = {0};
pthread_mutex_t showmutex = PTHREAD_MUTEX_INITIALIZER;

namespace {

const int kMaxText = 512;  // 511 bytes and the zero

// The settings one message needs, copied under the settings lock.
struct LogSettings {
    int interactive, verbose, debug, logsuccess, logfails;
    String oklogfile, badlogfile, verboselogfile;
};

LogSettings ReadLogSettings() {
    TSettingsReadLock lock;
    return LogSettings{OWLSettings.interactive, OWLSettings.verbose,       OWLSettings.debug,
                       OWLSettings.logsuccess,  OWLSettings.logfails,      OWLSettings.oklogfile,
                       OWLSettings.badlogfile,  OWLSettings.verboselogfile};
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
    if (ExtractFilePath(file).Length() == 0) {
        String folder = ExtractFilePath(String(OWLSettings.configfile));
        if (folder.Length() > 0) file = folder + file;
    }
    FILE* f = fopen(file.SetZero().Data(), "ae");
    if (f == nullptr) return;
    fputs(text, f);
    fclose(f);
}

void showmessage(const char* text, in_addr peer, int type, int useFormat, ...) {
    if (text == nullptr) return;
    LogSettings settings = ReadLogSettings();
    if (type == MSG_DEBUG && !settings.debug) return;
    bool toFile = (type == MSG_SUCCESS && settings.logsuccess) ||
                  (type == MSG_FAILURE && settings.logfails) || settings.verbose;
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
    String line = FormatFileLine(when, peer, message);
    line.SetZero();
    if (type == MSG_SUCCESS && settings.logsuccess) writelog(settings.oklogfile, line.Data());
    if (type == MSG_FAILURE && settings.logfails) writelog(settings.badlogfile, line.Data());
    if (settings.verbose) writelog(settings.verboselogfile, line.Data());
    pthread_mutex_unlock(&showmutex);
}
