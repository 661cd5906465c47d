// The agent program: banner, command line, then the start-up stages.
#include <stdio.h>

#include "config/settings.h"
#include "server/cmdline.h"

int main(int argc, char** argv) {
    setvbuf(stdout, nullptr, _IOLBF, 0);
    ShowBanner();
    printf("Command line checking .. ");
    ReadCommandLine(argc, argv, OWLSettings);
    printf("Ok\nSettings checking .. ");
    printf("Error\nThe configuration stage is not available in this build yet.\n");
    return OWL_EXIT_USAGE;
}
