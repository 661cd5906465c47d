// OWL_ASSERT: the programming-error check of every module. Unlike assert() it
// stays active in optimised builds; a failure prints the expression, the
// source file and the function in the C library's assertion format, then
// aborts the process. Thread-safe.
#pragma once

[[noreturn]] void OwlAssertFail(const char* expr, const char* file, unsigned line,
                                const char* function);

#define OWL_ASSERT(expr) \
    ((expr) ? (void)0 : OwlAssertFail(#expr, __FILE__, __LINE__, __PRETTY_FUNCTION__))

// The same check, printing text in place of the expression (for checks whose
// reported expression must read exactly as the module has always printed it).
#define OWL_ASSERT_TEXT(expr, text) \
    ((expr) ? (void)0 : OwlAssertFail(text, __FILE__, __LINE__, __PRETTY_FUNCTION__))
