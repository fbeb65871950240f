// Blur: the window it picks, the kernel it runs, the mix with the field, the
// images it hands back, and what it does with settings and fields a host
// should not send.
#include <gtest/gtest.h>

#include <climits>
#include <vector>

#include "BoxBlur.h"
#include "FadeStrength.h"
#include "window_fixture.h"

using namespace fxtest;

namespace {

// The output Blur must give for `field`: the kernel of `direction` on bytes
// 1..3 into an opaque black scratch image, then every byte mixed by s.
std::vector<uint8_t> expectedBlur(const ImageCopy& field, int32_t r, int32_t direction, uint32_t s) {
    std::vector<uint8_t> scratch(field.pixels.size());
    for (size_t i = 0; i < scratch.size(); i += 4) {
        scratch[i] = 0xFF;
        scratch[i + 1] = 0x80;
        scratch[i + 2] = 0x80;
        scratch[i + 3] = 0x10;
    }
    auto both = [](const uint8_t* src, uint8_t* dst, int32_t w, int32_t h, int32_t window, int32_t channel) {
        BlurBoth(src, dst, w, h, window, channel);
    };
    auto kernel = direction == 0 ? BlurHorizontal : direction == 1 ? BlurVertical : +both;
    if (direction >= 0 && direction <= 2) {
        for (int c = 1; c <= 3; ++c) {
            kernel(field.pixels.data(), scratch.data(), field.width, field.height, r, c);
        }
    }
    for (size_t i = 0; i < scratch.size(); ++i) {
        scratch[i] = uint8_t((scratch[i] * s + field.pixels[i] * (255 - s)) / 255);
    }
    return scratch;
}

class BlurTest : public WindowEffectTest {
protected:
    BlurTest() : WindowEffectTest("Blur", expectedBlur) {}
};

}  // namespace

// FADE_IN over 0 percent is full strength, so the kernel's output shows.
TEST_F(BlurTest, WindowLengthFromSizeAndScale) {
    struct Case {
        int32_t size;
        bool scaled;
        int16_t num, den;
        int32_t r;
    };
    const Case cases[] = {
        {5, false, 1, 4, 20}, {25, false, 1, 4, 100}, {1, false, 1, 4, 4},
        {5, true, 1, 2, 10},  {1, true, 1, 4, 2},     {3, true, 2, 3, 8},
        {7, true, 3, 2, 42},  {2, true, -1, 3, 2},    {5, true, 7, -3, 2},
    };
    for (const Case& c : cases) {
        set(c.size, 2, 0, 0);
        if (c.scaled) {
            ASSERT_EQ(renderScaled(10, 3, c.num, c.den), 0);
        } else {
            ASSERT_EQ(host.render(op.action(), 10, 3), 0);
        }
        expectOutput(c.r, 2, 255, 3, "window table");
    }
}

TEST_F(BlurTest, EachDirectionRunsItsKernel) {
    for (int32_t direction : {0, 1, 2, 3, 17, -1, INT_MIN}) {
        set(4, direction, 0, 0);
        ASSERT_EQ(host.render(op.action(), 10, 2), 0);
        expectOutput(16, direction, 255, 2, "direction");
    }
}

// Initial settings, run of 100: the first field comes back as fetched, the
// fade-in blends, and from position 50 on the blur is at full strength.
TEST_F(BlurTest, InitialSettingsOverTheRun) {
    EXPECT_EQ(op.slider(1)->value, 5);
    EXPECT_EQ(op.choice(2)->value, 2);
    for (uint32_t position : {0u, 1u, 17u, 49u, 50u, 99u}) {
        ASSERT_EQ(host.render(op.action(), 100, position), 0);
        const uint32_t s = position >= 50 ? 255 : position * 255 / 50;
        if (position == 0) {
            EXPECT_EQ(host.lastOutput().pixels, host.servedField(0, 0).pixels);
        }
        expectOutput(20, 2, s, position, "initial settings");
    }
}

