// Session threads log while the main thread reloads and saves the settings
// that logging reads (file names, flags). Meant to be run under
// ThreadSanitizer as well (-DSANITIZE=thread).
#include <gtest/gtest.h>
#include <string.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "config/settings.h"
#include "core/log.h"
#include "support/process.h"

namespace {

TEST(LogStress, LoggingWhileReloadingAndSaving) {
    TempDir dir;
    std::string cfg = dir.File("owl.cfg");
    dir.Write("owl.cfg", "owlpath=" + std::string(OWL_BINARY) +
                             "\nport=1055\npassword=p\nlogsuccess=1\nlogfails=1\n"
                             "oklogfile=ok.log\nbadlogfile=bad.log\nverboselogfile=v.log\n"
                             "tmpdir=" +
                             dir.path() + "\n");
    strncpy(OWLSettings.configfile, cfg.c_str(), sizeof OWLSettings.configfile - 1);
    OWLSettings.verbose = 1;
    String err;
    ASSERT_EQ(OWLSettings.LoadOptions(err), 1);

    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    std::atomic<bool> done{false};
    std::atomic<long> messages{0};
    auto logger = [&](int id) {
        for (int i = 0; i < 3000 && !done && std::chrono::steady_clock::now() < deadline; i++) {
            showmessage("thread %d message %d\n", LOCAL, i % 2 ? MSG_SUCCESS : MSG_FAILURE, 1, id,
                        i);
            messages++;
        }
    };
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; t++) threads.emplace_back(logger, t);

    for (int round = 0; round < 100 && std::chrono::steady_clock::now() < deadline; round++) {
        {
            TSettingsWriteLock lock;
            OWLSettings.oklogfile = round % 2 ? "ok.log" : "ok2.log";
            OWLSettings.logsuccess = round % 3 != 0;
        }
        String text;
        OWLSettings.SaveOptions(text);
        OWLSettings.LoadOptions(text);
    }
    done = true;
    for (auto& t : threads) t.join();
    EXPECT_GT(messages.load(), 0);
    // Every message reached the verbose log whole, one per line.
    std::string verbose = dir.Read("v.log");
    size_t lines = 0;
    for (char c : verbose) lines += c == '\n';
    EXPECT_EQ((long)lines, messages.load());

    OWLSettings.configfile[0] = 0;
    OWLSettings.verbose = 0;
    TSettingsWriteLock lock;
    OWLSettings.logsuccess = 0;
    OWLSettings.logfails = 0;
    OWLSettings.verboselogfile = "";
}

}  // namespace
