// The accept loop on the main thread: carries out what sessions and signals
// ask for (terminate, restart, upgrade, reload, port change), waits for
// connections, applies the connection filter and hands every admitted
// connection to a session thread. It knows nothing of the protocol.
#pragma once

#include <stdio.h>

// Serves on the listening socket until the process ends or replaces itself.
[[noreturn]] void AcceptLoop(int listenSocket, unsigned int addrlen, FILE* pidfile);
