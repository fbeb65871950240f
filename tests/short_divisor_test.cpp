// The single-multiply division of window sums, checked for every count it
// serves and every sum a window of bytes can have.
#include <gtest/gtest.h>

#include "ShortDivisor.h"

TEST(ShortDivisor, ExactForEveryCountAndSum) {
    for (int64_t d = 2; d <= 129; ++d) {
        const ShortDivisor div = shortDivisor(d);
        ASSERT_NE(div.magic, 0) << d;
        for (uint32_t v = 0; v <= 255u * d; ++v) {
            ASSERT_EQ(divideShort(static_cast<uint16_t>(v), div), v / d) << "v=" << v << " d=" << d;
        }
    }
}

TEST(ShortDivisor, NoneOutsideItsCounts) {
    for (int64_t d : {-1, 0, 1, 130, 256, 1000}) EXPECT_EQ(shortDivisor(d).magic, 0) << d;
}
