#include "config/settings.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <memory>

#include "fs/filesearch.h"
#include "text/codecs.h"

TOWLSettings OWLSettings;
Mutex optmutex;
SharedMutex settingsLock;

namespace {

// Set once a load has succeeded.
bool loadedOnce GUARDED_BY(optmutex) = false;

// A line of the file is read in chunks of at most this many bytes, and a
// rewritten line is kept within kLineLimit bytes before its line end, so
// that it reads back as one chunk.
const int kChunk = 1023;
const int kLineLimit = 1020;

constexpr TSettingKey Text(const char* key, String TOWLSettings::*field, const char* absent,
                           SettingSave save, const char* remote) {
    return {key, SettingKind::Text, field, nullptr, absent, false, save, remote};
}
constexpr TSettingKey List(const char* key, String TOWLSettings::*field, const char* absent,
                           SettingSave save, const char* remote) {
    return {key, SettingKind::List, field, nullptr, absent, false, save, remote};
}
constexpr TSettingKey Number(const char* key, int TOWLSettings::*field, bool onlyWhileZero,
                             SettingSave save, const char* remote) {
    return {key, SettingKind::Number, nullptr, field, nullptr, onlyWhileZero, save, remote};
}
constexpr TSettingKey Flag(const char* key, int TOWLSettings::*field, const char* absent,
                           SettingSave save, const char* remote) {
    return {key, SettingKind::Flag, nullptr, field, absent, false, save, remote};
}

const SettingSave kNo = SettingSave::No;
const SettingSave kRewrite = SettingSave::Rewrite;
const SettingSave kBoth = SettingSave::RewriteAppend;
const SettingShown kTest = SettingShown::Test;
const SettingShown kAction = SettingShown::Action;
const SettingShown kManaged = SettingShown::Managed;
const long kIntMax = 2147483647L;

}  // namespace

