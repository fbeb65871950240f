// The strength envelope and the exact division of the strength mix.
#include <gtest/gtest.h>

#include <vector>

#include "FadeStrength.h"
#include "OperatorSupport.h"

TEST(Div255, ExactForEveryMixSumAndBeyond) {
    for (uint32_t x = 0; x <= 66298; ++x) ASSERT_EQ(div255(x), x / 255) << x;
}

TEST(MixByStrength, EndpointsAreExact) {
    for (uint32_t p = 0; p < 256; p += 5) {
        for (uint32_t u = 0; u < 256; u += 3) {
            EXPECT_EQ(mixByStrength(p, u, 255), p);
            EXPECT_EQ(mixByStrength(p, u, 0), u);
        }
    }
}

TEST(FadeStrength, CoursesOverARun) {
    struct Case {
        int32_t length, percent, mode;
        std::vector<int32_t> strengths;
    };
    auto run = [](std::vector<int32_t> head, int32_t fill, int count, std::vector<int32_t> tail) {
        head.insert(head.end(), count, fill);
        head.insert(head.end(), tail.begin(), tail.end());
        return head;
    };
    const Case cases[] = {
        {10, 100, FADE_IN, {0, 25, 51, 76, 102, 127, 153, 178, 204, 229}},
        {10, 100, FADE_OUT, {255, 229, 204, 178, 153, 127, 102, 76, 51, 25}},
        {10, 100, FADE_IN_OUT, {0, 51, 102, 153, 204, 255, 204, 153, 102, 51}},
        {10, 100, FADE_OUT_IN, {255, 204, 153, 102, 51, 0, 51, 102, 153, 204}},
        {20, 50, FADE_IN, run({0, 25, 51, 76, 102, 127, 153, 178, 204, 229}, 255, 10, {})},
        {20, 50, FADE_OUT, run({}, 255, 11, {229, 204, 178, 153, 127, 102, 76, 51, 25})},
        {20, 50, FADE_IN_OUT, run({0, 51, 102, 153, 204}, 255, 11, {204, 153, 102, 51})},
        {20, 50, FADE_OUT_IN, run({255, 204, 153, 102, 51}, 0, 11, {51, 102, 153, 204})},
        {8, 50, FADE_OUT_IN, {255, 128, 0, 0, 0, 0, 0, 128}},
        {5, 0, FADE_IN, {255, 255, 255, 255, 255}},
        {5, 0, FADE_OUT, {255, 255, 255, 255, 255}},
        {5, 0, FADE_IN_OUT, {255, 255, 255, 255, 255}},
        {5, 0, FADE_OUT_IN, {0, 0, 0, 0, 0}},
        {3, 50, FADE_IN, {0, 255, 255}},
        {3, 50, FADE_IN_OUT, {255, 255, 255}},
        {3, 50, FADE_OUT_IN, {0, 0, 0}},
        {4, 100, 4, {0, 0, 0, 0}},
        {4, 100, -1, {0, 0, 0, 0}},
    };
    for (const Case& c : cases) {
        for (int32_t pos = 0; pos < c.length; ++pos) {
            EXPECT_EQ(FadeStrength(c.mode, c.percent, c.length, pos), c.strengths[pos])
                << "mode " << c.mode << " length " << c.length << " percent " << c.percent
                << " position " << pos;
        }
    }
}

// Whatever a host writes, the strength stays in 0..255 and nothing divides by
// zero or overflows (the sanitizer build checks the latter).
TEST(FadeStrength, HostileInputsStayInRange) {
    const int32_t values[] = {INT32_MIN, -1000, -1, 0, 1, 2, 99, 100, 101, 1000, 1 << 24, INT32_MAX};
    for (int32_t mode = -1; mode <= 4; ++mode) {
        for (int32_t percent : values) {
            for (int32_t length : values) {
                for (int32_t position : values) {
                    const int32_t s = FadeStrength(mode, percent, length, position);
                    ASSERT_GE(s, 0);
                    ASSERT_LE(s, 255);
                }
            }
        }
    }
    EXPECT_EQ(FadeStrength(FADE_OUT, 0, 10, 15), 255) << "no ramp: full strength even past the end";
    EXPECT_EQ(FadeStrength(FADE_OUT, 100, 10, 15), 0) << "past the end of a falling ramp";
}

TEST(InOutStrength, ScaleOf1024) {
    // length 100, 25 percent: half ramp 12
    const int32_t half = fadeRampLength(100, 25) / 2;
    EXPECT_EQ(half, 12);
    const int32_t expected[][2] = {{0, 0}, {1, 85}, {11, 938}, {12, 1024}, {88, 1024}, {89, 938}, {99, 85}};
    for (const auto& [pos, s] : expected) EXPECT_EQ(inOutStrength(100, pos, half, 1024), s) << pos;
}
