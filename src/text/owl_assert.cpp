#include "text/owl_assert.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>

void OwlAssertFail(const char* expr, const char* file, unsigned line, const char* function) {
    fflush(stdout);
    fprintf(stderr, "%s: %s:%u: %s: Assertion `%s' failed.\n", program_invocation_short_name, file,
            line, function, expr);
    abort();
}
