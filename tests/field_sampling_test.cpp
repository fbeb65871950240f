// The bilinear samplers of the transitions: exact pixels at integral
// positions, truncation, clamping to the primary field's region for both
// fields, and the arithmetic against a plain version.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "FieldSampling.h"
#include "RecordingHost.h"
#include "transition_reference.h"

namespace {

// A field whose pixel buffer is exactly width x height pixels, so that any
// read outside it shows up under the address sanitizer.
struct TestField {
    std::vector<uint8_t> pixels;
    FieldImage image{};

    TestField(int32_t w, int32_t h, uint32_t seed) : pixels(size_t(w) * size_t(h) * 4) {
        for (int32_t y = 0; y < h; ++y) {
            for (int32_t x = 0; x < w; ++x) {
                const uint32_t word = fxtest::noiseContent(int32_t(seed), 0, x, y);
                std::memcpy(&pixels[(size_t(y) * w + x) * 4], &word, 4);
            }
        }
        image.pixels = pixels.data();
        image.width = int16_t(w);
        image.height = int16_t(h);
        setRegion(0, 0, w, h);
    }
    void setRegion(int32_t l, int32_t t, int32_t w, int32_t h) {
        image.regionLeft = int16_t(l);
        image.regionTop = int16_t(t);
        image.regionWidth = int16_t(w);
        image.regionHeight = int16_t(h);
    }
    const uint8_t* at(int32_t x, int32_t y) const { return &pixels[(size_t(y) * image.width + x) * 4]; }
    fxtest::ImageCopy copy() const { return fxtest::copyOf(image); }
    void setPixel(int32_t x, int32_t y, uint32_t word) { std::memcpy(&pixels[(size_t(y) * image.width + x) * 4], &word, 4); }
};

// The context the tests bind their fields into, and samples of either field.
SamplingContext context;

bool bind(TestField& primary, TestField& secondary) {
    return bindSamplingContext(&primary.image, &secondary.image, context);
}

std::vector<uint8_t> primaryAt(double x, double y) {
    std::vector<uint8_t> out(4);
    context.primarySampler().sample(x, y, out.data());
    return out;
}

std::vector<uint8_t> secondaryAt(double x, double y) {
    std::vector<uint8_t> out(4);
    context.secondarySampler().sample(x, y, out.data());
    return out;
}

std::vector<uint8_t> bytesOf(const uint8_t* p) { return std::vector<uint8_t>(p, p + 4); }

}  // namespace

TEST(FieldSampling, IntegralPositionsReturnThePixel) {
    TestField primary(13, 7, 1), secondary(13, 7, 2);
    ASSERT_TRUE(bind(primary, secondary));
    for (int32_t y = 0; y < 7; ++y) {
        for (int32_t x = 0; x < 13; ++x) {
            EXPECT_EQ(primaryAt(x, y), bytesOf(primary.at(x, y))) << x << "," << y;
            EXPECT_EQ(secondaryAt(x, y), bytesOf(secondary.at(x, y))) << x << "," << y;
        }
    }
}

TEST(FieldSampling, TruncatesEveryByteAlike) {
    TestField primary(4, 2, 1), secondary(4, 2, 1);
    struct Case {
        uint32_t a, b;  // pixels (0, 0) and (1, 0)
        double x, y;
        uint32_t expected;
    };
    const Case cases[] = {
        {0x00000000u, 0xFFFFFFFFu, 0.5, 0.0, 0x7F7F7F7Fu},  // 127.5 truncates to 127
        {0xFFFFFFFFu, 0x00000000u, 0.5, 0.0, 0x7F7F7F7Fu},
        {0x00FF00FFu, 0xFF00FF00u, 0.25, 0.0, 0x3FBF3FBFu},  // 63.75 and 191.25
        {0x0A0A0A0Au, 0x0B0B0B0Bu, 0.999, 0.0, 0x0A0A0A0Au},
    };
    for (const Case& c : cases) {
        for (TestField* f : {&primary, &secondary}) {
            f->setPixel(0, 0, c.a);
            f->setPixel(1, 0, c.b);
            f->setPixel(0, 1, c.a);
            f->setPixel(1, 1, c.b);
        }
        ASSERT_TRUE(bind(primary, secondary));
        uint32_t p, s;
        std::memcpy(&p, primaryAt(c.x, c.y).data(), 4);
        std::memcpy(&s, secondaryAt(c.x, c.y).data(), 4);
        EXPECT_EQ(p, c.expected) << std::hex << c.a << " " << c.b;
        EXPECT_EQ(s, c.expected) << std::hex << c.a << " " << c.b;
    }
}

TEST(FieldSampling, LastColumnAndRowInterpolateWithThemselves) {
    TestField primary(9, 5, 3), secondary(9, 5, 4);
    ASSERT_TRUE(bind(primary, secondary));
    for (double f : {0.0, 0.3, 0.5, 0.99}) {
        EXPECT_EQ(primaryAt(8 + f, 2), bytesOf(primary.at(8, 2))) << f;
        EXPECT_EQ(primaryAt(3, 4 + f), bytesOf(primary.at(3, 4))) << f;
        EXPECT_EQ(secondaryAt(8 + f, 4 + f), bytesOf(secondary.at(8, 4))) << f;
    }
}

