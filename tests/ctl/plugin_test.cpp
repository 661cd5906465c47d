// check_owl's ranges and verdict, as the plugin guidelines define them.
#include "ctl/plugin.h"

#include <gtest/gtest.h>

namespace {

// Each range with values and whether they alert ('!') or not ('.');
// "x" marks a malformed range.
TEST(Range, GuidelineExamples) {
    const struct {
        const char* range;
        std::vector<double> values;
        const char* alerts;
    } cases[] = {
        {"10", {-1, 0, 10, 10.5}, "!..!"},
        {"10:", {9.99, 10, 1e12}, "!.."},
        {"~:10", {-1e12, 10, 10.01}, "..!"},
        {"10:20", {9, 10, 20, 21}, "!..!"},
        {"@10:20", {9, 10, 20, 21}, ".!!."},
        {"-5:-1", {-6, -5, -1, 0}, "!..!"},
        {"@-1.5:2.5", {-1.6, -1.5, 0, 2.5, 2.6}, ".!!!."},
        {"0.5", {0.49, 0.5, 0.51}, "..!"},
        {":10", {-1, 0, 10, 11}, "!..!"},
        {"~:", {-1e12, 1e12}, ".."},
        {"@0", {0, 1}, "!."},
        {"+1:+2", {1, 3}, ".!"},
    };
    for (const auto& c : cases) {
        Range r;
        ASSERT_TRUE(ParseRange(c.range, &r)) << c.range;
        for (size_t i = 0; i < c.values.size(); i++)
            EXPECT_EQ(RangeAlerts(r, c.values[i]), c.alerts[i] == '!')
                << c.range << " at " << c.values[i];
    }
    Range r;
    for (const char* bad : {"", "@", ":", "~", "~10", "abc", "10:5", "1e3", "--1", "1:2:3",
                            "10..20", "1.2.3", " 10", "inf", "0x10", "@~", "10:~", "-"})
        EXPECT_FALSE(ParseRange(bad, &r)) << bad;
}

TEST(Range, VerdictScaleAndPerfdata) {
    Thresholds t;
    ASSERT_TRUE(ParseRange("10", &t.warn) && ParseRange("20", &t.crit));
    t.hasWarn = t.hasCrit = true;
    EXPECT_EQ(Verdict(t, 5), PLUGIN_OK);
    EXPECT_EQ(Verdict(t, 15), PLUGIN_WARNING);
    EXPECT_EQ(Verdict(t, 25), PLUGIN_CRITICAL);  // critical wins
    t.hasWarn = false;
    EXPECT_EQ(Verdict(t, 15), PLUGIN_OK);
    EXPECT_EQ(Verdict(Thresholds(), -1e9), PLUGIN_OK);
    const std::pair<const char*, const char*> scaled[] = {{"10:", "10240:"},
                                                          {"@1:2", "@1024:2048"},
                                                          {"~:1.5", "~:1536"},
                                                          {"5", "5120"},
                                                          {"0:", "0:"}};
    for (const auto& s : scaled) {
        Range r;
        ASSERT_TRUE(ParseRange(s.first, &r));
        EXPECT_EQ(ScaleRange(r, 1024).text, s.second);
    }
    EXPECT_EQ(FormatPerf({"it's", 0.12345, "s", "1", "", "0", ""}), "'it''s'=0.1235s;1;;0");
    EXPECT_EQ(FormatPerf({"n", 3e12, "B", "", "", "", ""}), "'n'=3000000000000B");
}

}  // namespace
