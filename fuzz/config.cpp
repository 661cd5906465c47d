// Fuzz target: the configuration loader on a fuzzed file (written to one
// private temporary file per process).
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "fuzz/fuzz_common.h"

namespace {

const char* ConfigPath() {
    static char path[64] = {0};
    if (path[0] == 0) {
        snprintf(path, sizeof path, "/tmp/owl-fuzz-cfg-XXXXXX");
        int fd = mkstemp(path);
        if (fd >= 0) close(fd);
        atexit([] { unlink(ConfigPath()); });
    }
    return path;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzSetUp();
    FILE* f = fopen(ConfigPath(), "wb");
    if (f == nullptr) return 0;
    fwrite(data, 1, size, f);
    fclose(f);
    TOWLSettings settings;
    strcpy(settings.configfile, ConfigPath());
    String err;
    settings.LoadOptions_(err);
    for (int i = 0; i < OWLSettingKeyCount; i++) SettingValue(settings, OWLSettingKeys[i]);
    return 0;
}
