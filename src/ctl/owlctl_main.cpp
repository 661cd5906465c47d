// owlctl: asks an owl agent one question from the command line, the way the
// console does, and prints the reply (as text, or as JSON for scripts).
//   owlctl [options] COMMAND [PARAM ...]
//   owlctl [options] upgrade FILE   sends FILE as the agent's new executable
//   owlctl --explain-all            prints the command reference (Markdown)
// Exit status: 0 for "200", 1 for any other status, 2 when no reply came,
// 64 for a usage error.
#include <errno.h>
#include <getopt.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "config/settings.h"
#include "crypto/twofish.h"
#include "protocol/client.h"
#include "protocol/commandref.h"
#include "text/codecs.h"
#include "text/version.h"

namespace {

const int kExitOk = 0;
const int kExitStatus = 1;
const int kExitNoReply = 2;
const int kExitUsage = 64;  // EX_USAGE of sysexits.h

// What the agent's silence means: both a wrong password and a peer that
// the connection filter turns away end with the agent closing.
const char kClosed[] = "closed without a reply (wrong password, or this address is not allowed)";

struct Options {
    std::string host = "127.0.0.1";
    int port = 1055;
    std::string password;
    bool havePassword = false;
    bool raw = false;
    bool json = false;
    bool explain = false;
    bool haveHost = false, havePort = false;
    const char* configFile = nullptr;
    int timeoutMs = 10000;
    std::string command;
    std::vector<String> params;
};

const char kUsage[] =
    "Usage: owlctl [options] COMMAND [PARAM ...]\n"
    "       owlctl [options] upgrade FILE\n"
    "Sends one request to an owl agent the way the console does and prints the\n"
    "status code and the reply lines.\n"
    "  -h, --host HOST            agent address (default 127.0.0.1)\n"
    "  -p, --port PORT            agent port (default 1055)\n"
    "  -w, --password PASSWORD    the agent's password (visible to other users\n"
    "                             in the process list: prefer -W or OWL_PASSWORD)\n"
    "  -W, --password-file FILE   read the password from the first line of FILE\n"
    "  -c, --config FILE          take host, port and password from the agent's\n"
    "                             configuration FILE (the options above win)\n"
    "  -r, --raw                  show %0D and %0A in values as they travel\n"
    "  -t, --timeout MS           time-out for connecting and for the reply\n"
    "                             (default 10000)\n"
    "  -j, --json                 print {\"status\": \"...\", \"lines\": [...]}\n"
    "  -e, --explain              label each reply value with its name\n"
    "      --explain-all          print the reference of every command and exit\n"
    "  -V, --version              print the version and exit\n"
    "      --help                 print this text and exit\n"
    "  upgrade FILE               send FILE as the agent's new executable\n"
    "Without -w or -W the password is taken from the environment variable\n"
    "OWL_PASSWORD.\n"
    "Exit status: 0 for status 200, 1 for any other status, 2 when no reply\n"
    "came, 64 for a usage error.\n";

[[noreturn]] void Usage(const std::string& error) {
    fprintf(stderr, "owlctl: %s\nTry 'owlctl --help' for more information.\n", error.c_str());
    exit(kExitUsage);
}

// "what 'path': reason" for a file that cannot be read.
std::string CannotRead(const char* what, const char* path) {
    return std::string("cannot read the ") + what + " '" + path + "': " + strerror(errno);
}

std::string ReadPasswordFile(const char* path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) Usage(CannotRead("password file", path));
    std::string line;
    std::getline(in, line);
    while (!line.empty() && (line.back() == '\r' || line.back() == '\n')) line.pop_back();
    return line;
}

// Host, port and password from the agent's configuration file, where no
// option gave them. The agent's "host" is where it listens: empty (every
// interface) is reached at 127.0.0.1.
void ReadAgentConfig(Options& o) {
    std::string host, port, password;
    errno = 0;
    bool read = VisitConfigurationLines(
        o.configFile, [&](int, const String&, const TSettingKey* key, const String& value) {
            std::string text(value.Data() ? value.Data() : "", value.Length());
            if (key == nullptr) return;
            if (std::string(key->key) == "host") host = text;
            // As the agent reads it: the first port line that is not 0.
            if (std::string(key->key) == "port" && atoi(port.c_str()) == 0) port = text;
            if (std::string(key->key) == "password") password = text;
        });
    if (!read) Usage(CannotRead("configuration file", o.configFile));
    if (!o.haveHost && !host.empty()) o.host = host;
    if (!o.havePort) {
        int n = atoi(port.c_str());
        if (n < 1 || n > 65535) Usage(std::string("no valid port in '") + o.configFile + "'");
        o.port = n;
    }
    if (!o.havePassword) {
        o.password = password;
        o.havePassword = true;
    }
}

