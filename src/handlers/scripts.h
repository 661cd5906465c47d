// Script-based tests: "TEST-ExternalPrg" (a console's program and its exit
// code), "TEST-ShellScript" (a console's script and its output),
// "TEST-Process", "TEST-CPU" and "GetProcessesList" (the scripts that the
// host's administrator configured). Every program runs through the runner
// (proc/runner.h) on the calling session thread, which blocks meanwhile;
// several sessions may run scripts at once. Each handler deletes the
// temporary files it creates before it returns.
#pragma once

#include "protocol/owlreply.h"
#include "protocol/requestparams.h"
#include "text/vtstring.h"

// Runs a console's command line with SystemEx and replies: "200" with the
// exit code (0 for a program left running by time-out -1), "301" with the
// runner's text, or "501" "Command line to execute is not specified".
void ReplyProgramRun(const String& commandLine, const String& workDir, int timeout,
                     OWLReply& reply);

// 1 command line, 2 working folder, 4 time-out in ms (0 none, -1 no wait).
void ProcessTest_External(const RequestParams& params, OWLReply& reply);
// 1 start command with %script% and %params%, 2 script, 3 parameters,
// 4 time-out in seconds, 5 number of output lines to return.
void ProcessTest_ShellScript(const RequestParams& params, OWLReply& reply);
// 2 process name: the count that the "proccntscript" prints.
void ProcessTest_Process(const RequestParams& params, OWLReply& reply);
// The CPU usage that the "cpuusagescript" prints.
void ProcessTest_CPU(const RequestParams& params, OWLReply& reply);
// The lines that the "proclistscript" prints, read through a pipe while it
// runs: at most 8 MiB of them are held; the rest is read, counted in one
// verbose-log line and dropped.
void ProcessInfo_ProcessesList(const RequestParams& params, OWLReply& reply);
