// TOWLSettings: every setting of the agent, in the one global OWLSettings.
// The command line fills the run-mode fields before any thread starts.
#pragma once

#include "text/vtstring.h"

class TOWLSettings {
  public:
    int interactive = 0;
    int verbose = 0;
    int debug = 0;
    char configfile[512] = {0};
    int port = 0;
};

extern TOWLSettings OWLSettings;