// Rows in append order. A load matches each line against every row, so the
// order matters only for the keys that a save appends. Columns: key, field,
// value before each load (nullptr: kept), save rule, remote name; then where
// GetInfo and GetSettings show the row, and what SetSettings accepts.
const TSettingKey OWLSettingKeys[] = {
    Text("owlpath", &TOWLSettings::owlpath, "", kNo, nullptr),
    Text("host", &TOWLSettings::host, nullptr, kBoth, nullptr),
    Number("port", &TOWLSettings::port, true, kBoth, "Port")
        .Accepting(1, 65535),  // kept; read only while 0
    Number("timeout", &TOWLSettings::timeout, false, kBoth, "Timeout")
        .Accepting(1, kIntMax),  // kept
    Text("comment", &TOWLSettings::comment, "", kBoth, "Comment"),
    Text("password", &TOWLSettings::password, "", kBoth, "Password")
        .Accepting(1, kIntMax)
        .ShownIn(kManaged, 5),
    Flag("filteractive", &TOWLSettings::filteractive, "0", kBoth, "IPFiltering")
        .ShownIn(kManaged, 6),
    Text("filtermarks", &TOWLSettings::filtermarks, "1", kBoth, "IPFilterMarks")
        .ShownIn(kManaged, 8),
    List("filterlist", &TOWLSettings::filterlist, "127.0.0.1", kBoth, "IPFilterAddr")
        .ShownIn(kManaged, 7),
    Text("verboselogfile", &TOWLSettings::verboselogfile, nullptr, kBoth, nullptr),
    Flag("logsuccess", &TOWLSettings::logsuccess, "0", kBoth, "LogOkConn").ShownIn(kManaged, 1),
    Flag("logfails", &TOWLSettings::logfails, "1", kBoth, "LogBadConn").ShownIn(kManaged, 2),
    Text("oklogfile", &TOWLSettings::oklogfile, "log1.txt", kBoth, "OkLogFile")
        .ShownIn(kManaged, 3),
    Text("badlogfile", &TOWLSettings::badlogfile, "log2.txt", kBoth, "BadLogFile")
        .ShownIn(kManaged, 4),
    Flag("allowupdates", &TOWLSettings::allowupdates, "1", kBoth, "AllowUpdates")
        .ShownIn(kManaged, 9),
    Flag("allowmanage", &TOWLSettings::allowmanage, "1", kBoth, "AllowRManage")
        .ShownIn(kManaged, 10),
    Text("updateaddr", &TOWLSettings::updateaddr, "127.0.0.1", kBoth, "UpdateAddr")
        .ShownIn(kManaged, 11),
    Text("manageaddr", &TOWLSettings::manageaddr, "127.0.0.1", kBoth, "ManageAddr")
        .ShownIn(kManaged, 12),
    Flag("unc", &TOWLSettings::unc, "1", kBoth, "UNC").ShownIn(kTest, 3),
    Flag("freespace", &TOWLSettings::freespace, "1", kRewrite, "Drive Space"),
    Flag("foldersize", &TOWLSettings::foldersize, "1", kBoth, "Folder Size").ShownIn(kTest, 4),
    Flag("countfiles", &TOWLSettings::countfiles, "1", kBoth, "Count Files").ShownIn(kTest, 5),
    Flag("fileexists", &TOWLSettings::fileexists, "1", kBoth, "File Availability")
        .ShownIn(kTest, 6),
    Flag("filecrc", &TOWLSettings::filecrc, "1", kBoth, "File Integrity").ShownIn(kTest, 7),
    Flag("comparefiles", &TOWLSettings::comparefiles, "1", kBoth, "File Compare").ShownIn(kTest, 8),
    Flag("process", &TOWLSettings::process, "1", kBoth, "Process").ShownIn(kTest, 10),
    Flag("cpuusage", &TOWLSettings::cpuusage, "1", kBoth, "CPU Usage").ShownIn(kTest, 11),
    Flag("script", &TOWLSettings::script, "1", kBoth, "Script"),
    Flag("external", &TOWLSettings::external, "1", kBoth, "External").ShownIn(kTest, 12),
    Flag("ping", &TOWLSettings::ping, "1", kBoth, "Ping"),
    Flag("tcp", &TOWLSettings::tcp, "1", kBoth, "TCP").ShownIn(kTest, 1),
    Flag("udp", &TOWLSettings::udp, "1", kBoth, "UDP").ShownIn(kTest, 2),
    Flag("textlog", &TOWLSettings::textlog, "1", kBoth, "Text Log").ShownIn(kTest, 9),
    Flag("shellscript", &TOWLSettings::shellscript, "1", kBoth, nullptr)
        .ShownIn(kTest, 13, "Shell Script"),
    Flag("executeaction", &TOWLSettings::executeaction, "0", kBoth, "Execute external command")
        .ShownIn(kAction, 1),
    Flag("tcpudpaction", &TOWLSettings::tcpudpaction, "0", kBoth, "TCP/UDP send")
        .ShownIn(kAction, 2),
    Flag("syslogaction", &TOWLSettings::syslogaction, "0", kBoth, "Syslog").ShownIn(kAction, 3),
    Text("cpuusagescript", &TOWLSettings::cpuusagescript, nullptr, kNo, nullptr),
    Text("proclistscript", &TOWLSettings::proclistscript, nullptr, kNo, nullptr),
    Text("proccntscript", &TOWLSettings::proccntscript, nullptr, kNo, nullptr),
    Text("tmpdir", &TOWLSettings::tmpdir, nullptr, kNo, nullptr),
    Text("pidfile", &TOWLSettings::pidfile, "", kNo, nullptr),
};
const int OWLSettingKeyCount = sizeof(OWLSettingKeys) / sizeof(OWLSettingKeys[0]);

const TSettingKey* FindSettingKey(const char* key, int n) {
    if (key == nullptr) return nullptr;
    if (n < 0) n = (int)strlen(key);
    for (const TSettingKey& row : OWLSettingKeys)
        if ((int)strlen(row.key) == n && memposi(row.key, n, key, n) == 1) return &row;
    return nullptr;
}

const TSettingKey* FindRemoteSetting(const String& name) {
    for (const TSettingKey& row : OWLSettingKeys)
        if (row.remote != nullptr && name == row.remote) return &row;
    return nullptr;
}

String SettingValue(const TOWLSettings& settings, const TSettingKey& key) {
    switch (key.kind) {
        case SettingKind::Flag:
            return String(settings.*key.number ? "1" : "0");
        case SettingKind::Number: {
            char number[16];
            snprintf(number, sizeof(number), "%d", settings.*key.number);
            return String(number);
        }
        default:
            return settings.*key.text;
    }
}

