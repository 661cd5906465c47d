// Shared set-up of the fuzz targets: the cipher tables and the settings a
// fuzzed agent runs with (no console, no log files). Each target defines
// LLVMFuzzerTestOneInput; the same source builds with libFuzzer for "make
// fuzz" and with replay_main.cpp as an ordinary test that replays the seed
// corpus.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "config/settings.h"
#include "crypto/twofish.h"
#include "text/vtstring.h"

// The password of every fuzzed agent.
const char kFuzzPassword[] = "fuzz-pw";

// Once per process: cipher tables and quiet settings that allow management.
inline void FuzzSetUp() {
    static bool done = false;
    if (done) return;
    done = true;
    Twofish_initialise();
    TSettingsWriteLock lock;
    OWLSettings.password = kFuzzPassword;
    OWLSettings.allowmanage = 1;
    OWLSettings.allowupdates = 0;
    OWLSettings.timeout = 1000;
}

inline String FuzzBytes(const uint8_t* data, size_t size) {
    String s;
    s.AddData((const char*)data, (int)size);
    return s;
}
