// Client sessions: one accepted connection served start to end on the
// calling worker thread: one request packet, answered by the dispatcher
// (or, after "UpgradeCode", the new executable received). A peer cannot
// hold a session in its request phase (before its whole packet has
// arrived) for long: a deadline from the accept ends it, a full table
// evicts the oldest one, and only a peer that has shown the password may
// send more than the first bytes of a packet.
// Threads: any number of workers serve sessions at once; the running count
// and the request-phase slots are atomics, claimed without a lock.
#pragma once

#include <netinet/in.h>
#include <stddef.h>

#include "runtime/limits.h"

// At most this many sessions run at once; fewer when the descriptor limit
// is low (SessionLimit).
const int MAX_SESSIONS = 1024;
// Descriptors kept free for everything but the sessions' sockets (logs,
// configuration, pid file, handlers' files and pipes).
const int RESERVED_DESCRIPTORS = 32;
// Descriptors one session may need: its socket and a file or pipe of its
// handler.
const int DESCRIPTORS_PER_SESSION = 2;
// Stack size of a worker thread.
const size_t SESSION_STACK_SIZE = 256 * 1024;

// Raises the soft descriptor limit to the hard one (at most 65536) and
// derives the session limit from it. Called once at start-up, before the
// first session; never fails (the limits stay as they were).
void RaiseDescriptorLimit();
// The number of sessions that may run at once.
int SessionLimit();

// Takes a place for a new connection's session. When all are taken, the
// session that has waited longest for its request is closed to make room.
// false when no session could make room (the caller closes the connection).
bool ClaimSession();

// Serves the connection on the calling thread until its session ends, then
// closes it and gives up the place ClaimSession took (unless an eviction
// took it over).
void ServeConnection(int socket, in_addr peer);

// Sessions running now (a lock-free read).
int RunningSessions();
