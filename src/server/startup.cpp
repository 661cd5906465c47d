#include "server/startup.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <vector>

#include "config/settings.h"
#include "config/settingscheck.h"
#include "crypto/ciplib.h"
#include "crypto/twofish.h"
#include "fs/filesearch.h"
#include "net/syncsocket.h"
#include "protocol/packetcipher.h"
#include "protocol/qxrequest.h"
#include "runtime/flags.h"
#include "runtime/limits.h"
#include "runtime/log.h"
#include "runtime/logcheck.h"
#include "server/acceptloop.h"
#include "server/exitstatus.h"
#include "server/lifecycle.h"

namespace {

const char kSelfTestPassword[] = "pad derivation";
const char kSelfTestText[] = "123456789012345";

// A port from the configuration file that no socket can have.
const char kPortRange[] = "  TCP port %d is out of range: it must be from 1 to 65535\n";

// Loads the configuration as start-up does. 1 when it is usable; 0 with err
// set otherwise. A "port" taken from the file must lie in 1..65535 (a port
// given with -p has passed the command line already).
int LoadAndCheck(String& err) {
    int portFromCommandLine = OWLSettings.port;
    int ok = OWLSettings.LoadOptions(err);
    int port = SettingInt(&TOWLSettings::port);
    if (ok && portFromCommandLine == 0 && (port < 1 || port > 65535)) {
        char text[128];
        snprintf(text, sizeof text, kPortRange, port);
        err += text;
        ok = 0;
    }
    err.SetZero();
    return ok;
}

void LoadConfiguration() {
    String err;
    if (!LoadAndCheck(err)) {
        printf("Error\n%s\nPlease check '%s' file\n\n", err.Data(), OWLSettings.configfile);
        exit(OWL_EXIT_USAGE);
    }
    if (err.Length() == 0)
        puts("Ok");
    else
        printf("Warning: %s\n", err.Data());
    CheckLogFiles();
}

// One block through Twofish keyed with the SHA-1 of the self-test password.
void BasicCipherCheck() {
    THash_SHA sha;
    const char* digest = sha.GetHash(kSelfTestPassword, (long)strlen(kSelfTestPassword));
    unsigned char key[20];
    memcpy(key, digest, sizeof key);
    Twofish_key expanded;
    Twofish_prepare_key(key, sha.GetHashSize(), &expanded);
    unsigned char plain[16], cipher[16], back[16];
    memcpy(plain, kSelfTestText, 16);  // with its terminating zero
    Twofish_encrypt(&expanded, plain, cipher);
    Twofish_decrypt(&expanded, cipher, back);
    printf("Basic encyption checking .. ");
    if (memcmp(plain, back, 16) != 0) {
        puts("Error");
        exit(OWL_EXIT_CIPHER);
    }
    puts("Ok");
}

// The packet cipher round trip.
void ProtocolCipherCheck() {
    String password(kSelfTestPassword);
    String text(kSelfTestText);
    String back = DecodeData(EncodeData(text, password, 0), password);
    printf("OWL encyption checking .. ");
    if (back != text) {
        puts("Error");
        exit(OWL_EXIT_CIPHER);
    }
    puts("Ok");
}

// The address, port and reason of a listen failure, on standard error
// beside the fixed text of the console.
void ExplainListenFailure() {
    String host = SettingText(&TOWLSettings::host);
    std::string text = host.Length() > 0 ? std::string(host.Data(), host.Length()) : "";
    std::string problem = BindProblem(text, SettingInt(&TOWLSettings::port));
    if (!problem.empty()) fprintf(stderr, "owl: cannot listen on %s\n", problem.c_str());
}

// The configuration warnings of settingscheck on standard error and, in
// verbose mode, in the verbose log. Returns how many there were.
int ReportSettingsWarnings(bool probeBind) {
    TOWLSettings loaded;
    {
        TSettingsReadLock lock;
        loaded = OWLSettings;
    }
    std::vector<std::string> warnings = CheckSettings(OWLSettings.configfile, loaded, probeBind);
    time_t now = time(nullptr);
    struct tm when;
    localtime_r(&now, &when);
    for (const std::string& warning : warnings) {
        fprintf(stderr, "Warning: %s\n", warning.c_str());
        if (loaded.verbose)
            writelog(loaded.verboselogfile,
                     FormatFileLine(when, LOCAL, ("Warning: " + warning + "\n").c_str())
                         .SetZero()
                         .Data());
    }
    return (int)warnings.size();
}

// The listening socket, or the agent ends with the listen exit status. The
// start-up test prints the error on a line of its own.
int ListenOrExit(unsigned int& addrlen, bool errorOnItsLine) {
    String err;
    int sock = Listen(addrlen, err);
    if (sock > 0) return sock;
    if (errorOnItsLine)
        printf("TCP listen error:\n%s\n\n", err.Data());
    else
        printf("TCP listen error: %s\n\n", err.Data());
    ExplainListenFailure();
    exit(OWL_EXIT_LISTEN);
}

void SocketTest() {
    printf("Sock testing .. ");
    fflush(stdout);
    unsigned int addrlen = 0;
    int sock = ListenOrExit(addrlen, true);
    puts("Ok");
    shutdown(sock, SHUT_RDWR);
    close(sock);
}

// The request parser's debug lines, into the log.
void LogPacketDebugLine(in_addr peer, const char* format, int value) {
    showmessage(format, peer, MSG_DEBUG, MSG_PRINTF, value);
}

}  // namespace

