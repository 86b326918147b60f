// The formatting ring: texts stay intact until the ring wraps over them, and
// texts longer than the ring are never cut or written past its end.
#include <gtest/gtest.h>

#include <string>

#include "init/fmt.h"

TEST(Fmt, ConsecutiveTextsStayValidUntilWrapped) {
    const char* a = fmt("alpha %d", 1);
    const char* b = fmt("beta %s", "two");
    EXPECT_STREQ(a, "alpha 1");
    EXPECT_STREQ(b, "beta two");
    EXPECT_NE(a, b);
}

TEST(Fmt, RingWrapsAndLongTextsAreWhole) {
    std::string big(5000, 'x');
    const char* prev = nullptr;
    for (int i = 0; i < 20; ++i) {
        const char* t = fmt("%s%d", big.c_str(), i);
        ASSERT_EQ(std::string(t), big + std::to_string(i));
        if (prev) {
            EXPECT_NE(prev, t);
        }
        prev = t;
    }
    std::string huge(100000, 'y');
    const char* h1 = fmt("<%s>", huge.c_str());
    const char* h2 = fmt("[%s]", huge.c_str());
    const char* small = fmt("%d", 42);
    EXPECT_EQ(std::string(h1), "<" + huge + ">");
    EXPECT_EQ(std::string(h2), "[" + huge + "]");
    EXPECT_STREQ(small, "42");
    // A text just under the ring size after the ring is partly used.
    std::string edge(kFmtRingSize - 1, 'z');
    fmt("%s", "warm");
    EXPECT_EQ(std::string(fmt("%s", edge.c_str())), edge);
    std::string over(kFmtRingSize, 'w');
    EXPECT_EQ(std::string(fmt("%s", over.c_str())), over);
}
