// Fuzz target: the "SetSettings" parameter lines, split and checked as the
// handler does, then assigned to a private settings record (nothing is
// saved).
#include "fuzz/fuzz_common.h"
#include "handlers/manage.h"
#include "protocol/requestparams.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzSetUp();
    RequestParams request(FuzzBytes(data, size));
    std::vector<TSettingAssignment> assignments;
    ParseSettingAssignments(request, assignments);
    TOWLSettings settings;
    for (const TSettingAssignment& a : assignments) SetSettingFromRemote(settings, *a.key, a.value);
    String err;
    settings.PutRight(err);
    return 0;
}
