#include "config/ipfilter.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

#include "support/agent.h"

namespace {

using namespace std::string_literals;

TEST(IPAllowed, AddressLists) {
    const struct {
        const char *peer, *list;
        int allowed;
        const char* err;
    } cases[] = {
        {"192.168.1.50", "192.168.1.1-192.168.1.100", 1, ""},
        {"192.168.1.50", "192.168.1.100-192.168.1.1", 1, ""},
        {"192.168.1.100", "192.168.1.1-192.168.1.100", 1, ""},
        {"127.0.0.1", "10.0.0.1,127.0.0.1", 1, ""},
        {"127.0.0.1", "abc,127.0.0.1", 1, "Illegal character (a) specified"},
        {"10.0.0.2", "10.0.0.1, 10.0.0.2", 1, "Illegal character ( ) specified"},
        {"10.0.0.2", "10.0.0.1 10.0.0.2", 0, "Invalid IP address (10.0.0.110.0.0.2) specified"},
        {"127.0.0.1", "300.1.1.1,127.0.0.1", 0, "Invalid IP address (300.1.1.1) specified"},
        {"127.0.0.1", "127.0.0.1-999.0.0.0", 1, "Invalid IP address (999.0.0.0) specified"},
        {"127.0.0.1", "0.0.0.0,127.0.0.1", 0, ""},
        {"127.0.0.1", "255.255.255.255,127.0.0.1", 0,
         "Invalid IP address (255.255.255.255) specified"},
        {"8.0.0.1", "010.0.0.1", 1, ""},
        {"127.0.0.1", "127.0.0.1-", 1, ""},
        {"10.0.0.9", "10.0.0.1-10.0.0.5-10.0.0.9", 1, ""},
        {"10.0.0.1", "10.0.0.1-,10.0.0.2", 1, "Invalid IP address () specified"},
        {"127.0.0.1", ",,-.", 0, ""},
        {"not an address", "127.0.0.1", 0, "previous"},  // err is left alone
    };
    for (const auto& c : cases) {
        String err("previous");
        EXPECT_EQ(IPAllowed(c.peer, String(c.list), err), c.allowed) << c.peer << " in " << c.list;
        EXPECT_EQ(Str(err), c.err) << c.peer << " in " << c.list;
    }
    String err;
    EXPECT_EQ(IPAllowed(static_cast<const char*>(nullptr), String("127.0.0.1"), err), 0);
}

// An item that does not convert (here: with a zero byte, which the list
// check above drops) is reported and left in the list.
TEST(IPAllowed, GetItemStopsAtAnInvalidItem) {
    unsigned int first, last;
    String err;
    String bad = Bytes("1\0002,5.5.5.5"s);
    getitem(bad, first, last, err);
    EXPECT_EQ(first, 0u);
    EXPECT_EQ(Str(err), "Invalid IP address (1\0002) specified"s);
    EXPECT_EQ(Str(bad), "1\0002,5.5.5.5"s);
}

TEST(IPAllowed, RandomListsNeverCrash) {
    std::mt19937 rng(4242);
    const char listChars[] = "0123456789.-,";
    for (int round = 0; round < 3000; round++) {
        String list;
        for (int i = rng() % 120; i > 0; i--)
            list.AddChar(rng() % 4 ? listChars[rng() % 13] : (char)(rng() % 256));
        String err;
        IPAllowed((unsigned int)rng(), list, err);
        std::string text = Str(err);
        bool known = text.empty() || ((text.rfind("Invalid IP address (", 0) == 0 ||
                                       text.rfind("Illegal character (", 0) == 0) &&
                                      text.substr(text.size() - 11) == ") specified");
        EXPECT_TRUE(known) << text;
    }
}

// Only whole items match (the agent's connection-filter test admits a
// listed peer): not a part of an item, a range's start or several items.
TEST(ConnectionFilter, MatchesWholeItemsOnly) {
    String list("\r\n10.0.0.12\r\n10.0.0.1-10.0.0.9\r\n192.168.0.7\r\n");
    for (const char* peer : {"10.0.0.1", "0.0.1", "", "192.168.0.70", "10.0.0.12\r\n192.168.0.7"})
        EXPECT_EQ(FilterListHolds(list, peer), 0) << peer;
    EXPECT_EQ(FilterListHolds(list, nullptr), 0);
}

}  // namespace
