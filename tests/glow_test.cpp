// Glow: the brightened luma, the bytes it passes through or sets, the images
// it hands back, and what it does with settings and fields a host should not
// send.
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <tuple>
#include <vector>

#include "BoxBlur.h"
#include "FadeStrength.h"
#include "window_fixture.h"

using namespace fxtest;

namespace {

// The output Glow must give for `field`: byte 3 blurred into an opaque black
// scratch image, then per pixel key 255, colour differences from the field,
// and the brightness mixed toward Y + (gain + 1) * B held to 0..240.
std::vector<uint8_t> expectedGlow(const ImageCopy& field, int32_t r, int32_t gain, uint32_t s) {
    std::vector<uint8_t> out(field.pixels.size());
    for (size_t i = 0; i < out.size(); i += 4) out[i + 3] = 0x10;
    BlurBoth(field.pixels.data(), out.data(), field.width, field.height, r, 3);
    for (size_t i = 0; i < out.size(); i += 4) {
        const int64_t y = field.pixels[i + 3];
        const int64_t t = std::clamp<int64_t>(y + (int64_t{gain} + 1) * out[i + 3], 0, 240);
        out[i] = 255;
        out[i + 1] = field.pixels[i + 1];
        out[i + 2] = field.pixels[i + 2];
        out[i + 3] = uint8_t((y * (255 - s) + t * s) / 255);
    }
    return out;
}

// Run settings that give a chosen strength: {length, position, percent, mode}.
struct Strength {
    uint32_t length, position;
    int32_t percent, mode;
};
Strength strengthOf(int s) {
    switch (s) {
    case 255: return {10, 3, 0, FADE_IN};
    case 128: return {8, 1, 50, FADE_OUT_IN};
    case 51:  return {10, 1, 100, FADE_IN_OUT};
    default:  return {10, 0, 100, FADE_IN};  // 0
    }
}

class GlowTest : public WindowEffectTest {
protected:
    GlowTest() : WindowEffectTest("Glow", expectedGlow) {}
};

uint32_t lumaPixel(int y) { return 0x00456700u | uint32_t(y) << 24 | 0x21u; }

}  // namespace

// The worked brightness values. Uniform fields blur to themselves (B = Y);
// the row with B below Y uses a field of 60 with one pixel of 120 whose
// window mean is still 60 (a 0 above it, r = 4).
TEST_F(GlowTest, WorkedBrightnessValues) {
    struct Case {
        int y, b, gain, s, out;
    };
    const Case cases[] = {
        {100, 100, 0, 255, 200}, {100, 100, 0, 128, 150}, {100, 100, 1, 128, 170},
        {200, 200, 0, 255, 240}, {16, 16, 1, 255, 48},    {120, 60, 1, 51, 144},
        {77, 77, 1, 0, 77},      {235, 235, 0, 255, 240},
    };
    host.input(0).setSize(16, 8);
    for (const Case& c : cases) {
        if (c.y == c.b) {
            host.input(0).content = [y = c.y](int32_t, int32_t, int32_t, int32_t) { return lumaPixel(y); };
        } else {
            host.input(0).content = [](int32_t, int32_t, int32_t x, int32_t y) {
                return lumaPixel(x == 8 && y == 4 ? 120 : x == 8 && y == 3 ? 0 : 60);
            };
        }
        const Strength st = strengthOf(c.s);
        set(1, c.gain, st.percent, st.mode);
        ASSERT_EQ(host.render(op.action(), st.length, st.position), 0);
        const uint32_t px = host.lastOutput().pixel(8, 4);
        EXPECT_EQ(int(px >> 24), c.out) << "Y " << c.y << " B " << c.b << " S " << c.s;
        EXPECT_EQ(px & 0x00FFFFFFu, 0x004567FFu);
        host.clearRecords();
    }
}

TEST_F(GlowTest, EveryPixelFollowsTheFormula) {
    for (int32_t gain : {0, 1}) {
        for (int s : {0, 51, 128, 255}) {
            for (int32_t size : {1, 2, 5}) {
                const Strength st = strengthOf(s);
                set(size, gain, st.percent, st.mode);
                ASSERT_EQ(host.render(op.action(), st.length, st.position), 0);
                expectOutput(4 * size, gain, uint32_t(s), st.position, "formula");
            }
        }
    }
}