// A whole number of digits from low up to high, or the usage error.
int Number(const char* text, int low, int high, const char* error) {
    char* end = nullptr;
    long n = strtol(text, &end, 10);
    if (text[0] < '0' || text[0] > '9' || *end != 0 || n < low || n > high) Usage(error);
    return (int)n;
}

const struct option kLongOptions[] = {
    {"host", required_argument, nullptr, 'h'},
    {"port", required_argument, nullptr, 'p'},
    {"password", required_argument, nullptr, 'w'},
    {"password-file", required_argument, nullptr, 'W'},
    {"raw", no_argument, nullptr, 'r'},
    {"timeout", required_argument, nullptr, 't'},
    {"json", no_argument, nullptr, 'j'},
    {"config", required_argument, nullptr, 'c'},
    {"explain", no_argument, nullptr, 'e'},
    {"explain-all", no_argument, nullptr, 'A'},
    {"version", no_argument, nullptr, 'V'},
    {"help", no_argument, nullptr, 'H'},
    {nullptr, 0, nullptr, 0},
};

// Takes one option c (with optarg) into o; options that answer at once
// (--help, --version, --explain-all) print and exit.
void TakeOption(int c, char** argv, Options& o) {
    switch (c) {
        case 'h':
            o.host = optarg;
            o.haveHost = true;
            break;
        case 'p':
            o.port = Number(optarg, 1, 65535, "invalid port");
            o.havePort = true;
            break;
        case 'c':
            o.configFile = optarg;
            break;
        case 'e':
            o.explain = true;
            break;
        case 'A': {
            std::string md = CommandReferenceMarkdown();
            fwrite(md.data(), 1, md.size(), stdout);
            exit(kExitOk);
        }
        case 'w':
            o.password = optarg;
            o.havePassword = true;
            break;
        case 'W':
            o.password = ReadPasswordFile(optarg);
            o.havePassword = true;
            break;
        case 'r':
            o.raw = true;
            break;
        case 't':
            o.timeoutMs = Number(optarg, 1, 86400000, "invalid time-out");
            break;
        case 'j':
            o.json = true;
            break;
        case 'V':
            printf("owlctl %s\n", OWL_VERSION);
            exit(kExitOk);
        case 'H':
            fputs(kUsage, stdout);
            exit(kExitOk);
        case ':':
            Usage(std::string("option '") + argv[optind - 1] + "' lacks its value");
        default:
            Usage(std::string("unknown option '") + argv[optind - 1] + "'");
    }
}

Options ParseOptions(int argc, char** argv) {
    Options o;
    opterr = 0;
    int c;
    // "+": options end at the command, so parameters may begin with "-".
    while ((c = getopt_long(argc, argv, "+:h:p:w:W:c:rt:jeV", kLongOptions, nullptr)) != -1)
        TakeOption(c, argv, o);
    if (optind >= argc) Usage("no command given");
    if (o.configFile != nullptr) ReadAgentConfig(o);
    if (!o.havePassword) {
        const char* env = getenv("OWL_PASSWORD");
        if (env == nullptr) Usage("no password: give -w, -W, -c or OWL_PASSWORD");
        o.password = env;
    }
    o.command = argv[optind++];
    for (; optind < argc; optind++) o.params.push_back(String(argv[optind]));
    return o;
}

// The reply text split into the status and its value lines (LF-separated,
// the closing CR removed), values decoded unless raw.
void SplitReply(const String& text, bool raw, std::string& status,
                std::vector<std::string>& lines) {
    std::string all(text.Data() ? text.Data() : "", text.Length());
    if (!all.empty() && all.back() == '\r') all.pop_back();
    if (!all.empty() && all.back() == '\n') all.pop_back();
    size_t nl = all.find('\n');
    status = all.substr(0, nl);
    while (nl != std::string::npos) {
        size_t next = all.find('\n', nl + 1);
        std::string line = all.substr(nl + 1, next == std::string::npos ? next : next - nl - 1);
        if (!raw) {
            String decoded = owlDecodeStrings(line.data(), (int)line.size());
            line.assign(decoded.Data() ? decoded.Data() : "", decoded.Length());
        }
        lines.push_back(line);
        nl = next;
    }
}

