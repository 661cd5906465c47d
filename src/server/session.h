// Client sessions: every accepted connection gets a detached thread of its
// own that reads one request packet, has it answered by the dispatcher and
// sends the reply (or, after "UpgradeCode", receives the new executable).
// A thread that has finished its connection waits a while to serve the next
// one. A peer cannot hold a session in its request phase (before its whole
// packet has arrived) for long: a deadline from the accept ends it, a full
// table evicts the oldest one, and only a peer that has shown the password
// may send more than the first bytes of a packet. The accept loop starts sessions with
// StartSession; nothing else touches a session's objects.
#pragma once

#include "server/dispatcher.h"

// At most this many sessions run at once; fewer when the descriptor limit
// is low (SessionLimit).
const int MAX_SESSIONS = 1024;
// Descriptors kept free for everything but the sessions' sockets (logs,
// configuration, pid file, handlers' files and pipes).
const int RESERVED_DESCRIPTORS = 32;
// Descriptors one session may need: its socket and a file or pipe of its
// handler.
const int DESCRIPTORS_PER_SESSION = 2;
// A request must have arrived whole within the "timeout" setting plus this
// many seconds from its accept, however slowly it trickles in.
const int REQUEST_GRACE_SECONDS = 3;
// Stack size of a session thread.
const size_t SESSION_STACK_SIZE = 256 * 1024;

// Raises the soft descriptor limit to the hard one (at most 65536) and
// derives the session limit from it. Called once at start-up, before the
// first session; never fails (the limits stay as they were).
void RaiseDescriptorLimit();
// The number of sessions that may run at once.
int SessionLimit();

// Starts a session thread for the connection. When the table is full, the
// session that has waited longest for its request is closed to make room.
// 0 when no session could make room or the thread cannot be started; the
// caller then closes the socket.
int StartSession(int socket, in_addr peer);

// Sessions running now (a lock-free read for the accept loop and tests).
int RunningSessions();

// One session; params is a ThreadParams block allocated with new, which the
// session frees.
void* ClientExecute(void* params);
