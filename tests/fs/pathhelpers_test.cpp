#include <gtest/gtest.h>
#include <pthread.h>
#include <time.h>

#include <set>
#include <string>
#include <thread>
#include <vector>

#include "fs/filesearch.h"
#include "support/agent.h"

namespace {

TEST(PathHelpers, SplitAndJoin) {
    struct {
        const char* in;
        const char* include;
        const char* exclude;
        const char* path;
        const char* name;
    } cases[] = {
        {"", "/", "", "", ""},
        {"/", "/", "", "/", ""},
        {"name", "name/", "name", "", "name"},
        {"/a/b", "/a/b/", "/a/b", "/a/", "b"},
        {"/a/b/", "/a/b/", "/a/b", "/a/b/", ""},
        {"/a//", "/a//", "/a/", "/a//", ""},
        {"a/b.c/d", "a/b.c/d/", "a/b.c/d", "a/b.c/", "d"},
    };
    for (const auto& c : cases) {
        String in(c.in);
        EXPECT_EQ(Str(IncludeTrailingPathDelimiter(in)), c.include) << c.in;
        EXPECT_EQ(Str(ExcludeTrailingPathDelimiter(in)), c.exclude) << c.in;
        EXPECT_EQ(Str(ExtractFilePath(in)), c.path) << c.in;
        EXPECT_EQ(Str(ExtractFileName(in)), c.name) << c.in;
    }
}

TEST(PathHelpers, DelimiterPositions) {
    String s("/a/b.c");
    EXPECT_EQ(IsPathDelimiter(s, 1), 1);
    EXPECT_EQ(IsPathDelimiter(s, 2), 0);
    EXPECT_EQ(IsPathDelimiter(s, 0), 0);
    EXPECT_EQ(IsPathDelimiter(s, 7), 0);
    EXPECT_EQ(IsPathDelimiter(String(), 1), 0);

    EXPECT_EQ(LastDelimiter("/.", s), 5);
    EXPECT_EQ(LastDelimiter("/", s), 3);
    EXPECT_EQ(LastDelimiter("x", s), 0);
    EXPECT_EQ(LastDelimiter("", s), 0);
    EXPECT_EQ(LastDelimiter(nullptr, s), 0);
    EXPECT_EQ(LastDelimiter("/", String()), 0);
    String withZero;
    withZero.AddData("/a\0b", 4);
    EXPECT_EQ(LastDelimiter("/", withZero), 1);  // the zero byte is no delimiter
}

TEST(PathHelpers, OddBytesAndLongNames) {
    String high("/\xff\x80/\x01");
    EXPECT_EQ(Str(ExtractFilePath(high)), "/\xff\x80/");
    EXPECT_EQ(Str(ExtractFileName(high)), "\x01");

    std::string longName(5000, 'x');
    String longPath(("/dir/" + longName).c_str());
    EXPECT_EQ(Str(ExtractFileName(longPath)), std::string(4095, 'x'));
    EXPECT_EQ(Str(ExtractFilePath(longPath)), "/dir/");
}

TEST(TimeHelpers, MinutesTruncateTowardZero) {
    EXPECT_EQ(sec2min(-1), 0);
    EXPECT_EQ(sec2min(59), 0);
    EXPECT_EQ(sec2min(60), 1);
    EXPECT_EQ(sec2min(-61), -1);
    long before = (long)(time(nullptr) / 60);
    long now = now_min();
    long after = (long)(time(nullptr) / 60);
    EXPECT_GE(now, before);
    EXPECT_LE(now, after);
}

TEST(ThreadId, DistinctForConcurrentThreadsAndStableWithinOne) {
    EXPECT_EQ(GetUniqueThreadID(), GetUniqueThreadID());
    const int kThreads = 16;
    std::vector<long> ids(kThreads);
    pthread_barrier_t barrier;
    pthread_barrier_init(&barrier, nullptr, kThreads);
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; i++) {
        threads.emplace_back([&, i] {
            ids[i] = GetUniqueThreadID();
            pthread_barrier_wait(&barrier);  // all alive at once
        });
    }
    for (auto& t : threads) t.join();
    pthread_barrier_destroy(&barrier);
    std::set<long> distinct(ids.begin(), ids.end());
    EXPECT_EQ(distinct.size(), (size_t)kThreads);
}

}  // namespace
