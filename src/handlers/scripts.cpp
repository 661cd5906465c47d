#include "handlers/scripts.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "config/settings.h"
#include "fs/filesearch.h"
#include "proc/runner.h"
#include "runtime/log.h"
#include "text/codecs.h"

namespace {

const int kNameSize = 512;
// The most of a process list that a reply carries.
const int kMaxProcessList = 8 * 1024 * 1024;
// The console's script is written out this long before it is started.
const useconds_t kScriptPauseUs = 90000;

void Refuse(OWLReply& reply, const char* code, const char* text) { reply.SetResult(code) += text; }

String CText(String s) {
    s.SetZero();
    return s.Data() != nullptr ? s : String("");
}

// ---- Console scripts -----------------------------------------------------

// Writes all of text to fd; false when some of it could not be written.
bool WriteAll(int fd, const String& text) {
    const char* p = text.Data();
    int left = text.Length();
    while (left > 0) {
        ssize_t n = write(fd, p, (size_t)left);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        p += n;
        left -= (int)n;
    }
    return true;
}

// Creates the script file with the text, executable. Fills name; false
// after replying (and with no file left).
bool WriteScriptFile(const String& script, char* name, OWLReply& reply) {
    if (!gettempfilename(name, kNameSize, nullptr)) {
        Refuse(reply, OWL_CANNOT_PERFORM, "Cannot get temp file");
        return false;
    }
    int fd = CreateTempFile(name, kNameSize, nullptr, 0775);
    if (fd < 0) {
        Refuse(reply, OWL_CANNOT_PERFORM, "Cannot create temp file");
        return false;
    }
    const char* failure = nullptr;
    if (!WriteAll(fd, script))
        failure = "cannot create temp file";
    else if (fchmod(fd, 0775) != 0)
        failure = "Cannot set exec flag for script";
    // Closed before anything runs it: a file open for writing cannot be
    // executed.
    close(fd);
    if (failure == nullptr) return true;
    unlink(name);
    Refuse(reply, OWL_CANNOT_PERFORM, failure);
    return false;
}

bool HasMarker(const String& line) {
    return line.Length() >= 10 && memposi(line.Data(), 10, "scriptres:", 10) == 1;
}

// Reads the script's output: the result line (the first line that begins
// with the marker, else the last non-empty line) and up to wanted lines.
void ReadScriptOutput(FILE* f, int wanted, String& result, String& output) {
    char buf[512];
    while (fgets(buf, sizeof(buf), f) != nullptr) {
        String line(buf);
        line.Trim();
        if (line.Length() == 0) continue;
        if (wanted > 0) {
            output += line;
            output += "\r\n";
            wanted--;
        }
        if (!HasMarker(result)) result = line;
        if (HasMarker(result) && wanted <= 0) break;
    }
}

// Seconds to the runner's milliseconds; never -1 (which would mean "do
// not wait"), and no overflow.
int ScriptTimeoutMs(int seconds) {
    long long ms = (long long)seconds * 1000;
    if (ms > INT_MAX) return INT_MAX;
    if (ms < INT_MIN) return INT_MIN;
    return (int)ms;
}

// Runs the prepared script; the caller deletes both files afterwards.
void RunScript(const String& command, const char* outName, int outFd, int seconds, int wanted,
               OWLReply& reply) {
    usleep(kScriptPauseUs);
    int exitCode = 0;
    String err;
    if (!SystemEx2(CText(command).Data(), nullptr, outName, outName, outName,
                   ScriptTimeoutMs(seconds), exitCode, err)) {
        reply.SetResult(OWL_CANNOT_PERFORM) += "Script execution error: ";
        reply += err;
        return;
    }
    FILE* f =
        lseek(outFd, 0, SEEK_SET) == 0 ? fdopen(fcntl(outFd, F_DUPFD_CLOEXEC, 0), "r") : nullptr;
    if (f == nullptr) {
        Refuse(reply, OWL_CANNOT_PERFORM, "Cannot get script results");
        return;
    }
    String result, output;
    ReadScriptOutput(f, wanted, result, output);
    fclose(f);
    reply.SetResult(OWL_OK);
    reply.AddStringParam(result, VALUE_ESCAPED);
    reply.AddStringParam(output, VALUE_ESCAPED);
}

// ---- Configured scripts --------------------------------------------------

// The configured script of key, checked on every request; empty after
// replying "<label> script is not speified" or "... doesn't exist".
String ConfiguredScript(String TOWLSettings::*key, const char* label, OWLReply& reply) {
    String script = CText(SettingText(key));
    const char* failure = nullptr;
    if (script.Length() == 0)
        failure = " script is not speified";
    else if (!FileExists(script.Data()))
        failure = " script doesn't exist";
    if (failure == nullptr) return script;
    reply.SetResult(OWL_CANNOT_PERFORM) += label;
    reply += failure;
    return String();
}

// Runs "script [args] 1>file 2>file 3>file" through the shell, the file a
// new temporary one, and returns the output open for reading (the file is
// already deleted); null after replying.
FILE* RunConfiguredScript(const String& script, const String& args, OWLReply& reply) {
    char name[kNameSize];
    char fileName[64];
    snprintf(fileName, sizeof(fileName), "tmpowl-%ld.txt", GetUniqueThreadID());
    int fd = CreateTempFile(name, sizeof(name), fileName, 0600);
    if (fd < 0) {
        Refuse(reply, OWL_CANNOT_PERFORM, "cannot get temp file");
        return nullptr;
    }
    String file = ShellQuote(String(name));
    String command = script;
    if (args.Length() > 0) command += String(" ") + args;
    command += String(" 1>") + file + " 2>" + file + " 3>" + file;
    int status = 0;
    FILE* f = nullptr;
    if (!RunShellCommand(command, status))
        Refuse(reply, OWL_CANNOT_PERFORM, "Cannot execute script");
    else if (lseek(fd, 0, SEEK_SET) != 0 || (f = fdopen(fd, "r")) == nullptr)
        Refuse(reply, OWL_CANNOT_PERFORM, "Cannot get script results");
    unlink(name);
    if (f == nullptr) close(fd);
    return f;
}

// The list script's output, taken as it comes the way a 512-byte line
// buffer reads it: pieces of up to 511 bytes, each ending at an LF or where
// the buffer is full; a zero byte ends a piece's text. Each non-empty piece,
// without its LF, goes into the list followed by CR LF. A broken script may
// print without end: at most kMaxProcessList bytes of the list are held,
// and from the first piece that does not fit on the output is only counted.
class TProcessList {
  public:
    void Take(const char* data, size_t n) {
        while (n > 0) {
            if (discarded_ > 0) {
                discarded_ += (long long)n;
                return;
            }
            size_t room = kPiece - piece_.size(), take = n < room ? n : room;
            const char* lf = (const char*)memchr(data, '\n', take);
            if (lf != nullptr) take = (size_t)(lf - data) + 1;
            piece_.append(data, take);
            data += take;
            n -= take;
            if (lf != nullptr || piece_.size() == kPiece) EndPiece();
        }
    }
    // Ends the last piece and hands over the list; returns the number of
    // output bytes left out (0: all kept).
    long long Finish(String& list) {
        if (!piece_.empty()) EndPiece();
        list.CopyData(kept_.data(), (int)kept_.size());
        return discarded_;
    }

