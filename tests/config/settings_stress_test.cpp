// Session threads read the settings and log while the main thread reloads
// and saves them, the file names and flags that logging reads included.
// Meant to be run under ThreadSanitizer as well (-DSANITIZE=thread).
#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "config/config_fixture.h"
#include "config/ipfilter.h"
#include "core/log.h"

namespace {

TEST(SettingsStress, ReadersAndLoggersWhileReloadingAndSaving) {
    TmpEnv env;
    cfgtest::Dir dir;
    // Written before any thread starts, as the command line does.
    cfgtest::SetConfigFile(OWLSettings, dir.Config());
    OWLSettings.verbose = 1;
    dir.Write("owl.cfg", dir.Required() +
                             "filteractive=1\nfilterlist=10.0.0.1 10.0.0.2\nfiltermarks=11\n"
                             "oklogfile=ok.log\nbadlogfile=bad.log\nverboselogfile=v.log\ntmpdir=" +
                             dir.path() + "\n");
    String err;
    ASSERT_EQ(OWLSettings.LoadOptions(err), 1) << Str(err);

    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    auto going = [&] { return std::chrono::steady_clock::now() < deadline; };
    std::atomic<bool> done{false};
    std::atomic<int> badReads{0};
    std::atomic<long> reads{0}, messages{0};
    auto reader = [&] {
        for (int i = 0; i < 200000 && !done && going(); i++) {
            String password = SettingText(&TOWLSettings::password);
            if (!(password == "alpha" || password == "beta" || password == "secret")) badReads++;
            if (SettingText(&TOWLSettings::activefilter).Pos("\r\n10.0.0.1\r\n") != 1) badReads++;
            if (SettingInt(&TOWLSettings::filteractive) != 1) badReads++;
            if (!FilterAdmits("10.0.0.2") || FilterAdmits("10.0.0.3")) badReads++;
            reads++;
        }
    };
    auto logger = [&](int id) {
        for (int i = 0; i < 3000 && !done && going(); i++) {
            showmessage("thread %d message %d\n", LOCAL, i % 2 ? MSG_SUCCESS : MSG_FAILURE, 1, id,
                        i);
            messages++;
        }
    };
    std::vector<std::thread> threads;
    for (int t = 0; t < 2; t++) threads.emplace_back(reader);
    for (int t = 0; t < 3; t++) threads.emplace_back(logger, t);

    int loads = 0, saves = 0;
    for (int round = 0; round < 100 && going(); round++) {
        {
            TSettingsWriteLock lock;  // as a remote settings change does
            OWLSettings.password = round % 2 ? "alpha" : "beta";
            OWLSettings.oklogfile = round % 2 ? "ok.log" : "ok2.log";
            OWLSettings.logsuccess = round % 3 != 0;
        }
        String text;
        saves += OWLSettings.SaveOptions(text);
        loads += OWLSettings.LoadOptions(text);
    }
    done = true;
    for (std::thread& t : threads) t.join();

    EXPECT_EQ(badReads.load(), 0);
    EXPECT_GT(reads.load(), 0);
    EXPECT_EQ(loads, saves);
    EXPECT_GT(loads, 0);
    // Every message reached the verbose log whole, one per line.
    std::string verbose = dir.Read("v.log");
    EXPECT_EQ((long)std::count(verbose.begin(), verbose.end(), '\n'), messages.load());
    TSettingsWriteLock lock;
    OWLSettings.verbose = 0;
    OWLSettings.verboselogfile = "";
}

}  // namespace
