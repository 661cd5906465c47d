// runner: the one place where the agent starts other programs, and the names
// of its temporary files. Owns gettempfilename, CreateTempFile, the command
// line splitting, SystemEx2 / SystemEx (a console's program with a time-out),
// RunShellCommand and RunShellCommandReading (the configured scripts through
// /bin/sh -c, their output to files or to the caller) and the reaper
// that collects programs left running by a time-out of -1.
//
// Threads: every function may run on several session threads at once. A
// program is started with posix_spawn (no code of the agent runs in the new
// process), leads a session and process group of its own, gets every signal
// at its default and an empty signal mask, and inherits no descriptor but
// its three standard streams and the usual scheduling policy (see
// UseBatchScheduling). Each caller waits only for its own child, by
// process id; nothing here ever waits for "any child".
#pragma once

#include <stddef.h>
#include <sys/types.h>

#include <functional>

#include "text/vtstring.h"

// The longest command line argument list: 23 arguments and the ending null.
const int RUNNER_MAX_ARGS = 23;
// Room for the argument texts, each with its terminating zero.
const int RUNNER_ARG_BUFFER = 1024;
// A program killed at its time-out gets SIGTERM, then SIGKILL after this.
const int RUNNER_KILL_GRACE_MS = 500;
// With a time-out of -1 the runner waits this long for an early end.
const int RUNNER_DETACH_WAIT_MS = 1000;

// Moves the calling thread to SCHED_BATCH when it runs the usual policy: a
// woken batch thread does not preempt the thread that is running, but waits
// for its next pause. The programs the thread starts afterwards get the
// usual policy back.
void UseBatchScheduling();
// Puts a thread that UseBatchScheduling moved back on the usual policy, so
// that a program that replaces the process from it (exec) starts as the
// agent did. Async-signal-safe.
void EndBatchScheduling();

// Builds a temporary file name in the folder of TMPDIR, else TMP (each
// followed by "/"), else "./". With name: folder + name (cut to fit). Without:
// folder + "tmp-<thread id>-<n>" for the first n in 0..1998 that names no
// existing file. Success: 1 with the name in buffer. Failure (null buffer,
// size < 16, folder + 16 longer than size, every suffix taken): 0 with
// buffer emptied when there is one. Creates nothing.
int gettempfilename(char* buffer, int size, const char* name);

// Creates a new temporary file with open(O_CREAT | O_EXCL | O_NOFOLLOW),
// read-write, close-on-exec and exactly the given permission bits. The name
// is found as gettempfilename finds it; a candidate that exists or is taken
// between the look and the create (a file, a link, anything) is skipped: a
// given name then falls back to the numbered names. Success: the open
// descriptor, with the name in buffer. Failure: -1, buffer emptied.
int CreateTempFile(char* buffer, int size, const char* name, mode_t mode);

// Splits a command line into at most RUNNER_MAX_ARGS arguments whose texts
// fit in buffer (size bytes, each text with its zero). Blanks (spaces and
// tabs) separate arguments; an argument that begins with ' or " runs to the
// next equal quote or the end, without the quotes; any other one runs to the
// next blank, quotes included. No escapes. Splitting stops at the limit or at
// the first argument that does not fit. Fills argv (room for
// RUNNER_MAX_ARGS + 1 entries) and ends it with null; returns the count.
int SplitCommandLine(const char* commandLine, char* buffer, int size, char** argv);

// Runs the program of commandLine (split as above, looked up along PATH
// unless the name holds "/"; a file without a "#!" line runs through
// /bin/sh) in workDir (null or empty: the agent's folder; one that cannot
// be entered is ignored), with standard input read from stdinFile and
// output and error written to stdoutFile and stderrFile (each null:
// "/dev/null"; the same name for both shares one open file).
// timeout > 0: milliseconds, after which the program's whole process group
// gets SIGTERM and, RUNNER_KILL_GRACE_MS later, SIGKILL. 0: no limit. -1:
// waits at most RUNNER_DETACH_WAIT_MS, then leaves the program running and
// the reaper collects it when it ends. Other negative values kill at once.
// Returns 1 with exitCode = the exit status (0 when left running, or for -1
// a program ended by a signal) and error empty. Returns 0 with error =
// "fork error", "exec error: " + the system's message (for -1: "exec
// error"), "cannot terminate process" or "abnormal termination" (ended by a
// signal, or killed at its time-out); exitCode is then unchanged.
int SystemEx2(const char* commandLine, const char* workDir, const char* stdinFile,
              const char* stdoutFile, const char* stderrFile, int timeout, int& exitCode,
              String& error);
// SystemEx2 with all three standard streams on "/dev/null".
int SystemEx(const char* commandLine, const char* workDir, int timeout, int& exitCode,
             String& error);

// Runs command through "/bin/sh -c" and waits for it without limit, all
// three standard streams on "/dev/null" (the command redirects its own).
// Returns 1 with status = the shell's exit status (128 + the signal number
// when a signal ended it); 0 when the shell cannot be started.
int RunShellCommand(const String& command, int& status);

// Receives a piece of a program's output as it comes.
typedef std::function<void(const char* data, size_t n)> OutputSink;
// The most that one read of a program's output takes.
const int RUNNER_PIPE_CHUNK = 16384;

// Runs command through "/bin/sh -c" as RunShellCommand does, but with
// standard output and error on one pipe whose bytes go to sink as they
// come, so that no output is stored anywhere. Reads until the pipe's end,
// or until the shell has ended and what was left in the pipe is read.
// Returns as RunShellCommand.
int RunShellCommandReading(const String& command, const OutputSink& sink, int& status);

// text as one single-quoted shell word: 'it'\''s' for it's.
String ShellQuote(const String& text);
// Each blank-separated word of text single-quoted, joined by one space, so
// that a shell sees the same words and interprets none of their characters.
String ShellQuoteWords(const String& text);

// Hands a started child to the reaper, which waits for exactly that process
// id once it ends. The caller must no longer wait for it itself.
void ReapLater(pid_t pid);
// Children handed to the reaper that have not ended yet (for tests).
int PendingReaps();