namespace {

// The file's list value: encoded line breaks decoded, items separated by
// runs of blanks, stored with CR LF between them.
String DecodeFilterList(const String& value) {
    String list = owlDecodeStrings(value);
    list.Trim().RemoveRepeats(' ');
    return list.ReplaceAll(" ", "\r\n", 1);
}

// A copy of s that is safe to hand to a C library call.
String CText(String s) {
    s.SetZero();
    return s;
}

}  // namespace

void SetSettingFromFile(TOWLSettings& settings, const TSettingKey& key, const String& value) {
    switch (key.kind) {
        case SettingKind::Text:
            settings.*key.text = value;
            break;
        case SettingKind::List:
            settings.*key.text = DecodeFilterList(value);
            break;
        case SettingKind::Number:
            settings.*key.number = owlDecodeInt(value);
            break;
        case SettingKind::Flag:
            settings.*key.number = value.Length() > 0 && value[1] == '1';
            break;
    }
}

void SetSettingFromRemote(TOWLSettings& settings, const TSettingKey& key, const String& value) {
    switch (key.kind) {
        case SettingKind::Text:
            settings.*key.text = value;
            break;
        case SettingKind::List:
            settings.*key.text = owlDecodeStrings(value);
            break;
        case SettingKind::Number:
            settings.*key.number = owlDecodeInt(value);
            break;
        case SettingKind::Flag:
            settings.*key.number = owlDecodeBool(value);
            break;
    }
}

// ---- Reading the file --------------------------------------------------

namespace {

// Reads a file as chunks of at most kChunk bytes, each ending after the
// line end byte when one comes first. Zero bytes are ordinary bytes.
class TChunkReader {
  public:
    TChunkReader(FILE* file, char lineEnd) : file_(file), lineEnd_(lineEnd) {}
    // Copies the next chunk into out (room for kChunk bytes) and returns its
    // length; 0 at the end of the file or after a read error.
    int Next(char* out) {
        int n = 0;
        while (n < kChunk) {
            if (pos_ == len_) {
                len_ = (int)fread(block_, 1, sizeof(block_), file_);
                pos_ = 0;
                if (len_ == 0) break;
            }
            int avail = len_ - pos_;
            if (avail > kChunk - n) avail = kChunk - n;
            const char* end = (const char*)memchr(block_ + pos_, lineEnd_, avail);
            int take = end ? (int)(end - (block_ + pos_)) + 1 : avail;
            memcpy(out + n, block_ + pos_, take);
            n += take;
            pos_ += take;
            if (end) break;
        }
        return n;
    }

  private:
    FILE* file_;
    char lineEnd_;
    char block_[8192];
    int pos_ = 0;
    int len_ = 0;
};

// The byte that ends the lines of the file: LF, or CR for a file that holds
// CR bytes but no LF at all (old Macintosh line ends). Leaves the file at its
// start; returns 0 after a read error.
char DetectLineEnd(FILE* file) {
    char block[8192];
    bool sawCR = false;
    size_t n;
    while ((n = fread(block, 1, sizeof(block), file)) > 0) {
        if (memchr(block, '\n', n) != nullptr) {
            sawCR = false;
            break;
        }
        if (memchr(block, '\r', n) != nullptr) sawCR = true;
    }
    if (ferror(file) || fseek(file, 0, SEEK_SET) != 0) return 0;
    return sawCR ? '\r' : '\n';
}

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

// What the first chunk of a line says: the row of its key (null for a
// comment, a line without "=" or an unknown key), the offset of the value
// (the first byte after "=" and the blanks behind it) and the value without
// its trailing blanks and line end. The chunk is read as a C string: a zero
// byte ends what is looked at.
struct TKeyLine {
    const TSettingKey* key = nullptr;
    int valuePos = 0;
    String value;
    String name;  // the key as written, trimmed; empty for a line without a key
};

TKeyLine ParseChunk(const char* chunk, int n) {
    TKeyLine line;
    const char* zero = (const char*)memchr(chunk, 0, n);
    if (zero) n = (int)(zero - chunk);
    if (n == 0 || chunk[0] == '#' || chunk[0] == ';') return line;
    const char* eq = (const char*)memchr(chunk, '=', n);
    if (eq == nullptr) return line;
    int keyStart = 0;
    int keyEnd = (int)(eq - chunk);
    while (keyStart < keyEnd && IsBlank(chunk[keyStart])) keyStart++;
    while (keyEnd > keyStart && IsBlank(chunk[keyEnd - 1])) keyEnd--;
    line.name.CopyData(chunk + keyStart, keyEnd - keyStart);
    line.key = FindSettingKey(chunk + keyStart, keyEnd - keyStart);
    if (line.key == nullptr) return line;
    int pos = (int)(eq - chunk) + 1;
    while (pos < n && IsBlank(chunk[pos])) pos++;
    int end = n;
    while (end > pos &&
           (IsBlank(chunk[end - 1]) || chunk[end - 1] == '\r' || chunk[end - 1] == '\n'))
        end--;
    line.valuePos = pos;
    line.value.CopyData(chunk + pos, end - pos);
    return line;
}

String CannotOpen(const char* path) {
    return String("Cannot open configuration file '") + path + "'";
}

// Sets TMPDIR to dir unless it already holds exactly that: other threads
// read the environment, so it is written only when it changes.
void SetTmpdirEnvironment(const String& dir) {
    String value = CText(dir);
    // A folder text that begins with a zero byte is the empty text.
    const char* wanted = value.Data() != nullptr ? value.Data() : "";
    const char* current = getenv("TMPDIR");
    if (current == nullptr || strcmp(current, wanted) != 0) setenv("TMPDIR", wanted, 1);
}

}  // namespace

