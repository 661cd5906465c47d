// systemtext: the texts of two system values that every layer reports: an
// IPv4 address in dotted-decimal form (inet_ntoa_safe) and an errno's
// message (GetErrorStr). Both are reentrant and keep no state, so any thread
// may call them at once.
#pragma once

#include <netinet/in.h>

#include "text/vtstring.h"

// Writes the dotted-decimal text of a into dst: at most size - 1 characters,
// always zero-terminated. Returns dst; a null dst or size < 1 writes nothing.
char* inet_ntoa_safe(in_addr a, char* dst, int size);
// The system's message text for errnum; "" when the system has none.
String GetErrorStr(int errnum);