void RunAgent() {
    SetPacketDebugSink(LogPacketDebugLine);
    LoadConfiguration();
    puts("CPU testing .. Ok");
    if (OWLSettings.debug) {
        printf("stat.size: %d\n", 8);
        printf("srec.size: %d\n", 8);
        puts("int64 = long long");
    }
    Twofish_initialise();
    BasicCipherCheck();
    ProtocolCipherCheck();
    SocketTest();
    ReportSettingsWarnings(false);
    if (!OWLSettings.interactive && daemon_init() != 0) {
        fprintf(stderr, "Error initializing daemon: %s\n", strerror(errno));
        exit(OWL_EXIT_DAEMON);
    }
    InstallHandler(SIGSEGV, reloadapp);
    signal(SIGPIPE, SIG_IGN);
    // A stop by the service manager (or Ctrl-C at the terminal) ends the
    // agent as "QUIT" does: replies sent, pid file removed, status 0.
    InstallHandler(SIGTERM, stopagent);
    if (OWLSettings.interactive) InstallHandler(SIGINT, stopagent);

    unsigned int addrlen = 0;
    int sock = ListenOrExit(addrlen, false);
    FILE* pidfile = CreateDaemonPidFile();
    RefreshFaultRestart(pidfile != nullptr);
    showmessage("Listening...\n", LOCAL, MSG_INFO, MSG_LITERAL);
    AcceptLoop(sock, addrlen, pidfile);
}

namespace {

// owl -t: the configured scripts that the tests would fail to run; returns
// how many.
int CheckScripts() {
    int count = 0;
    const struct {
        const char* key;
        String TOWLSettings::*field;
    } scripts[] = {{"cpuusagescript", &TOWLSettings::cpuusagescript},
                   {"proccntscript", &TOWLSettings::proccntscript},
                   {"proclistscript", &TOWLSettings::proclistscript}};
    for (const auto& s : scripts) {
        String path = SettingText(s.field);
        if (path.Length() == 0) continue;
        path.SetZero();
        const char* why = !FileExists(path.Data())         ? "no such file"
                          : access(path.Data(), X_OK) != 0 ? "not executable"
                                                           : nullptr;
        if (why) printf("Warning: %s '%s': %s\n", s.key, path.Data(), why);
        count += why != nullptr;
    }
    return count;
}

}  // namespace

int CheckConfigurationOnly(bool strict) {
    printf("Settings checking .. ");
    String err;
    int ok = LoadAndCheck(err);
    if (!ok) {
        printf("Error\n%s\nPlease check '%s' file\n", err.Data(), OWLSettings.configfile);
        return OWL_EXIT_USAGE;
    }
    if (err.Length() == 0)
        puts("Ok");
    else
        printf("Warning: %s\n", err.Data());
    int warnings = (err.Length() > 0) + CheckLogFiles() + CheckScripts();
    fflush(stdout);
    warnings += ReportSettingsWarnings(true);
    return strict && warnings > 0 ? kCheckWarnings : OWL_EXIT_OK;
}