// ---- Load ------------------------------------------------------------------

int TOWLSettings::LoadOptions_(String& err) {
    err = "";
    for (const TSettingKey& row : OWLSettingKeys)
        if (row.absent != nullptr) SetSettingFromFile(*this, row, String(row.absent));
    if (configfile[0] == 0) {
        err = "Configuration file is not specified";
        return 0;
    }
    FILE* file = fopen(configfile, "rbe");
    if (file == nullptr) {
        err = CannotOpen(configfile);
        return 0;
    }
    char lineEnd = DetectLineEnd(file);
    if (lineEnd != 0) {
        TChunkReader reader(file, lineEnd);
        char chunk[kChunk];
        bool lineStart = true;
        int n;
        while ((n = reader.Next(chunk)) > 0) {
            // Only the first chunk of a line is read: the rest of a longer
            // line belongs to that line.
            if (lineStart) {
                TKeyLine line = ParseChunk(chunk, n);
                if (line.key && !(line.key->onlyWhileZero && this->*line.key->number != 0))
                    SetSettingFromFile(*this, *line.key, line.value);
            }
            lineStart = chunk[n - 1] == lineEnd;
        }
    }
    bool readFailed = lineEnd == 0 || ferror(file);
    fclose(file);
    if (readFailed) {
        err = CannotOpen(configfile);
        return 0;
    }

    int result = 1;
    PutRight(err);
    if (timeout == 0) timeout = 4000;
    if (port == 0) {
        err += "  TCP post is not specified!\n";
        result = 0;
    }
    if (password.Length() == 0) {
        err += "  Password is not specified!\n";
        result = 0;
    }
    if (owlpath.Length() == 0 || owlpath[1] != '/') {
        err += "  Full path to the agent is not specified!\n";
        result = 0;
    } else if (!FileExists(CText(owlpath).Data())) {
        err += "  Invalid path to the agent!\n";
        result = 0;
    }
    return result;
}

void TOWLSettings::PutRight(String& err) {
    activefilter = "\r\n";
    for (int i = 1; i <= filtermarks.Length(); i++) {
        String item = filterlist.GetWord(i, '\n');
        item.Trim();
        if (item.Length() == 0) {
            err = "FilterMarks has less items than FilterList";
            break;
        }
        if (filtermarks[i] == '1') {
            activefilter += item;
            activefilter += "\r\n";
        }
    }

    String folder = ExtractFilePath(owlpath);
    if (folder.Length() > 0) {
        for (String* script : {&cpuusagescript, &proclistscript, &proccntscript})
            if (script->Length() > 0 && script->Pos('/') == 0) *script = folder + *script;
    }

    if (tmpdir.Length() == 0 || !DirectoryExists(CText(tmpdir).Data())) {
        const char* env = getenv("TMPDIR");
        if (env == nullptr) env = getenv("TMP");
        tmpdir = env != nullptr && DirectoryExists(env) ? env : ".";
    }
    tmpdir = ExcludeTrailingPathDelimiter(tmpdir);
    SetTmpdirEnvironment(tmpdir);
}