// S = 0 leaves bytes 1..3 as fetched; byte 0 is 255 whatever the field held.
TEST_F(GlowTest, ZeroStrengthReturnsTheFieldWithAnOpaqueKey) {
    ASSERT_EQ(host.render(op.action(), 100, 0), 0);  // initial settings, FADE_IN
    const ImageCopy in = host.servedField(0, 0);
    std::vector<uint8_t> want = in.pixels;
    for (size_t i = 0; i < want.size(); i += 4) want[i] = 255;
    EXPECT_TRUE(host.lastOutput().pixels == want);
}

TEST_F(GlowTest, ScaledWindow) {
    for (auto [size, num, den, r] : {std::tuple{5, 1, 2, 10}, {1, 1, 4, 2}, {3, 2, 3, 8}}) {
        set(size, 0, 0, FADE_IN);
        ASSERT_EQ(renderScaled(10, 2, int16_t(num), int16_t(den)), 0);
        expectOutput(r, 0, 255, 2, "scaled");
    }
}

TEST_F(GlowTest, HandsBackTheScratchImageAfterFreeingTheField) {
    expectScratchImageHandedBack(7);
}

TEST_F(GlowTest, EachFailedHostCallLogsItsOwnLine) {
    expectFailurePaths(0x0B7D0000u, 10, 1);
}

// Exact output for a spread of settings, pinned as checksums. Run with
// FIELDFX_PRINT_GOLDEN=1 to print the table afresh.
TEST_F(GlowTest, GoldenFields) {
    expectGoldenFields({
        {5, 0, 50, 0, 100, 30, 0xa11a6dde0f88b705ull},
        {5, 1, 50, 0, 100, 70, 0xe89d0060538064a2ull},
        {3, 0, 100, 1, 20, 15, 0x362428cf2dc712d6ull},
        {7, 1, 60, 2, 40, 3, 0x02d51fdce278a78full},
        {2, 0, 80, 3, 30, 7, 0x90d1bda104fcbec1ull},
        {25, 1, 0, 0, 10, 9, 0x8f6a69783e4c0659ull},
    });
}

// Gains far outside 0..1 (negative ones push T below 0, which is held at 0),
// windows below 2 or beyond the field, out-of-range fades and positions,
// tiny and empty fields: exact clipped results, no access outside the
// images (ASan build), every image leaves once.
TEST_F(GlowTest, HazardousSettingsAndFields) {
    struct Case {
        int32_t size, gain, percent, mode;
    };
    const Case cases[] = {
        {0, 0, 0, 0},       {-2, 1, 0, 0},          {INT_MAX, 0, 0, 0},   {INT_MIN, 1, 0, 0},
        {5, INT_MAX, 0, 0}, {5, INT_MIN, 50, 2},    {5, -1, 0, 0},        {5, -3, 100, 1},
        {5, 300, 0, 0},     {5, -300, 30, 3},       {5, 0, INT_MIN, 1},   {5, 1, 50, 99},
    };
    for (auto [w, h] : {std::pair{1, 1}, {2, 9}, {9, 2}, {25, 4}}) {
        host.input(0).setSize(w, h);
        for (const Case& c : cases) {
            set(c.size, c.gain, c.percent, c.mode);
            for (uint32_t position : {0u, 6u, 11u, 0x80000000u}) {
                ASSERT_EQ(host.render(op.action(), 10, position), 0);
                const int32_t s = FadeStrength(c.mode, c.percent, 10, int32_t(position));
                ASSERT_GE(s, 0);
                ASSERT_LE(s, 255);
                const int64_t r = std::clamp<int64_t>(int64_t{4} * c.size, INT_MIN, INT_MAX);
                expectOutput(int32_t(r), c.gain, uint32_t(s), position, "hazard");
            }
        }
    }
    expectEmptyFieldsHandedBack();
}
