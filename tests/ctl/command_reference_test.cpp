// The command reference that owlctl explains replies with: one entry per
// command of the dispatcher's table, in its order, and docs/commands.md as
// owlctl --explain-all writes it.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>

#include "protocol/commandref.h"
#include "server/dispatcher.h"
#include "support/process.h"

namespace {

// Every row of the dispatcher's table has its reference row, in the same
// order, and docs/commands.md is what owlctl generates from them.
TEST(CommandReference, FollowsTheDispatcherTable) {
    std::vector<std::string> names = DispatcherCommandNames();
    ASSERT_EQ(names.size(), OWLCommandRefs.size());
    for (size_t i = 0; i < names.size(); i++) {
        const TCommandRef& ref = OWLCommandRefs[i];
        EXPECT_EQ(ref.name, names[i]);
        std::string example = ref.example;
        EXPECT_EQ(example.rfind(names[i] == "UpgradeCode" ? "upgrade" : names[i], 0), 0u)
            << example;
        for (size_t p = 1; p < ref.params.size(); p++)
            EXPECT_LT(ref.params[p - 1].position, ref.params[p].position) << names[i];
    }
    std::ifstream document(std::string(OWL_SOURCE_DIR) + "/docs/commands.md");
    std::stringstream text;
    text << document.rdbuf();
    EXPECT_EQ(RunProgram(OWLCTL_BINARY, {"--explain-all"}).output, text.str())
        << "regenerate with: build/owlctl --explain-all > docs/commands.md";
}

}  // namespace
