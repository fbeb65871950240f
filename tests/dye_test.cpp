// Dye: the strength course over a run, the per-pixel blend, and what it must
// leave alone.
#include <gtest/gtest.h>

#include <vector>

#include "effect_fixture.h"

using namespace fxtest;

namespace {

class DyeTest : public EffectTest {
protected:
    DyeTest() : EffectTest("Dye") {}
    void setPercent(int32_t p) { op.slider(2)->value = p; }
    void setColor(uint8_t c1, uint8_t c2) {
        op.color(1)->color[1] = c1;
        op.color(1)->color[2] = c2;
    }
    // Renders one field whose every pixel is `pixel` and returns the output's
    // first pixel.
    uint32_t renderPixel(uint32_t pixel, uint32_t length, uint32_t position) {
        host.input(0).content = [pixel](int32_t, int32_t, int32_t, int32_t) { return pixel; };
        EXPECT_EQ(host.render(op.action(), length, position), 0);
        return host.lastOutput().pixel(0, 0);
    }
    // The strength this field got, read back from a pixel with byte 1 = 0
    // blended toward 255: (255 * S) / 255 = S.
    int strengthAt(uint32_t length, uint32_t position) {
        setColor(255, 0);
        return int(renderPixel(0x10000000u, length, position) >> 8 & 0xFF);
    }
};

}  // namespace

TEST_F(DyeTest, StrengthFollowsTheFadeCourse) {
    struct Case {
        uint32_t length;
        int32_t percent;
        std::vector<int> strengths;
    };
    std::vector<int> long_run;
    for (int s : {0, 21, 42, 63, 85, 106, 127, 148, 170, 191, 212, 233}) long_run.push_back(s);
    for (int i = 12; i <= 88; ++i) long_run.push_back(255);
    for (int s : {233, 212, 191, 170, 148, 127, 106, 85, 63, 42, 21}) long_run.push_back(s);
    const Case cases[] = {
        {10, 100, {0, 51, 102, 153, 204, 255, 204, 153, 102, 51}},
        {100, 25, long_run},
        {7, 0, {255, 255, 255, 255, 255, 255, 255}},
        {2, 100, {0, 255}},
        {3, 100, {0, 255, 255}},
    };
    for (const Case& c : cases) {
        setPercent(c.percent);
        for (uint32_t pos = 0; pos < c.length; ++pos) {
            EXPECT_EQ(strengthAt(c.length, pos), c.strengths[pos])
                << "length " << c.length << " percent " << c.percent << " position " << pos;
        }
    }
    EXPECT_TRUE(host.violations().empty());
}

TEST_F(DyeTest, BlendsBytesOneAndTwoOnly) {
    setPercent(100);  // length 10: S = 51 at position 1
    setColor(16, 240);
    // byte 1: (100 * 204 + 16 * 51) / 255 = 83; byte 2: (7 * 204 + 240 * 51) / 255 = 53
    const uint32_t out = renderPixel(0xAB076433u, 10, 1);
    EXPECT_EQ(out & 0xFF, 0x33u);
    EXPECT_EQ(out >> 8 & 0xFF, 83u);
    EXPECT_EQ(out >> 16 & 0xFF, 53u);
    EXPECT_EQ(out >> 24, 0xABu);
}

TEST_F(DyeTest, EveryPixelMatchesTheBlendFormula) {
    host.input(0).setSize(37, 5);  // odd width, scrambled content
    setColor(0x10, 0xA6);
    setPercent(25);
    ASSERT_EQ(host.render(op.action(), 100, 5), 0);  // S = 106
    const ImageCopy in = host.servedField(0, 5);
    const ImageCopy& out = host.lastOutput();
    for (size_t i = 0; i < in.pixels.size(); i += 4) {
        EXPECT_EQ(out.pixels[i], in.pixels[i]);
        EXPECT_EQ(out.pixels[i + 1], (in.pixels[i + 1] * 149 + 0x10 * 106) / 255);
        EXPECT_EQ(out.pixels[i + 2], (in.pixels[i + 2] * 149 + 0xA6 * 106) / 255);
        EXPECT_EQ(out.pixels[i + 3], in.pixels[i + 3]);
    }
}

TEST_F(DyeTest, FirstFieldUnchangedAndFullTintWithoutFade) {
    host.input(0).setSize(9, 3);
    ASSERT_EQ(host.render(op.action(), 100, 0), 0);
    EXPECT_EQ(host.lastOutput().pixels, host.servedField(0, 0).pixels);

    setPercent(0);
    ASSERT_EQ(host.render(op.action(), 100, 0), 0);
    const ImageCopy in = host.servedField(0, 0);
    const ImageCopy& out = host.lastOutput();
    for (size_t i = 0; i < in.pixels.size(); i += 4) {
        EXPECT_EQ(out.pixels[i + 1], 0x10);
        EXPECT_EQ(out.pixels[i + 2], 0xA6);
        EXPECT_EQ(out.pixels[i + 3], in.pixels[i + 3]);
    }
}

