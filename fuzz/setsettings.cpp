// Fuzz target: the "SetSettings" parameter lines, split and assigned as the
// handler does, on a private settings record (nothing is saved).
#include "fuzz/fuzz_common.h"
#include "protocol/qxrequest.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzSetUp();
    QXRequest request;
    request = FuzzBytes(data, size);
    TOWLSettings settings;
    const int count = request.GetParamsCount();
    for (int i = 1; i <= count && i <= 4096; i++) {
        String line = request.GetParam(i, 1);
        int eq = line.Pos('=');
        if (eq == 0) continue;
        String name = line.Copy(1, eq - 1);
        String value = line.Copy(eq + 1, line.Length());
        const TSettingKey* key = FindRemoteSetting(name.Trim());
        if (key != nullptr) SetSettingFromRemote(settings, *key, value.Trim());
    }
    String err;
    settings.PutRight(err);
    return 0;
}
