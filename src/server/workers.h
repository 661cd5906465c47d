// Session workers: threads that block in accept on the one listening socket
// and serve each connection they take on their own thread, start to end:
// the connection filter, the "TCP connection accepted" line, the session
// limit, then the session. Nothing is handed from thread to thread on the
// way. One worker always waits in accept while the limits allow: when every
// worker is serving, the one that took the last connection starts another.
// At most 8 wait at once, and those beyond a small floor end after 50 s
// without work, so that threads and memory go back down after a burst.
// Threads: the accept loop (main thread) starts the workers once, then only
// replaces the socket they accept on and reaps the ones that ended; the
// shared state is atomics, with one small lock for the ended workers.
#pragma once

// Starts the workers on the listening socket. Called once.
void StartWorkers(int listenSocket);

// The workers accept on listenSocket from now on (-1: they stop accepting).
// The previous socket is shut down; returns once no worker can still call
// accept on it, so that the caller may close it.
void ReplaceListener(int listenSocket);

// Joins the workers that have ended and frees their stacks. The accept loop
// calls it on every pass.
void ReapWorkers();

// Ends the process at once while workers may still run: no static
// destructors under their feet, only the streams and coverage flushed.
[[noreturn]] void EndProcess(int status);