  private:
    static const size_t kPiece = 511;

    void EndPiece() {
        size_t n = strnlen(piece_.data(), piece_.size());
        if (n > 0 && piece_[n - 1] == '\n') n--;
        if (n > 0 && kept_.size() + n + 2 > (size_t)kMaxProcessList) {
            discarded_ = (long long)piece_.size();
        } else if (n > 0) {
            Reserve(kept_.size() + n + 2);
            kept_.insert(kept_.end(), piece_.data(), piece_.data() + n);
            kept_.insert(kept_.end(), {'\r', '\n'});
        }
        piece_.clear();
    }
    // Grows the list's room by doubling, never beyond its bound.
    void Reserve(size_t needed) {
        if (needed <= kept_.capacity()) return;
        size_t room = kept_.capacity() * 2 > needed ? kept_.capacity() * 2 : needed;
        kept_.reserve(room < (size_t)kMaxProcessList ? room : (size_t)kMaxProcessList);
    }

    std::vector<char> kept_;
    std::string piece_;
    long long discarded_ = 0;
};

// Runs the list script with its output and error on a pipe, fd 3 there too,
// and collects the list. false when the script cannot be started.
bool ReadProcessList(const String& script, String& list, long long& discarded) {
    TProcessList collector;
    int status = 0;
    auto take = [&collector](const char* data, size_t n) { collector.Take(data, n); };
    if (!RunShellCommandReading(script + " 3>&1", take, status)) return false;
    discarded = collector.Finish(list);
    return true;
}

}  // namespace

