// owlctl: asks an owl agent one question from the command line, the way the
// console does, and prints the reply.
//   owlctl [-h host] [-p port] [-w password | -W passwordfile] [-r] [-t ms]
//          COMMAND [PARAM ...]
//   owlctl [options] upgrade FILE   sends FILE as the agent's new executable
// Exit status: 0 for "200", 1 for any other status, 2 when no reply came.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "crypto/twofish.h"
#include "protocol/client.h"
#include "protocol/codecs.h"

namespace {

const int kExitOk = 0;
const int kExitStatus = 1;
const int kExitNoReply = 2;

struct Options {
    std::string host = "127.0.0.1";
    int port = 1055;
    std::string password;
    bool raw = false;
    int timeoutMs = 10000;
    std::string command;
    std::vector<String> params;
};

[[noreturn]] void Usage(const char* error) {
    if (error) fprintf(stderr, "owlctl: %s\n", error);
    fprintf(stderr,
            "Usage: owlctl [-h host] [-p port] [-w password | -W passwordfile] [-r] [-t ms]\n"
            "              COMMAND [PARAM ...]\n"
            "       owlctl [options] upgrade FILE\n"
            "  -h host          agent address (default 127.0.0.1)\n"
            "  -p port          agent port (default 1055)\n"
            "  -w password      the agent's password\n"
            "  -W passwordfile  read the password from the first line of a file\n"
            "  -r               show %%0D and %%0A in values as they travel\n"
            "  -t ms            time-out for connecting and for the reply (default 10000)\n"
            "  upgrade FILE     send FILE as the agent's new executable (UpgradeCode)\n"
            "Exit status: 0 for status 200, 1 for any other status, 2 when no reply came.\n");
    exit(kExitNoReply);
}

std::string ReadPasswordFile(const char* path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) Usage("cannot read the password file");
    std::string line;
    std::getline(in, line);
    while (!line.empty() && (line.back() == '\r' || line.back() == '\n')) line.pop_back();
    return line;
}

Options ParseOptions(int argc, char** argv) {
    Options o;
    int i = 1;
    for (; i < argc && argv[i][0] == '-' && argv[i][1] != 0; i++) {
        std::string opt = argv[i];
        bool hasValue = opt == "-h" || opt == "-p" || opt == "-w" || opt == "-W" || opt == "-t";
        if (hasValue && i + 1 >= argc) Usage("an option lacks its value");
        if (opt == "-h")
            o.host = argv[++i];
        else if (opt == "-p")
            o.port = atoi(argv[++i]);
        else if (opt == "-w")
            o.password = argv[++i];
        else if (opt == "-W")
            o.password = ReadPasswordFile(argv[++i]);
        else if (opt == "-t")
            o.timeoutMs = atoi(argv[++i]);
        else if (opt == "-r")
            o.raw = true;
        else if (opt == "--") {
            i++;
            break;
        } else
            Usage("unknown option");
    }
    if (i >= argc) Usage("no command given");
    if (o.port <= 0 || o.port > 65535) Usage("invalid port");
    if (o.timeoutMs <= 0) Usage("invalid time-out");
    o.command = argv[i++];
    for (; i < argc; i++) o.params.push_back(String(argv[i]));
    return o;
}

// The status code on the first line, then each value line.
int PrintReply(const String& text, bool raw) {
    std::string all(text.Data() ? text.Data() : "", text.Length());
    if (!all.empty() && all.back() == '\r') all.pop_back();
    if (!all.empty() && all.back() == '\n') all.pop_back();
    std::string status = all.substr(0, all.find('\n'));
    std::string rest = all.size() > status.size() ? all.substr(status.size() + 1) : "";
    printf("%s\n", status.c_str());
    if (!rest.empty() || all.size() > status.size()) {
        String body(rest.c_str());
        if (!raw) body = owlDecodeStrings(body);
        fwrite(body.Data(), 1, body.Length(), stdout);
        printf("\n");
    }
    return status == "200" ? kExitOk : kExitStatus;
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
    if (!ReadFile(file.SetZero().Data(), body)) Usage("cannot read the upgrade file");
    String first, final, err;
    int result = OwlUpgrade(o.host.c_str(), o.port, String(o.password.c_str()), body,
                            UpgradeDigest(body), 0, 0, o.timeoutMs, first, final, err);
    if (result != OWL_REPLY) {
        err.SetZero();
        fprintf(stderr, "owlctl: no reply from %s:%d: %s\n", o.host.c_str(), o.port, err.Data());
        return kExitNoReply;
    }
    return PrintReply(final.Length() > 0 ? final : first, o.raw);
}

}  // namespace

int main(int argc, char** argv) {
    Options o = ParseOptions(argc, argv);
    Twofish_initialise();
    if (o.command == "upgrade") return Upgrade(o);
    String text, err;
    int result = OwlRequest(o.host.c_str(), o.port, String(o.password.c_str()),
                            String(o.command.c_str()), o.params, o.timeoutMs, text, err);
    if (result != OWL_REPLY) {
        err.SetZero();
        fprintf(stderr, "owlctl: no reply from %s:%d: %s\n", o.host.c_str(), o.port, err.Data());
        return kExitNoReply;
    }
    return PrintReply(text, o.raw);
}
