// The agent's fixed time limits, in seconds. Each is its built-in value
// unless the environment gives a shorter one when the program starts
// (OWL_TEST_REQUEST_GRACE, OWL_TEST_UPGRADE_STALL, OWL_TEST_FAULT_RESTART:
// a whole number of seconds from 0 up to the built-in value), which is how
// tests reach them without waiting. Set before main runs and never after:
// any thread, and a signal handler, may read them.
#pragma once

// A request must have arrived whole within the "timeout" setting plus this
// many seconds from its accept, however slowly it trickles in (3).
extern const int REQUEST_GRACE_SECONDS;
// An upgrade transfer that receives nothing for this long is abandoned (60).
extern const int UPGRADE_STALL_SECONDS;
// A memory fault within this age of the process ends it; a later one
// starts the agent over (180).
extern const int FAULT_RESTART_SECONDS;