// At full strength byte 0 is the scratch image's (opaque), not the field's.
TEST_F(BlurTest, FullStrengthKeyComesFromTheScratchImage) {
    set(1, 0, 0, 0);
    host.input(0).content = [](int32_t, int32_t, int32_t x, int32_t y) {
        return 0x00000000u | uint32_t((x * 7 + y) & 0xFF) << 24;
    };
    ASSERT_EQ(host.render(op.action(), 10, 4), 0);
    const ImageCopy& out = host.lastOutput();
    for (size_t i = 0; i < out.pixels.size(); i += 4) ASSERT_EQ(out.pixels[i], 0xFF);
}

TEST_F(BlurTest, HandsBackTheScratchImageAfterFreeingTheField) {
    expectScratchImageHandedBack(-42);
    EXPECT_EQ(host.calls()[0].args[0], 0);
    EXPECT_EQ(host.calls()[0].args[1], 60);
}

TEST_F(BlurTest, EachFailedHostCallLogsItsOwnLine) {
    // The field fetched first is neither handed back nor released.
    expectFailurePaths(0x0B7A0000u, 10, 1);
}

// Exact output for a spread of settings, pinned as checksums. Run with
// FIELDFX_PRINT_GOLDEN=1 to print the table afresh.
TEST_F(BlurTest, GoldenFields) {
    expectGoldenFields({
        {5, 2, 50, 0, 100, 30, 0x122b767016bcffedull},
        {5, 2, 50, 0, 100, 70, 0x04870f87255332a8ull},
        {3, 0, 100, 1, 20, 15, 0xdff73145d52a3e19ull},
        {7, 1, 60, 2, 40, 3, 0x3c3a18684677f4feull},
        {2, 2, 80, 3, 30, 7, 0x9bf1da45998beba4ull},
        {25, 2, 0, 0, 10, 9, 0xf1d776cb4576ca63ull},
    });
}

// Windows below 2, huge sizes, fields smaller than the window, empty and
// negative geometry, out-of-range fade settings: the output stays the
// kernel's clipped result, nothing outside the images is touched (ASan
// build) and every image leaves exactly once.
TEST_F(BlurTest, HazardousSettingsAndFields) {
    struct Case {
        int32_t size, percent, mode;
        int32_t r;
    };
    const Case cases[] = {
        {0, 0, 0, 0},  {-3, 0, 0, -12}, {INT_MAX, 0, 0, INT_MAX}, {INT_MIN, 0, 0, INT_MIN},
        {30, 0, 0, 120}, {5, -40, 1, 20}, {5, INT_MAX, 2, 20}, {5, 50, INT_MIN, 20},
    };
    for (auto [w, h] : {std::pair{1, 1}, {2, 9}, {9, 2}, {20, 3}, {101, 51}}) {
        host.input(0).setSize(w, h);
        for (const Case& c : cases) {
            for (int32_t direction : {0, 1, 2}) {
                set(c.size, direction, c.percent, c.mode);
                for (uint32_t position : {0u, 5u, 12u, 0xFFFFFFFFu}) {
                    ASSERT_EQ(host.render(op.action(), 10, position), 0);
                    const int32_t length = 10, pos = int32_t(position);
                    const int32_t s = FadeStrength(c.mode, c.percent, length, pos);
                    ASSERT_GE(s, 0);
                    ASSERT_LE(s, 255);
                    expectOutput(c.r, direction, uint32_t(s), position, "hazard");
                }
            }
        }
    }
    // Scaled windows from a zero or extreme scale.
    host.input(0).setSize(30, 12);
    set(INT_MAX, 2, 0, 0);
    ASSERT_EQ(renderScaled(10, 1, 1, 0), 0);
    expectOutput(INT_MAX, 2, 255, 1, "scaleDen 0");
    ASSERT_EQ(renderScaled(10, 1, INT16_MIN, -1), 0);
    expectOutput(INT_MAX, 2, 255, 1, "huge scaled");
    ASSERT_EQ(renderScaled(10, 1, INT16_MIN, 1), 0);
    expectOutput(2, 2, 255, 1, "negative scaled");

    expectEmptyFieldsHandedBack();
}
