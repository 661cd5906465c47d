// settings: every setting of the agent in the one global record OWLSettings,
// the configuration file behind it (LoadOptions / SaveOptions, which rewrites
// the file in place through "<file>.New" and keeps "<file>.Old"), PutRight
// for the derived values, and the key table that drives loading, saving and
// the remote settings report.
//
// Threads: the command line fills interactive, verbose, debug, configfile
// and port before any thread starts; configfile is never written again and
// may be read without a lock. Every other field of OWLSettings is shared:
// read it with CurrentSettings, SettingText / SettingInt (which never wait),
// or inside a TSettingsReadLock, and assign it only inside a
// TSettingsWriteLock. optmutex serialises whole
// loads and saves. Lock order: optmutex first, then the settings lock; a
// thread that holds the settings lock (shared or exclusive) never waits for
// optmutex, and never takes the settings lock a second time. Signal handlers
// take neither lock.
#pragma once

#include <functional>
#include <mutex>

#include "sync/mutex.h"
#include "text/vtstring.h"

// Held for the whole of a load or a save of the configuration file.
extern Mutex optmutex;
// Guards the fields of OWLSettings but the run-mode fields; taken through
// TSettingsReadLock and TSettingsWriteLock.
extern SharedMutex settingsLock;

class TOWLSettings {
  public:
    // Run-mode fields, filled by the command line.
    int interactive = 0;
    int verbose = 0;
    int debug = 0;
    char configfile[512] = {0};

    String tmpdir;   // temporary folder, no trailing "/"
    String owlpath;  // full path of the agent executable
    String pidfile;
    String host;  // bind address of the listener; "" for all interfaces
    int port = 0;
    int timeout = 0;  // session time-out in ms
    String password;
    String comment;
    String verboselogfile;
    int logsuccess = 0;
    String oklogfile;
    int filteractive = 0;
    int logfails = 0;
    String badlogfile;
    String filterlist;  // filter items separated by CR LF
    int allowupdates = 0;
    String updateaddr;
    String filtermarks;  // one character per filterlist item, "1" = active
    int allowmanage = 0;
    String manageaddr;
    String activefilter;  // derived: CR LF, then each active item and CR LF

    // Test and action enable flags.
    int unc = 0;
    int freespace = 0;
    int foldersize = 0;
    int countfiles = 0;
    int fileexists = 0;
    int filecrc = 0;
    int comparefiles = 0;
    int process = 0;
    int cpuusage = 0;
    int script = 0;
    int external = 0;
    int ping = 0;
    int tcp = 0;
    int udp = 0;
    int textlog = 0;
    int shellscript = 0;
    int executeaction = 0;
    int tcpudpaction = 0;
    int syslogaction = 0;

    String cpuusagescript;
    String proclistscript;
    String proccntscript;

    // Loads the configuration file under optmutex. Returns 1 when the
    // settings are usable (err empty, or a warning), else 0 with err set.
    // The load runs on a copy: the result is put in force when it is 1, or
    // when no load has ever succeeded before (start-up); a failed reload
    // leaves the settings in force before it untouched (TMPDIR included).
    // err receives the messages either way.
    int LoadOptions(String& err);
    // The load itself on this record, without any lock: resets the defaults,
    // reads configfile, runs PutRight and checks port, password and owlpath.
    // Returns 1 or 0 as LoadOptions; on 0 this record holds the defaults and
    // whatever keys were read.
    int LoadOptions_(String& err);
    // Rewrites the configuration file with the current values under optmutex
    // and puts the derived values (activefilter, script paths, tmpdir) in
    // force. Returns 1 on success; 0 with err set when the file cannot be
    // read, "<file>.New" cannot be written or the final rename fails; the
    // configuration file is then as it was before.
    int SaveOptions(String& err);
    // SaveOptions for a caller that already holds optmutex (for example a
    // settings change that assigns fields and saves them as one step).
    int SaveOptionsHeld(String& err) REQUIRES(optmutex);
    // The save itself from this record, without any lock: runs PutRight on
    // this record, then writes "<file>.New" and renames it over the file,
    // keeping the previous file as "<file>.Old". Results as SaveOptions.
    int SaveOptions_(String& err);
    // Recomputes the derived values of this record. err is replaced by
    // "FilterMarks has less items than FilterList" when the marks outnumber
    // the items and is left alone otherwise. Sets the TMPDIR environment
    // variable to tmpdir when it differs.
    void PutRight(String& err);
};

extern TOWLSettings OWLSettings;

// Readers that never wait: every change made under TSettingsWriteLock, a
// load or a save is published as an immutable copy of OWLSettings.
// CurrentSettings is the calling thread's copy, valid until that thread's
// next call; it is taken anew only after a change (one atomic read
// otherwise). Fields written without the write lock (the command line's,
// before any thread starts) are seen once a load has published them.
const TOWLSettings& CurrentSettings();
// A copy of a text setting of the published settings.
String SettingText(String TOWLSettings::*field);
// A flag or number of the published settings.
int SettingInt(int TOWLSettings::*field);

