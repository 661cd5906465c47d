// The accept loop on the main thread: starts the session workers, which
// accept and serve the connections themselves, and carries out what
// sessions and signals ask for (terminate, restart, upgrade, reload, port
// change), giving the workers each new listening socket. It knows nothing
// of the protocol.
#pragma once

#include <stdio.h>

// Serves on the listening socket until the process ends or replaces itself.
[[noreturn]] void AcceptLoop(int listenSocket, unsigned int addrlen, FILE* pidfile);
