// Start-up of the agent after the command line: configuration, cipher
// self-checks, the socket test, daemon mode, signal handlers, the listening
// socket and the pid file; then the accept loop. Also the helpers the accept
// loop reuses for restarts and port changes (Listen, the pid file). All of
// this runs on the main thread; the signal handlers only set flags, except
// that a late memory fault re-executes the agent from the handler.
#pragma once

#include <stdio.h>

#include "text/vtstring.h"

// Opens the listening socket on the "host" and "port" settings, up to three
// tries one second apart. The descriptor, or 0 with err set.
int Listen(unsigned int& addrlen, String& err);

// Forks into the background: the parent prints "Daemon started" and exits
// with status 0; the child starts a session, points the standard streams at
// /dev/null and installs the SIGHUP handler. -1 when fork fails.
int daemon_init();

// Creates and locks the pid file named by the "pidfile" setting and writes
// the process id into it. The open stream, or null (logged) when the file
// cannot be created or another instance holds its lock.
FILE* createpidfile();
// In daemon mode with a "pidfile" setting, createpidfile(); else null.
FILE* CreateDaemonPidFile();
// Closes the stream and deletes the pid file; null does nothing.
void closepidfile(FILE* pidfile);

// SIGHUP: asks the accept loop to reload the configuration.
void reloadcfg(int);
// SIGTERM, and SIGINT in interactive mode: asks the accept loop to end the
// agent as "QUIT" does.
void stopagent(int sig);
// The stop signal that arrived (clears it), or 0. Once OWLFlags.Terminate
// reads 1 because of a signal, this returns that signal.
int TakeStopSignal();
// SIGSEGV: after the first FAULT_RESTART_SECONDS restarts the agent, else
// lets the fault end the process.
void reloadapp(int);
// 1 once, after a SIGHUP arrived (clears the request).
int TakeReloadRequest();

// Remembers the original arguments and environment for restarts.
void SaveProcessImage(char** argv, char** envp);
char** SavedArgv();
char** SavedEnvp();
// Keeps the restart target and, when this process holds the pid file, its
// path where the memory-fault handler can read them without locks; called
// by the main thread.
void RefreshFaultRestart(bool holdsPidFile);

// The exit status of "owl -t --strict" for a configuration with warnings.
const int kCheckWarnings = 2;

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