void ReplyProgramRun(const String& commandLine, const String& workDir, int timeout,
                     OWLReply& reply) {
    if (commandLine.Length() == 0) {
        Refuse(reply, OWL_BAD_PARAMETER, "Command line to execute is not specified");
        return;
    }
    int exitCode = 0;
    String err;
    String dir = CText(workDir);
    if (SystemEx(CText(commandLine).Data(), dir.Length() > 0 ? dir.Data() : nullptr, timeout,
                 exitCode, err)) {
        reply.SetResult(OWL_OK);
        reply.AddIntParam(exitCode);
    } else {
        reply.SetResult(OWL_CANNOT_PERFORM) += err;
    }
}

void ProcessTest_External(const RequestParams& params, OWLReply& reply) {
    int timeout = 0;
    if (!owlDecodeInt(params.GetParam(4, PARAM_TRIMMED), &timeout)) {
        Refuse(reply, OWL_BAD_PARAMETER, "Wrong parameter");
        return;
    }
    ReplyProgramRun(params.GetParam(1, PARAM_TRIMMED), params.GetParam(2, PARAM_TRIMMED), timeout,
                    reply);
}

void ProcessTest_ShellScript(const RequestParams& params, OWLReply& reply) {
    String start = params.GetParam(1, PARAM_TRIMMED);
    String script = owlDecodeStrings(params.GetParam(2, PARAM_TRIMMED)).ReplaceAll("\r\n", "\n", 1);
    String scriptParams = owlDecodeStrings(params.GetParam(3, PARAM_TRIMMED));
    int seconds = owlDecodeInt(params.GetParam(4, PARAM_TRIMMED));
    int wanted = owlDecodeInt(params.GetParam(5, PARAM_TRIMMED));

    char scriptName[kNameSize];
    if (!WriteScriptFile(script, scriptName, reply)) return;
    char outName[kNameSize];
    int outFd = CreateTempFile(outName, kNameSize, nullptr, 0600);
    if (outFd < 0) {
        unlink(scriptName);
        Refuse(reply, OWL_CANNOT_PERFORM, "Cannot get temp file");
        return;
    }
    String command = start.ReplaceAll("%script%", scriptName, 0)
                         .ReplaceAll("%params%", CText(scriptParams).Data(), 0);
    RunScript(command, outName, outFd, seconds, wanted, reply);
    close(outFd);
    unlink(outName);
    unlink(scriptName);
}

// The number a configured script printed first, read with format (one
// conversion), then the script's output is closed; "Script error" when it
// printed none.
namespace {

template <class Number>
bool ReadScriptNumber(FILE* f, const char* format, Number* value, OWLReply& reply) {
    bool read = fscanf(f, format, value) == 1;
    fclose(f);
    if (!read) Refuse(reply, OWL_CANNOT_PERFORM, "Script error");
    return read;
}

}  // namespace

void ProcessTest_Process(const RequestParams& params, OWLReply& reply) {
    String script = ConfiguredScript(&TOWLSettings::proccntscript, "ProcCnt", reply);
    if (script.Length() == 0) return;
    String name = params.GetParam(2, PARAM_TRIMMED);
    if (name.Length() == 0) {
        Refuse(reply, OWL_BAD_PARAMETER, "Name of the process is not specified");
        return;
    }
    // The words reach the script as separate arguments, but the shell
    // interprets none of their characters.
    FILE* f = RunConfiguredScript(script, ShellQuoteWords(name), reply);
    if (f == nullptr) return;
    int count = 0;
    if (!ReadScriptNumber(f, " %d", &count, reply)) return;
    reply.SetResult(OWL_OK);
    reply.AddIntParam(count);
}

void ProcessTest_CPU(const RequestParams&, OWLReply& reply) {
    String script = ConfiguredScript(&TOWLSettings::cpuusagescript, "CPUUsage", reply);
    if (script.Length() == 0) return;
    FILE* f = RunConfiguredScript(script, String(), reply);
    if (f == nullptr) return;
    float usage = 0;
    if (!ReadScriptNumber(f, " %f", &usage, reply)) return;
    reply.SetResult(OWL_OK);
    reply.AddRealParam((double)usage);
}

void ProcessInfo_ProcessesList(const RequestParams&, OWLReply& reply) {
    String script = ConfiguredScript(&TOWLSettings::proclistscript, "ProcList", reply);
    if (script.Length() == 0) return;
    String list;
    long long discarded = 0;
    if (!ReadProcessList(script, list, discarded)) {
        Refuse(reply, OWL_CANNOT_PERFORM, "Cannot execute script");
        return;
    }
    if (discarded > 0)
        showmessage("Process list script \"%s\" printed more than %d bytes: %lld bytes discarded\n",
                    LOCAL, MSG_INFO, MSG_PRINTF, script.Data(), kMaxProcessList, discarded);
    reply.SetResult(OWL_OK);
    reply.AddStringParam(list, VALUE_ESCAPED);
}