TEST_F(DyeTest, ValueWrittenBetweenRendersIsUsedByTheNext) {
    setPercent(0);
    setColor(200, 200);
    EXPECT_EQ(renderPixel(0xFF808010u, 10, 5) >> 8 & 0xFFFF, 200u * 257);
    setColor(30, 40);
    EXPECT_EQ(renderPixel(0xFF808010u, 10, 5) >> 8 & 0xFFFF, 30u + 40u * 256);
}

TEST_F(DyeTest, DegenerateFieldsComeBackUnchanged) {
    expectEmptyFieldsHandedBack();
}

// Positions outside the run and percentages outside 0..100: strength stays in
// 0..255 without dividing by zero or overflowing (checked by the sanitizer build).
TEST_F(DyeTest, OutOfContractRequestsStayInRange) {
    struct Case {
        uint32_t length, position;
        int32_t percent;
        int expected;
    };
    const Case cases[] = {
        {10, 10, 0, 255},            // position == length, no ramp
        {10, 25, 0, 255},            // beyond the run, no ramp: full strength
        {10, 25, 100, 0},            // beyond the run inside the fade-out: held at 0
        {0, 0, 100, 255},
        {100, 5, -50, 0},            // negative percent: a huge unsigned product, a long ramp
        {100, 5, 1000, 2},           // F = 500: 5 * 255 / 500
        {0x7FFFFFFF, 0x7FFFFFFE, 100, 0},
        {0x7FFFFFFF, 100000000, 100, 255},
        {0x7FFFFFFF, 0x80000000, 100, 0},   // negative as a signed position
        {0xFFFFFFFF, 3, 100, 0},            // negative length: a long ramp, still in range
    };
    for (const Case& c : cases) {
        setPercent(c.percent);
        EXPECT_EQ(strengthAt(c.length, c.position), c.expected)
            << "length " << c.length << " position " << c.position << " percent " << c.percent;
    }
    EXPECT_TRUE(host.violations().empty());
}

// The blend in 16-bit lanes against the formula for every byte value, at
// strengths from 1 to 255 and tint colours at both ends, on a field whose
// size leaves a few pixels past the last whole block of the vector loop.
TEST_F(DyeTest, EveryByteValueAtEveryStrength) {
    host.input(0).setSize(65, 4);  // 260 pixels: byte values 0..255 and then some
    host.input(0).content = [](int32_t, int32_t, int32_t x, int32_t y) {
        const uint32_t v = uint32_t(y * 65 + x) & 0xFF;
        return v * 0x01u | v << 8 | (255 - v) << 16 | (v ^ 0x5A) << 24;
    };
    struct Colour {
        uint8_t c1, c2;
    };
    setPercent(0);
    for (const Colour& colour : {Colour{0, 255}, Colour{255, 0}, Colour{0x10, 0xA6}, Colour{128, 127}}) {
        setColor(colour.c1, colour.c2);
        // length 255 with percent 100: F = 127, so positions 1..126 give
        // S = position * 255 / 127, and with percent 0 S = 255.
        for (uint32_t position = 1; position < 127; position += 5) {
            setPercent(100);
            ASSERT_EQ(host.render(op.action(), 255, position), 0);
            const uint32_t s = position * 255 / 127;
            const ImageCopy in = host.servedField(0, int32_t(position));
            const ImageCopy& out = host.lastOutput();
            for (size_t i = 0; i < in.pixels.size(); i += 4) {
                ASSERT_EQ(out.pixels[i], in.pixels[i]);
                ASSERT_EQ(out.pixels[i + 1], (in.pixels[i + 1] * (255 - s) + colour.c1 * s) / 255)
                    << "S " << s << " byte " << int(in.pixels[i + 1]);
                ASSERT_EQ(out.pixels[i + 2], (in.pixels[i + 2] * (255 - s) + colour.c2 * s) / 255)
                    << "S " << s << " byte " << int(in.pixels[i + 2]);
                ASSERT_EQ(out.pixels[i + 3], in.pixels[i + 3]);
            }
            host.clearRecords();
        }
        setPercent(0);
        ASSERT_EQ(host.render(op.action(), 255, 40), 0);
        const ImageCopy& out = host.lastOutput();
        for (size_t i = 0; i < out.pixels.size(); i += 4) {
            ASSERT_EQ(out.pixels[i + 1], colour.c1);
            ASSERT_EQ(out.pixels[i + 2], colour.c2);
        }
        host.clearRecords();
    }
}