bool VisitConfigurationLines(const char* path, const TConfigLineVisitor& visit) {
    FILE* file = fopen(path, "rbe");
    if (file == nullptr) return false;
    char lineEnd = DetectLineEnd(file);
    if (lineEnd != 0) {
        TChunkReader reader(file, lineEnd);
        char chunk[kChunk];
        bool lineStart = true;
        int n, number = 0;
        while ((n = reader.Next(chunk)) > 0) {
            if (lineStart) {
                number++;
                TKeyLine line = ParseChunk(chunk, n);
                if (line.name.Length() > 0) visit(number, line.name, line.key, line.value);
            }
            lineStart = chunk[n - 1] == lineEnd;
        }
    }
    bool ok = lineEnd != 0 && !ferror(file);
    fclose(file);
    return ok;
}

// ---- Save ------------------------------------------------------------------

namespace {

// The configuration being written to "<file>.New": remembers write errors
// and the last byte written.
class TConfigWriter {
  public:
    TConfigWriter(FILE* file, const char* newline) : file_(file), newline_(newline) {}
    void Write(const char* data, int n) {
        if (n <= 0) return;
        if (fwrite(data, 1, n, file_) != (size_t)n) failed_ = true;
        last_ = data[n - 1];
    }
    void Write(const String& s) { Write(s.Data(), s.Length()); }
    void Newline() { Write(newline_, (int)strlen(newline_)); }
    // Ends an unfinished last line.
    void EndLastLine(char lineEnd) {
        if (last_ != 0 && last_ != lineEnd) Newline();
    }
    // Flushes to the disk and closes; true when every byte was written.
    bool Close() {
        if (fflush(file_) != 0 || fsync(fileno(file_)) != 0) failed_ = true;
        if (fclose(file_) != 0) failed_ = true;
        return !failed_;
    }

