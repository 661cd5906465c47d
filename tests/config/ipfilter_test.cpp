#include "config/ipfilter.h"

#include <arpa/inet.h>
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
        {"192.168.1.50", "192.168.1.51-192.168.1.100", 0, ""},
        {"192.168.1.100", "192.168.1.1-192.168.1.100", 1, ""},
        {"127.0.0.1", "10.0.0.1,127.0.0.1", 1, ""},
        {"127.0.0.1", "abc,127.0.0.1", 1, "Illegal character (a) specified"},
        {"10.0.0.2", "10.0.0.1, 10.0.0.2", 1, "Illegal character ( ) specified"},
        {"10.0.0.2", "10.0.0.1 10.0.0.2", 0, "Invalid IP address (10.0.0.110.0.0.2) specified"},
        {"127.0.0.1", "300.1.1.1,127.0.0.1", 0, "Invalid IP address (300.1.1.1) specified"},
        {"127.0.0.1", "300.1.1.1 ,127.0.0.1", 0, "Invalid IP address (300.1.1.1) specified"},
        {"127.0.0.1", "127.0.0.1-999.0.0.0", 1, "Invalid IP address (999.0.0.0) specified"},
        {"127.0.0.2", "127.0.0.1-999.0.0.0", 0, "Invalid IP address (999.0.0.0) specified"},
        {"127.0.0.1", "0.0.0.0,127.0.0.1", 0, ""},
        {"127.0.0.1", "255.255.255.255,127.0.0.1", 0,
         "Invalid IP address (255.255.255.255) specified"},
        {"127.0.0.1", "127.1", 1, ""},
        {"8.0.0.1", "010.0.0.1", 1, ""},
        {"127.0.0.1", "127.0.0.1-", 1, ""},
        {"10.0.0.9", "10.0.0.1-10.0.0.5-10.0.0.9", 1, ""},
        {"10.0.0.7", "10.0.0.1-10.0.0.5-10.0.0.9", 0, ""},
        {"10.0.0.1", "10.0.0.1-,10.0.0.2", 1, "Invalid IP address () specified"},
        {"127.0.0.1", ",,-.", 0, ""},
        {"not an address", "127.0.0.1", 0, "previous"},  // err is left alone
    };
    for (const auto& c : cases) {
        String err("previous");
        EXPECT_EQ(IPAllowed(c.peer, String(c.list), err), c.allowed) << c.peer << " in " << c.list;
        EXPECT_EQ(Str(err), c.err) << c.peer << " in " << c.list;
        // The network-order form gives the same answer.
        EXPECT_EQ(IPAllowed((unsigned int)inet_addr(c.peer), String(c.list), err), c.allowed);
    }
    String err;
    EXPECT_EQ(IPAllowed(static_cast<const char*>(nullptr), String("127.0.0.1"), err), 0);
    for (int c = 0; c < 256; c++)
        EXPECT_EQ(islistsetchar((char)c),
                  (c >= '0' && c <= '9') || c == '.' || c == '-' || c == ',');
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
        int result = IPAllowed((unsigned int)rng(), list, err);
        EXPECT_TRUE(result == 0 || result == 1);
        std::string text = Str(err);
        bool known = text.empty() || ((text.rfind("Invalid IP address (", 0) == 0 ||
                                       text.rfind("Illegal character (", 0) == 0) &&
                                      text.substr(text.size() - 11) == ") specified");
        EXPECT_TRUE(known) << text;
    }
}

TEST(ConnectionFilter, MatchesWholeItemsOnly) {
    String list("\r\n10.0.0.12\r\n10.0.0.1-10.0.0.9\r\n192.168.0.7\r\n");
    const struct {
        const char* peer;
        int found;
    } cases[] = {
        {"10.0.0.12", 1}, {"10.0.0.1", 0},     {"0.0.1", 0},
        {"", 0},          {"192.168.0.70", 0}, {"10.0.0.12\r\n192.168.0.7", 0},
    };
    for (const auto& c : cases) EXPECT_EQ(FilterListHolds(list, c.peer), c.found) << c.peer;
    EXPECT_EQ(FilterListHolds(list, nullptr), 0);
    EXPECT_EQ(FilterListHolds(String("\r\n"), "10.0.0.1"), 0);
}

}  // namespace
