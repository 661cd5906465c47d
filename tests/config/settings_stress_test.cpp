// Session threads read the settings while reloads and saves replace them.
// Meant to be run under ThreadSanitizer as well (-DSANITIZE=thread).
#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "config/config_fixture.h"
#include "config/ipfilter.h"
#include "config/settings.h"

namespace {

using cfgtest::S;
using cfgtest::TempDir;
using cfgtest::WriteFile;

TEST(SettingsStress, ReadersWhileReloadingAndSaving) {
    cfgtest::EnvGuard env;
    TempDir dir;
    // Written before any thread starts, as the command line does.
    cfgtest::SetConfigFile(OWLSettings, dir.Config());
    WriteFile(dir.Config(), dir.Required() +
                                "filteractive=1\nfilterlist=10.0.0.1 10.0.0.2\n"
                                "filtermarks=11\ntmpdir=" +
                                dir.path() + "\n");
    String err;
    ASSERT_EQ(OWLSettings.LoadOptions(err), 1) << S(err);

    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    std::atomic<bool> done{false};
    std::atomic<int> badReads{0};
    std::atomic<long> reads{0};

    auto reader = [&] {
        for (int i = 0; i < 200000 && !done && std::chrono::steady_clock::now() < deadline; i++) {
            String password = SettingText(&TOWLSettings::password);
            if (!(password == "alpha" || password == "beta" || password == "secret")) badReads++;
            String filter = SettingText(&TOWLSettings::activefilter);
            if (filter.Pos("\r\n10.0.0.1\r\n") != 1) badReads++;
            if (SettingInt(&TOWLSettings::filteractive) != 1) badReads++;
            if (!FilterAdmits("10.0.0.2") || FilterAdmits("10.0.0.3")) badReads++;
            {
                TSettingsReadLock lock;
                if (OWLSettings.timeout != 4000 || OWLSettings.manageaddr != "127.0.0.1")
                    badReads++;
            }
            reads++;
        }
    };

    std::vector<std::thread> readers;
    for (int t = 0; t < 3; t++) readers.emplace_back(reader);

    int loads = 0, saves = 0;
    for (int round = 0; round < 150 && std::chrono::steady_clock::now() < deadline; round++) {
        {
            TSettingsWriteLock lock;  // as a remote settings change does
            OWLSettings.password = round % 2 ? "alpha" : "beta";
        }
        String text;
        saves += OWLSettings.SaveOptions(text);
        loads += OWLSettings.LoadOptions(text);
    }
    done = true;
    for (std::thread& t : readers) t.join();

    EXPECT_EQ(badReads.load(), 0);
    EXPECT_GT(reads.load(), 0);
    EXPECT_EQ(loads, saves);
    EXPECT_GT(loads, 0);
}

}  // namespace
