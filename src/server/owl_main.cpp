// The agent program: banner, command line, then the start-up stages and the
// accept loop.
#include <stdio.h>

#include "config/settings.h"
#include "server/cmdline.h"
#include "server/startup.h"

int main(int argc, char** argv, char** envp) {
    setvbuf(stdout, nullptr, _IOLBF, 0);
    SaveProcessImage(argv, envp);
    ShowBanner();
    printf("Command line checking .. ");
    ReadCommandLine(argc, argv, OWLSettings);
    printf("Ok\nSettings checking .. ");
    RunAgent();
}
