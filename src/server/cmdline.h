// The agent's command line: [-d|-i] [-v|-vd] [-p <port>] <cfg_file>, read on
// the main thread before any other thread exists.
#pragma once

#include "config/settings.h"

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
