// The agent program: banner, command line, then the start-up stages and the
// accept loop. Operator forms stand before the command line proper:
// "owl --version", "owl --help" and "owl -t [--strict] <cfg_file>" (check a
// configuration and exit).
#include <stdio.h>
#include <string.h>

#include "config/settings.h"
#include "server/cmdline.h"
#include "server/exitstatus.h"
#include "server/lifecycle.h"
#include "server/startup.h"
#include "text/version.h"

int main(int argc, char** argv, char** envp) {
    setvbuf(stdout, nullptr, _IOLBF, 0);
    if (argc == 2 && strcmp(argv[1], "--version") == 0) {
        printf("owl %s\n", OWL_VERSION);
        return OWL_EXIT_OK;
    }
    if (argc == 2 && strcmp(argv[1], "--help") == 0) {
        ShowUsage();
        return OWL_EXIT_OK;
    }
    bool strict = argc == 4 && strcmp(argv[1], "-t") == 0 && strcmp(argv[2], "--strict") == 0;
    if (strict || (argc == 3 && strcmp(argv[1], "-t") == 0)) {
        strncpy(OWLSettings.configfile, argv[argc - 1], sizeof(OWLSettings.configfile) - 1);
        return CheckConfigurationOnly(strict);
    }
    SaveProcessImage(argv, envp);
    ShowBanner();
    printf("Command line checking .. ");
    ReadCommandLine(argc, argv, OWLSettings);
    printf("Ok\nSettings checking .. ");
    RunAgent();
}
