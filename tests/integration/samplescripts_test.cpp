// The three sample scripts that the package ships, configured as the
// packaged owl.cfg configures them, answered through the real agent.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "protocol/codecs.h"
#include "support/agent.h"

namespace {

std::string Script(const char* name) {
    return std::string(OWL_SOURCE_DIR) + "/packaging/scripts/" + name;
}

TEST(SampleScripts, CpuProcessCountAndList) {
    TempDir tmp, bin;
    // A process with a name of its own: sleep started through a link.
    const std::string name = "owlsmp" + std::to_string(getpid() % 100000);
    ASSERT_EQ(symlink("/bin/sleep", bin.File(name).c_str()), 0);
    BackgroundProcess sleeper;  // killed when the test ends
    ASSERT_TRUE(sleeper.Start(bin.File(name), {"30"}, tmp.File("sleep.out")));

    TestAgent agent({{"process", "1"},
                     {"cpuusage", "1"},
                     {"tmpdir", tmp.path()},
                     {"cpuusagescript", Script("cpuusage.sh")},
                     {"proccntscript", Script("proccount.sh")},
                     {"proclistscript", Script("proclist.sh")}});
    ASSERT_TRUE(agent.Start()) << agent.Output();

    Reply cpu = agent.Request("TEST-CPU");
    ASSERT_EQ(cpu.status, "200") << cpu.body;
    double usage = std::stod(cpu.body);
    EXPECT_GE(usage, 0.0);
    EXPECT_LE(usage, 100.0);

    Reply count = agent.Request("TEST-Process", {"", name});
    ASSERT_EQ(count.status, "200") << count.body;
    EXPECT_GE(std::stoi(count.body), 1);
    Reply none = agent.Request("TEST-Process", {"", name + "x"});
    EXPECT_EQ(none.status + " " + none.body, "200 0");

    Reply list = agent.Request("GetProcessesList");
    ASSERT_EQ(list.status, "200") << list.body;
    std::string names = Str(owlDecodeStrings(String(list.body.c_str())));
    EXPECT_NE(("\r\n" + names).find("\r\n" + name + "\r\n"), std::string::npos) << names;
}

}  // namespace
