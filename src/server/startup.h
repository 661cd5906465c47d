// Start-up of the agent after the command line: configuration, cipher
// self-checks, the socket test, daemon mode, the signal handlers, the
// listening socket and the pid file (the last four through lifecycle); then
// the accept loop. Also "owl -t", the configuration check alone. All of
// this runs on the main thread.
#pragma once

// owl -t: loads and checks the configuration named on the command line as
// start-up does, prints "Settings checking .. " and "Ok", a warning or the
// error text, the log files that cannot be written and the configured
// scripts that cannot be run; then the warnings of settingscheck (unknown
// keys, placeholder password, a port that cannot be bound, ...) on standard
// error. The exit status: 0 when the agent would start with it, 1 when not;
// with strict, kCheckWarnings when it would start but with a warning.
int CheckConfigurationOnly(bool strict);

// Start-up steps after "Settings checking .. "; the warnings of
// settingscheck go to standard error (and the verbose log) once the port is
// proven. Enters the accept loop and does not return.
[[noreturn]] void RunAgent();
