// Client sessions: every accepted connection gets a detached thread of its
// own that reads one request packet, has it answered by the dispatcher and
// sends the reply (or, after "UpgradeCode", receives the new executable).
// A thread that has finished its connection waits a while to serve the next
// one. The accept loop starts sessions with StartSession; nothing else
// touches a session's objects.
#pragma once

#include "server/dispatcher.h"

// At most this many sessions run at once; a connection beyond is closed.
const int MAX_SESSIONS = 1024;
// Stack size of a session thread.
const size_t SESSION_STACK_SIZE = 256 * 1024;

// Starts a session thread for the connection. 0 when the session limit is
// reached or the thread cannot be started; the caller then closes the socket.
int StartSession(int socket, in_addr peer);

// Sessions running now (a lock-free read for the accept loop and tests).
int RunningSessions();

// One session; params is a ThreadParams block allocated with new, which the
// session frees.
void* ClientExecute(void* params);
