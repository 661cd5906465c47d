#include "server/cmdline.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "server/exitstatus.h"
#include "text/version.h"

namespace {

const char kRule[] = "-------------------------------------------------------------";
const char kMissed[] = "Error\nInvalid or missed command line parameter";

const char kUsage[] =
    " Usage: owl [-d|-i] [-v|-vd] [-p <port>] <cfg_file>\n"
    "  -d        - daemon mode (default)\n"
    "  -i        - interactive mode\n"
    "  -v        - verbose mode\n"
    "  -vd       - verbose debugging mode\n"
    "  -p <port> - overrides TCP port number specified in cfg_file\n"
    "  cfg_file  - obligatory parameter, path to configuration file\n"
    "\n"
    " Examples:\n"
    "  owl -i -v -p 1055 /etc/owl/owl.cfg\n"
    "  owl -d ~/owl/owl.cfg\n"
    "\n";

const char kOperatorForms[] =
    " Other forms:\n"
    "  owl -t [--strict] <cfg_file> - check a configuration and exit: 0 when\n"
    "                                 the agent would start, 1 when not; with\n"
    "                                 --strict 2 when it has warnings\n"
    "  owl --version                - print the version\n"
    "  owl --help                   - print this text\n";

// The argument at index, or the usage error when the line has run out.
const char* ArgAt(int argc, char** argv, int index) {
    if (index >= argc) showhelp(kMissed);
    return argv[index];
}

}  // namespace

void ShowBanner() {
    printf("%s\n", kRule);
    printf(" Application:  OWL (Owlwatch for Quellix)\n");
    printf(" Version:      %s for %s\n", OWL_VERSION, "Linux (Red Hat, Mandrake, SuSE)");
    printf("%s\n", kRule);
}

void ShowUsage() {
    fputs(kUsage, stdout);
    fputs(kOperatorForms, stdout);
    fflush(stdout);
}

void showhelp(const char* message) {
    printf("%s\n\n", message);
    fputs(kUsage, stdout);
    fflush(stdout);
    exit(OWL_EXIT_USAGE);
}

void ReadCommandLine(int argc, char** argv, TOWLSettings& settings) {
    int i = 1;
    const char* arg = ArgAt(argc, argv, i);
    if (strcmp(arg, "-i") == 0 || strcmp(arg, "-d") == 0) {
        settings.interactive = arg[1] == 'i';
        arg = ArgAt(argc, argv, ++i);
    }
    if (strcmp(arg, "-v") == 0) {
        settings.verbose = 1;
        arg = ArgAt(argc, argv, ++i);
    }
    if (strcmp(arg, "-vd") == 0) {
        settings.verbose = 1;
        settings.debug = 1;
        arg = ArgAt(argc, argv, ++i);
    }
    if (strcmp(arg, "-p") == 0) {
        int port = atoi(ArgAt(argc, argv, ++i));
        if (port == 0 || port > 65535) showhelp("Error\nInvalid port number");
        settings.port = port;
        arg = ArgAt(argc, argv, ++i);
    }
    strncpy(settings.configfile, arg, sizeof(settings.configfile) - 1);
    settings.configfile[sizeof(settings.configfile) - 1] = 0;
}