// Holds the shared lock for several reads of OWLSettings fields at once.
class SCOPED_CAPABILITY TSettingsReadLock {
  public:
    TSettingsReadLock() ACQUIRE_SHARED(settingsLock);
    ~TSettingsReadLock() RELEASE();
    TSettingsReadLock(const TSettingsReadLock&) = delete;
    TSettingsReadLock& operator=(const TSettingsReadLock&) = delete;
};

// Holds the exclusive lock while fields of OWLSettings are assigned (the
// remote settings change). Do no file I/O and no logging while holding it.
class SCOPED_CAPABILITY TSettingsWriteLock {
  public:
    TSettingsWriteLock() ACQUIRE(settingsLock);
    ~TSettingsWriteLock() RELEASE();
    TSettingsWriteLock(const TSettingsWriteLock&) = delete;
    TSettingsWriteLock& operator=(const TSettingsWriteLock&) = delete;
};

// The key table: one row per key of the configuration file.
enum class SettingKind {
    Text,    // taken as it stands
    Number,  // atoi
    Flag,    // 1 when the value begins with "1"
    List     // filter list: "%0D"/"%0A" decoded, items split at blanks, CR LF inside
};
enum class SettingSave {
    No,            // lines copied unchanged
    Rewrite,       // lines get the current value
    RewriteAppend  // also appended when the file lacks the key
};
// Where a row shows in the agent's replies: among the tests or the actions
// that GetInfo offers (with their enable flags), or among the settings that
// GetSettings adds.
enum class SettingShown { No, Test, Action, Managed };
struct TSettingKey {
    const char* key;  // as appended to the file, lower case
    SettingKind kind;
    String TOWLSettings::*text;  // the field of Text and List keys, else null
    int TOWLSettings::*number;   // the field of Number and Flag keys, else null
    const char* absent;          // value set before every load; null: kept
    bool onlyWhileZero;          // read only while the field is still 0 ("port")
    SettingSave save;
    const char* remote;  // name in GetSettings / SetSettings, or null
    SettingShown shown = SettingShown::No;
    int shownOrder = 0;             // place in its reply list, from 1
    const char* offered = nullptr;  // the name GetInfo offers a test or action under
    // SetSettings accepts a number from low to high, or a text of low to
    // high bytes; 0 and 0: any value.
    long low = 0, high = 0;

    constexpr TSettingKey ShownIn(SettingShown list, int order, const char* name = nullptr) const {
        TSettingKey row = *this;
        row.shown = list;
        row.shownOrder = order;
        row.offered = name != nullptr ? name : remote;
        return row;
    }
    constexpr TSettingKey Accepting(long lowest, long highest) const {
        TSettingKey row = *this;
        row.low = lowest;
        row.high = highest;
        return row;
    }
};

// The rows in the order in which missing keys are appended by a save.
extern const TSettingKey OWLSettingKeys[];
extern const int OWLSettingKeyCount;

// The row of a configuration key (ASCII case-insensitive, n bytes; n = -1:
// up to the zero byte), or null.
const TSettingKey* FindSettingKey(const char* key, int n);
// The row whose remote name is exactly name (case matters), or null.
const TSettingKey* FindRemoteSetting(const String& name);
// The value of the row's field in settings as text: flags "0" or "1",
// numbers in decimal, texts and lists as stored (list items joined by CR LF).
// The caller holds the settings lock when settings is OWLSettings.
String SettingValue(const TOWLSettings& settings, const TSettingKey& key);
// Assigns a value as the configuration file gives it (see SettingKind).
// Ignores onlyWhileZero. The caller holds TSettingsWriteLock when settings
// is OWLSettings.
void SetSettingFromFile(TOWLSettings& settings, const TSettingKey& key, const String& value);
// Assigns a value as "SetSettings" gives it: flags 1 only for exactly "1",
// numbers with atoi, texts unchanged, the list "%0D"/"%0A"-decoded. The
// caller holds TSettingsWriteLock when settings is OWLSettings.
void SetSettingFromRemote(TOWLSettings& settings, const TSettingKey& key, const String& value);

// One key=value line of a configuration file: its number (from 1), the key
// as written (trimmed), its row (null for a key the agent does not know) and
// the value as the loader reads it.
typedef std::function<void(int line, const String& name, const TSettingKey* key,
                           const String& value)>
    TConfigLineVisitor;
// Calls visit for every line of the file at path that the loader would read
// as key=value (comments and lines without "=" are skipped), in file order.
// False when the file cannot be opened or read. Takes no lock.
bool VisitConfigurationLines(const char* path, const TConfigLineVisitor& visit);
