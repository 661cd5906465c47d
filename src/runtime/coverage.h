// Coverage builds only: the agent leaves with _exit or replaces itself with
// exec, and neither writes the coverage counters; FlushCoverageCounters
// writes them first, then starts the counts afresh, so that a process that
// goes on (an exec that failed) is counted again at its next flush.
// Elsewhere it does nothing. Safe from any thread; not async-signal-safe.
#pragma once

#ifdef OWL_COVERAGE
extern "C" void __gcov_dump(void);
extern "C" void __gcov_reset(void);
inline void FlushCoverageCounters() {
    __gcov_dump();
    __gcov_reset();
}
#else
inline void FlushCoverageCounters() {}
#endif
