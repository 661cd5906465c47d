#include "runtime/limits.h"

#include <stdlib.h>

namespace {

// The environment's value of name when it is a whole number from 0 to
// builtIn, else builtIn: a limit can be shortened, never lengthened.
int Limit(const char* name, int builtIn) {
    const char* text = getenv(name);
    if (text == nullptr || *text == 0) return builtIn;
    char* end = nullptr;
    long value = strtol(text, &end, 10);
    return *end == 0 && value >= 0 && value <= builtIn ? (int)value : builtIn;
}

}  // namespace

const int REQUEST_GRACE_SECONDS = Limit("OWL_TEST_REQUEST_GRACE", 3);
const int UPGRADE_STALL_SECONDS = Limit("OWL_TEST_UPGRADE_STALL", 60);
const int FAULT_RESTART_SECONDS = Limit("OWL_TEST_FAULT_RESTART", 180);
