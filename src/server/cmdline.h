// The agent's command line: [-d|-i] [-v|-vd] [-p <port>] <cfg_file>, read on
// the main thread before any other thread exists, and the process's exit
// statuses.
#pragma once

#include "config/settings.h"

// Exit statuses of the process.
enum OwlExitStatus {
    OWL_EXIT_OK = 0,      // daemon parent after the fork; terminate request
    OWL_EXIT_USAGE = 1,   // bad command line; configuration cannot be loaded
    OWL_EXIT_DAEMON = 2,  // daemon initialisation failed
    OWL_EXIT_CIPHER = 3,  // cipher self-check or cipher module fatal error
    OWL_EXIT_LISTEN = 4,  // listening socket cannot be opened; accept failed
};

// Prints the banner lines.
void ShowBanner();

// owl --help: the usage text and the operator forms, on standard output.
void ShowUsage();

// Prints message, a blank line and the usage text, then ends the process with
// status 1. Never returns.
[[noreturn]] void showhelp(const char* message);

// Reads the options in their fixed order into the run-mode fields of
// settings (interactive, verbose, debug, configfile, port). A bad command line
// ends the process through showhelp.
void ReadCommandLine(int argc, char** argv, TOWLSettings& settings);