// Length of the well-formed UTF-8 sequence at s (n bytes left), or 0.
int Utf8Length(const unsigned char* s, size_t n) {
    int len = s[0] < 0xC2 ? 0 : s[0] < 0xE0 ? 2 : s[0] < 0xF0 ? 3 : s[0] < 0xF5 ? 4 : 0;
    if (len == 0 || (size_t)len > n) return 0;
    for (int i = 1; i < len; i++)
        if ((s[i] & 0xC0) != 0x80) return 0;
    return len;
}

// s as a JSON string. Bytes that are not UTF-8 are taken as Latin-1.
std::string JsonString(const std::string& s) {
    std::string out = "\"";
    const unsigned char* p = (const unsigned char*)s.data();
    for (size_t i = 0; i < s.size(); i++) {
        unsigned char c = p[i];
        char esc[8];
        if (c == '"' || c == '\\') {
            out += '\\';
            out += (char)c;
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\r') {
            out += "\\r";
        } else if (c == '\t') {
            out += "\\t";
        } else if (c < 0x20 || c == 0x7F) {
            snprintf(esc, sizeof esc, "\\u%04x", c);
            out += esc;
        } else if (c < 0x80) {
            out += (char)c;
        } else if (int len = Utf8Length(p + i, s.size() - i)) {
            out.append((const char*)p + i, len);
            i += len - 1;
        } else {
            snprintf(esc, sizeof esc, "\\u%04x", c);
            out += esc;
        }
    }
    return out + "\"";
}

// The reply lines labelled with their names from the command reference
// ("name: value"); a line that already begins with "name=" stays as it is.
void Explain(const std::string& command, const std::string& status,
             std::vector<std::string>& lines) {
    const TCommandRef* ref = FindCommandRef(command == "upgrade" ? "UpgradeCode" : command);
    if (ref == nullptr) return;
    for (size_t i = 0; i < lines.size(); i++) {
        std::string name = ReplyValueName(*ref, status, i);
        if (!name.empty() && lines[i].compare(0, name.size() + 1, name + "=") != 0)
            lines[i] = name + ": " + lines[i];
    }
}

int PrintReply(const String& text, const Options& o) {
    std::string status;
    std::vector<std::string> lines;
    SplitReply(text, o.raw, status, lines);
    if (o.explain) Explain(o.command, status, lines);
    if (o.json) {
        std::string out = "{\"status\": " + JsonString(status) + ", \"lines\": [";
        for (size_t i = 0; i < lines.size(); i++) out += (i ? ", " : "") + JsonString(lines[i]);
        out += "]}\n";
        fwrite(out.data(), 1, out.size(), stdout);
    } else {
        printf("%s\n", status.c_str());
        for (const std::string& line : lines) {
            fwrite(line.data(), 1, line.size(), stdout);
            putchar('\n');
        }
    }
    return status == "200" ? kExitOk : kExitStatus;
}

int NoReply(const Options& o, int result, String& err) {
    err.SetZero();
    const char* why = result == OWL_NO_REPLY ? kClosed : err.Data();
    fprintf(stderr, "owlctl: no reply from %s:%d: %s\n", o.host.c_str(), o.port, why);
    return kExitNoReply;
}

bool ReadFile(const char* path, String& content) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    std::stringstream ss;
    ss << in.rdbuf();
    std::string all = ss.str();
    content = "";
    content.AddData(all.data(), (int)all.size());
    return true;
}

int Upgrade(const Options& o) {
    if (o.params.size() != 1) Usage("upgrade takes one file");
    String file = o.params[0];
    String body;
    if (!ReadFile(file.SetZero().Data(), body)) Usage(CannotRead("upgrade file", file.Data()));
    String first, final, err;
    int result = OwlUpgrade(o.host.c_str(), o.port, String(o.password.c_str()), body,
                            UpgradeDigest(body), 0, 0, o.timeoutMs, first, final, err);
    if (result != OWL_REPLY) return NoReply(o, result, err);
    return PrintReply(final.Length() > 0 ? final : first, o);
}

}  // namespace

int main(int argc, char** argv) {
    Options o = ParseOptions(argc, argv);
    Twofish_initialise();
    if (o.command == "upgrade") return Upgrade(o);
    String text, err;
    int result = OwlRequest(o.host.c_str(), o.port, String(o.password.c_str()),
                            String(o.command.c_str()), o.params, o.timeoutMs, text, err);
    if (result != OWL_REPLY) return NoReply(o, result, err);
    return PrintReply(text, o);
}
