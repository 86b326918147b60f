// Option tables, band lists and number lists of the applications.
#include <gtest/gtest.h>

#include <vector>

#include "apps/options.h"

namespace {

std::vector<int> bands(const char* text) {
    int b[16];
    int n = parseBandDef(text, b, 16);
    if (n < 0) return {-1};
    return std::vector<int>(b, b + n);
}

TEST(Options, ParseConfig) {
    OptionTable t[] = {{"-in", nullptr}, {"-out", nullptr}, {nullptr, nullptr}};
    const char* argv[] = {"-in", "a", "-out", "b", "-in", "c", "-x"};
    EXPECT_EQ(parseConfig(t, 7, argv), 2);
    EXPECT_STREQ(t[0].value, "a");
    EXPECT_STREQ(t[1].value, "b");
    EXPECT_EQ(parseConfig(t, 0, argv), 0);
    EXPECT_EQ(t[0].value, nullptr);
    EXPECT_EQ(stricmp("stats", "STATS"), 0);
    EXPECT_LT(stricmp(nullptr, "a"), 0);
    EXPECT_EQ(stricmp(nullptr, nullptr), 0);
}

TEST(Options, BandDefinitions) {
    EXPECT_EQ(bands("3"), std::vector<int>({3}));
    EXPECT_EQ(bands("2-2"), std::vector<int>({2}));
    EXPECT_EQ(bands("1,,2"), std::vector<int>({1, 1}));
    EXPECT_EQ(bands("1x"), std::vector<int>({-1}));
    EXPECT_EQ(bands("5-8,2"), std::vector<int>({5, 6, 7, 8, 2}));
    EXPECT_EQ(bands("8-5"), std::vector<int>({8, 7, 6, 5}));
    EXPECT_EQ(bands("x"), std::vector<int>({-1}));
    int small[2];
    EXPECT_EQ(parseBandDef("1-5", small, 2), -1);
}

TEST(Options, BandMappings) {
    int in[kMaxBands], out[kMaxBands];
    ASSERT_EQ(parseBandsDef(in, out, 16, "1-3:4-6"), 3);
    EXPECT_EQ(out[2], 6);
    EXPECT_EQ(parseBandsDef(in, out, 16, "1-3:4"), 0);
    ASSERT_EQ(parseBands(3, 5, in, out, nullptr), 3);
    EXPECT_EQ(in[2], 2);
    EXPECT_EQ(out[2], 2);
    EXPECT_EQ(parseBands(3, 5, in, out, "4:1"), 0);
    ASSERT_EQ(parseBands(3, 5, in, out, "1:5;2-3:1-2"), 3);
    EXPECT_EQ(out[0], 4);
    EXPECT_EQ(in[2], 2);
}

TEST(Options, NumberLists) {
    float f[2];
    EXPECT_EQ(passFloats("1.5,2,3", f, 2), 3);
    EXPECT_EQ(f[0], 1.5f);
    EXPECT_EQ(f[1], 2.0f);
    long l[4];
    EXPECT_EQ(passLongs("7,-2", l, 4), 2);
    EXPECT_EQ(l[1], -2);
    EXPECT_EQ(passLongs(nullptr, l, 4), 0);
}

}  // namespace
