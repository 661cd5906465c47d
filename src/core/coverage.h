// Coverage builds only: the agent leaves with _exit or replaces itself with
// exec, and neither writes the coverage counters; FlushCoverageCounters
// writes them first. Elsewhere it does nothing. Safe from any thread; not
// async-signal-safe.
#pragma once

#ifdef OWL_COVERAGE
extern "C" void __gcov_dump(void);
inline void FlushCoverageCounters() { __gcov_dump(); }
#else
inline void FlushCoverageCounters() {}
#endif
