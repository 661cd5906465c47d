#include "runtime/logcheck.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "config/settings.h"
#include "fs/filesearch.h"
#include "runtime/log.h"
#include "sync/mutex.h"

namespace {

Mutex g_lock;
std::set<std::string> g_reported GUARDED_BY(g_lock);  // unwritable files already reported
std::vector<std::string> g_owed GUARDED_BY(g_lock);   // messages not yet written to a log
// g_reported is not empty: read without the lock by every log write.
std::atomic<bool> g_anyReported{false};

std::string Key(const String& s) { return std::string(s.Data() ? s.Data() : "", s.Length()); }

std::string Message(const String& path, int error) {
    return "Cannot open log file '" + Key(path) + "': " + strerror(error) + "\n";
}

// Remembers the failure; true when it is new.
bool Remember(const String& path, int error) {
    MutexLock hold(g_lock);
    if (!g_reported.insert(Key(path)).second) return false;
    g_anyReported = true;
    g_owed.push_back(Message(path, error));
    return true;
}

// 0 when path could be opened for appending, else the reason (errno). An
// existing file must be writable; a new one needs a writable folder.
int AppendBlocked(const String& path) {
    String p = path;
    p.SetZero();
    if (access(p.Data(), F_OK) == 0) return access(p.Data(), W_OK) == 0 ? 0 : errno;
    if (errno != ENOENT) return errno;
    String folder = ExtractFilePath(path);
    if (folder.Length() == 0) folder = "./";
    folder.SetZero();
    if (!DirectoryExists(folder.Data())) return ENOENT;
    return access(folder.Data(), W_OK | X_OK) == 0 ? 0 : errno;
}

}  // namespace

String LogFilePath(const String& file) {
    if (file.Length() == 0 || ExtractFilePath(file).Length() > 0) return file;
    String folder = ExtractFilePath(String(OWLSettings.configfile));
    return folder.Length() > 0 ? folder + file : file;
}

int CheckLogFiles() {
    std::vector<String> files;
    {
        TSettingsReadLock lock;
        if (OWLSettings.logsuccess) files.push_back(OWLSettings.oklogfile);
        if (OWLSettings.logfails) files.push_back(OWLSettings.badlogfile);
        if (OWLSettings.verbose) files.push_back(OWLSettings.verboselogfile);
    }
    int warnings = 0;
    for (const String& name : files) {
        if (name.Length() == 0) continue;
        String path = LogFilePath(name);
        int error = AppendBlocked(path);
        if (error == 0) continue;
        path.SetZero();
        printf("Warning: cannot open log file '%s': %s\n", path.Data(), strerror(error));
        Remember(path, error);
        warnings++;
    }
    return warnings;
}

void NoteLogOpenFailure(const String& path, int error) { Remember(path, error); }

String NoteLogOpenSuccess(const String& path) {
    std::vector<std::string> owed;
    {
        if (!g_anyReported.load(std::memory_order_acquire)) return String();
        MutexLock hold(g_lock);
        if (g_reported.empty()) return String();
        g_reported.erase(Key(path));
        g_anyReported = !g_reported.empty();
        owed.swap(g_owed);
    }
    String lines;
    if (owed.empty()) return lines;
    time_t now = time(nullptr);
    struct tm when;
    localtime_r(&now, &when);
    for (const std::string& message : owed) lines += FormatFileLine(when, LOCAL, message.c_str());
    return lines;
}