  private:
    FILE* file_;
    const char* newline_;
    bool failed_ = false;
    char last_ = 0;
};

// The value of a rewritten or appended line: lists with one space between
// items (a lone CR or LF also becomes a space, so that the value stays on
// its line).
String SavedValue(const TOWLSettings& settings, const TSettingKey& key) {
    String value = SettingValue(settings, key);
    if (key.kind != SettingKind::List) return value;
    value = value.ReplaceAll("\r\n", " ", 1);
    value = value.ReplaceAll("\r", " ", 1);
    return value.ReplaceAll("\n", " ", 1);
}

// Writes value cut so that a line of prefixLen bytes before it stays within
// kLineLimit bytes.
void WriteCutValue(TConfigWriter& out, const String& value, int prefixLen) {
    int room = kLineLimit - prefixLen;
    if (room < 0) room = 0;
    out.Write(value.Data(), value.Length() < room ? value.Length() : room);
}

// Writes the first chunk of a line with the current value of its key.
// Returns true when the rest of the line (further chunks) is to be dropped
// because it belonged to the replaced value.
bool WriteKeyChunk(TConfigWriter& out, const TOWLSettings& settings, const TKeyLine& line,
                   const char* chunk, int n, char lineEnd) {
    int pos = line.valuePos;
    out.Write(chunk, pos);
    String value = SavedValue(settings, *line.key);
    if (line.key->kind == SettingKind::Flag) {
        // Only the one value byte changes; an empty value gains the byte
        // in front of the line end.
        out.Write(value);
        bool insert = pos == n || chunk[pos] == '\r' || chunk[pos] == '\n';
        int rest = insert ? pos : pos + 1;
        out.Write(chunk + rest, n - rest);
        return false;
    }
    WriteCutValue(out, value, pos);
    out.Newline();
    return chunk[n - 1] != lineEnd;
}

// Copies in to out, putting the current values into the lines of saved keys
// and recording which keys were written. Returns false after a read error.
bool CopyConfiguration(FILE* in, char lineEnd, TConfigWriter& out, const TOWLSettings& settings,
                       bool* written) {
    TChunkReader reader(in, lineEnd);
    char chunk[kChunk];
    bool lineStart = true;
    bool dropRest = false;
    int n;
    while ((n = reader.Next(chunk)) > 0) {
        if (lineStart) {
            TKeyLine line = ParseChunk(chunk, n);
            if (line.key != nullptr && line.key->save != SettingSave::No) {
                written[line.key - OWLSettingKeys] = true;
                dropRest = WriteKeyChunk(out, settings, line, chunk, n, lineEnd);
            } else {
                dropRest = false;
                out.Write(chunk, n);
            }
        } else if (!dropRest) {
            out.Write(chunk, n);
        }
        lineStart = chunk[n - 1] == lineEnd;
    }
    return !ferror(in);
}

// Appends a line for every appendable key that the file lacked.
void AppendMissingKeys(TConfigWriter& out, const TOWLSettings& settings, const bool* written) {
    for (int i = 0; i < OWLSettingKeyCount; i++) {
        const TSettingKey& row = OWLSettingKeys[i];
        if (written[i] || row.save != SettingSave::RewriteAppend) continue;
        String prefix = String(row.key) + "=";
        out.Write(prefix);
        WriteCutValue(out, SavedValue(settings, row), prefix.Length());
        out.Newline();
    }
}

// Creates "<file>.New" afresh (never through a symbolic link) with the owner
// and permissions of the configuration file, which holds the password.
FILE* CreateNewFile(const char* name, const struct stat& original) {
    unlink(name);
    mode_t mode = original.st_mode & 07777;
    int fd = open(name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode & 0777);
    if (fd < 0) return nullptr;
    // The file was created with at most these permissions. Taking over the
    // owner is allowed only to root, and some file systems refuse modes;
    // either failure leaves the new file no more open than the old one.
    if (fchown(fd, original.st_uid, original.st_gid) != 0) errno = 0;
    if (fchmod(fd, mode) != 0) errno = 0;
    FILE* file = fdopen(fd, "wb");
    if (file == nullptr) {
        close(fd);
        unlink(name);
    }
    return file;
}

// Makes the configuration's folder entries durable.
void SyncFolder(const char* file) {
    String folder = ExtractFilePath(String(file));
    if (folder.Length() == 0) folder = ".";
    int fd = open(folder.SetZero().Data(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    (void)fsync(fd);
    close(fd);
}

// Puts "<file>.New" in place of the file and keeps the previous file as
// "<file>.Old", without a moment in which the file does not exist: "<file>.Old"
// becomes a second name of the file, then the new file is renamed over it
// in one step. A crash at any point leaves a whole configuration file.
// False when the rename fails (the file is then unchanged).
bool ReplaceConfiguration(const char* file, String newName) {
    String oldName = String(file) + ".Old";
    oldName.SetZero();
    if (unlink(oldName.Data()) != 0 && errno != ENOENT) errno = 0;
    if (link(file, oldName.Data()) != 0) errno = 0;  // only the backup is lost
    if (rename(newName.SetZero().Data(), file) != 0) {
        unlink(newName.Data());
        return false;
    }
    SyncFolder(file);
    return true;
}

}  // namespace

int TOWLSettings::SaveOptions_(String& err) {
    err = "";
    PutRight(err);
    if (configfile[0] == 0) {
        err = "Configuration file is not specified";
        return 0;
    }
    FILE* in = fopen(configfile, "rbe");
    if (in == nullptr) {
        err = CannotOpen(configfile);
        return 0;
    }
    struct stat status;
    if (fstat(fileno(in), &status) != 0) {
        status.st_mode = 0600;
        status.st_uid = geteuid();
        status.st_gid = getegid();
    }
    String newName = String(configfile) + ".New";
    FILE* outFile = CreateNewFile(newName.Data(), status);
    if (outFile == nullptr) {
        fclose(in);
        err = String("Cannot create new configuration file '") + newName + "'";
        return 0;
    }

    char lineEnd = DetectLineEnd(in);
    TConfigWriter out(outFile, lineEnd == '\r' ? "\r" : "\r\n");
    bool written[sizeof(OWLSettingKeys) / sizeof(OWLSettingKeys[0])] = {};
    bool readOk = lineEnd != 0 && CopyConfiguration(in, lineEnd, out, *this, written);
    fclose(in);
    if (readOk) {
        out.EndLastLine(lineEnd);
        AppendMissingKeys(out, *this, written);
    }
    bool writeOk = out.Close();
    if (!readOk || !writeOk) {
        // Never put a partial copy in place of the configuration.
        unlink(newName.Data());
        err = readOk ? String("Cannot create new configuration file '") + newName + "'"
                     : CannotOpen(configfile);
        return 0;
    }

    if (!ReplaceConfiguration(configfile, newName)) {
        err = String("Cannot overwrite configuration file '") + configfile + "'";
        return 0;
    }
    return 1;
}

// ---- Locked entry points ----------------------------------------------------

namespace {

// Copies every field that loading can change: all but the run-mode fields,
// which stay as the command line set them.
void CopyLoadedFields(TOWLSettings& to, const TOWLSettings& from) {
    for (const TSettingKey& row : OWLSettingKeys) {
        if (row.text)
            to.*row.text = from.*row.text;
        else
            to.*row.number = from.*row.number;
    }
    to.activefilter = from.activefilter;
}

}  // namespace

namespace {

// The copy that readers see: every change made under the write lock is
// published as a new immutable copy before the lock is released. A reader
// thread keeps the copy it took last and takes the new one only after a
// change, so that reading a setting never waits for a lock.
Mutex publishMutex;
std::shared_ptr<const TOWLSettings> published GUARDED_BY(publishMutex);
std::atomic<unsigned long> publishedGeneration{0};

void Publish() REQUIRES_SHARED(settingsLock) {
    auto copy = std::make_shared<const TOWLSettings>(OWLSettings);
    MutexLock lock(publishMutex);
    published = std::move(copy);
    publishedGeneration++;
}

}  // namespace

const TOWLSettings& CurrentSettings() {
    thread_local std::shared_ptr<const TOWLSettings> mine;
    thread_local unsigned long mineGeneration = 0;
    unsigned long generation = publishedGeneration.load(std::memory_order_acquire);
    if (mine && generation == mineGeneration) return *mine;
    if (generation == 0) {
        // Nothing published yet: the record as the command line left it.
        ReaderLock read(settingsLock);
        if (publishedGeneration.load() == 0) Publish();
    }
    MutexLock lock(publishMutex);
    mine = published;
    mineGeneration = publishedGeneration.load();
    return *mine;
}

int TOWLSettings::LoadOptions(String& err) {
    MutexLock hold(optmutex);
    TOWLSettings next;
    {
        ReaderLock read(settingsLock);
        next = *this;
    }
    int result = next.LoadOptions_(err);
    if (result == 1 || !loadedOnce) {
        WriterLock write(settingsLock);
        CopyLoadedFields(*this, next);
        if (this == &OWLSettings) Publish();
    } else {
        // The failed load may have pointed TMPDIR elsewhere: back to the
        // folder still in force.
        String dir;
        {
            ReaderLock read(settingsLock);
            dir = tmpdir;
        }
        SetTmpdirEnvironment(dir);
    }
    if (result == 1) loadedOnce = true;
    return result;
}

int TOWLSettings::SaveOptions(String& err) {
    MutexLock hold(optmutex);
    return SaveOptionsHeld(err);
}

int TOWLSettings::SaveOptionsHeld(String& err) {
    TOWLSettings current;
    {
        ReaderLock read(settingsLock);
        current = *this;
    }
    int result = current.SaveOptions_(err);
    WriterLock write(settingsLock);
    activefilter = current.activefilter;
    cpuusagescript = current.cpuusagescript;
    proclistscript = current.proclistscript;
    proccntscript = current.proccntscript;
    tmpdir = current.tmpdir;
    if (this == &OWLSettings) Publish();
    return result;
}

String SettingText(String TOWLSettings::*field) { return CurrentSettings().*field; }

int SettingInt(int TOWLSettings::*field) { return CurrentSettings().*field; }

TSettingsReadLock::TSettingsReadLock() { settingsLock.LockShared(); }
TSettingsReadLock::~TSettingsReadLock() { settingsLock.UnlockShared(); }
TSettingsWriteLock::TSettingsWriteLock() { settingsLock.Lock(); }
TSettingsWriteLock::~TSettingsWriteLock() {
    Publish();
    settingsLock.Unlock();
}
