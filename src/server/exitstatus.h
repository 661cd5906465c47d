// The exit statuses of the agent process, in one place: the command line,
// start-up, "owl -t", the accept loop and the workers end the process with
// these. Plain constants, safe from any thread and from signal handlers.
#pragma once

// Exit statuses of the process.
enum OwlExitStatus {
    OWL_EXIT_OK = 0,      // daemon parent after the fork; terminate request
    OWL_EXIT_USAGE = 1,   // bad command line; configuration cannot be loaded
    OWL_EXIT_DAEMON = 2,  // daemon initialisation failed
    OWL_EXIT_CIPHER = 3,  // cipher self-check or cipher module fatal error
    OWL_EXIT_LISTEN = 4,  // listening socket cannot be opened; accept failed
};

// The exit status of "owl -t --strict" for a configuration with warnings.
const int kCheckWarnings = 2;