// Outside a region smaller than the field, both samplers read the region's
// nearest edge pixels; the secondary field's own region is never used.
TEST(FieldSampling, ClampsBothFieldsToThePrimaryRegion) {
    TestField primary(12, 8, 5), secondary(12, 8, 6);
    primary.setRegion(3, 2, 5, 4);   // columns 3..7, rows 2..5
    secondary.setRegion(0, 0, 1, 1);  // ignored
    ASSERT_TRUE(bind(primary, secondary));
    struct Case {
        double x, y;
        int32_t ex, ey;  // the pixel expected
    };
    const Case cases[] = {
        {0, 0, 3, 2}, {1.5, 3, 3, 3}, {11, 7, 7, 5}, {7.5, 5.5, 7, 5},
        {9.25, 2, 7, 2}, {5, 0.75, 5, 2}, {4, 6.5, 4, 5}, {3, 2, 3, 2},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(primaryAt(c.x, c.y), bytesOf(primary.at(c.ex, c.ey))) << c.x << "," << c.y;
        EXPECT_EQ(secondaryAt(c.x, c.y), bytesOf(secondary.at(c.ex, c.ey))) << c.x << "," << c.y;
    }
    EXPECT_EQ(bytesOf(context.secondarySampler().clampedPixel(-100, 100)), bytesOf(secondary.at(3, 5)));
}

// Fractional positions all over a field (region smaller than the field and
// the whole field): both samplers agree with the plain bilinear formula.
TEST(FieldSampling, MatchesThePlainFormulaEverywhere) {
    for (bool smallRegion : {false, true}) {
        TestField primary(11, 9, 7), secondary(11, 9, 8);
        if (smallRegion) primary.setRegion(2, 1, 6, 5);
        ASSERT_TRUE(bind(primary, secondary));
        const fxtest::ImageCopy geometry = primary.copy();
        for (double y = 0; y < 9; y += 0.37) {
            for (double x = 0; x < 11; x += 0.29) {
                uint8_t expected[4];
                fxref::bilinear(primary.pixels, geometry, x, y, expected);
                EXPECT_EQ(primaryAt(x, y), bytesOf(expected)) << x << "," << y;
                fxref::bilinear(secondary.pixels, geometry, x, y, expected);
                EXPECT_EQ(secondaryAt(x, y), bytesOf(expected)) << x << "," << y;
            }
        }
        // The same field bound as either field gives the same bytes.
        ASSERT_TRUE(bind(primary, primary));
        for (double t = 0; t < 8.5; t += 0.41) EXPECT_EQ(primaryAt(t * 1.2, t), secondaryAt(t * 1.2, t));
    }
}

// A region reaching past the field is cut to it, so that no fetch leaves the
// pixel buffer; a region without a pixel in the field leaves nothing to sample.
TEST(FieldSampling, RegionsOutsideTheFieldStayInsideTheBuffer) {
    struct Case {
        int32_t l, t, w, h;
        bool usable;
    };
    const Case cases[] = {
        {-5, -3, 40, 30, true}, {6, 4, 100, 100, true}, {-20, 0, 10, 6, false},
        {0, 0, 0, 6, false},    {0, 0, 8, -1, false},   {8, 0, 5, 5, false},
        {-30000, -30000, 32767, 32767, true}, {-32768, -32768, 32767, 32767, false},
    };
    for (const Case& c : cases) {
        TestField primary(8, 6, 9), secondary(8, 6, 10);
        primary.setRegion(c.l, c.t, c.w, c.h);
        EXPECT_EQ(bind(primary, secondary), c.usable) << c.l << "," << c.t;
        if (!c.usable) continue;
        for (double y : {0.0, 2.5, 5.9}) {
            for (double x : {0.0, 3.3, 7.99}) {
                primaryAt(x, y);  // read inside the buffer (checked by the sanitizer build)
                secondaryAt(x, y);
            }
        }
        EXPECT_EQ(primaryAt(7.5, 5.5), bytesOf(primary.at(7, 5)));
    }
    TestField empty(0, 4, 1), other(0, 4, 2);
    EXPECT_FALSE(bind(empty, other));
}

// The four bytes are interpolated together; each must equal the one-byte
// formula, including at the extremes 0 and 255 and fractions close to 1.
TEST(FieldSampling, AllFourBytesAgreeWithTheOneByteFormula) {
    TestField field(2, 2, 11);
    uint32_t state = 12345;
    auto next = [&state] { return state = state * 1103515245u + 12345u; };
    const uint8_t extremes[] = {0, 1, 127, 128, 254, 255};
    for (int n = 0; n < 4000; ++n) {
        for (uint8_t& byte : field.pixels) {
            const uint32_t r = next() >> 8;
            byte = (r & 1) ? extremes[(r >> 1) % 6] : uint8_t(r >> 4);
        }
        const double fx = n % 7 == 0 ? 0.9999999999 : (next() >> 8) / 16777216.0;
        const double fy = n % 5 == 0 ? 0.9999999999 : (next() >> 8) / 16777216.0;
        ASSERT_TRUE(bind(field, field));
        const std::vector<uint8_t> got = primaryAt(fx, fy);
        for (int i = 0; i < 4; ++i) {
            const uint8_t want = FieldSampler::interpolate(field.at(0, 0)[i], field.at(1, 0)[i],
                                                           field.at(0, 1)[i], field.at(1, 1)[i], fx, fy);
            ASSERT_EQ(got[i], want) << "byte " << i << " fx " << fx << " fy " << fy;
        }
    }
}
