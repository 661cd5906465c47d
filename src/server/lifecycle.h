// lifecycle: the process's life outside the requests, shared by start-up and
// the accept loop: the listening socket (Listen), daemon mode, the pid file,
// the signal handlers and the requests they leave, and the original
// arguments for restarts. Runs on the main thread; the signal handlers only
// set flags, except that a late memory fault re-executes the agent from the
// handler.
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

// Installs handler for sig with an empty mask and no flags.
void InstallHandler(int sig, void (*handler)(int));

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
