// Limelight: the lit luma across the spot and its rim, the fade with the
// field's own luma, the lower-field line offset, and what it must leave alone.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <vector>

#include "Bytes.h"
#include "Golden.h"
#include "effect_fixture.h"

using namespace fxtest;

namespace {

struct Settings {
    int32_t size = 50, softness = 10, x = 100, y = 50, percent = 50;
    int16_t pixelAspect = 1000;
    uint8_t flags = 0;
};

// The lit picture and the fade, pixel by pixel and in two passes, written
// straight from the formulas; the operator must match it byte for byte.
std::vector<uint8_t> plainLimelight(const ImageCopy& in, const Settings& s, int32_t length, int32_t position) {
    const int32_t W = in.width, H = in.height;
    std::vector<uint8_t> lit = in.pixels;
    const int32_t R = H * s.size / 100;
    const int32_t Rin = ((100 - s.softness) * R) / 100;
    const int32_t Ry = R * 1000 / s.pixelAspect;
    const int32_t cx = in.regionLeft + s.x, cy = in.regionTop + s.y;
    const int32_t x0 = cx - R, x1 = x0 + 4 * R - 1, y0 = cy - Ry / 2, y1 = y0 + 2 * Ry - 1;
    const int32_t p = (s.flags >> 1) & 1;
    for (int32_t i = 0; i < H; ++i) {
        for (int32_t j = 0; j < W; ++j) {
            uint8_t& luma = lit[(size_t(i) * W + j) * 4 + 3];
            const float M = luma;
            float N;
            if (j < x0 || j > x1 || i < y0 || i > y1) {
                N = M * 0.5f;
            } else {
                const int32_t dx = j - cx;
                const int32_t dy = ((2 * i - 2 * y0 - Ry) * s.pixelAspect) / 1000 + p;
                const float fx = float(dx), fy = float(dy);
                const float D = float(std::sqrt(double(fx * fx + fy * fy)));
                if (D <= float(Rin)) {
                    N = M;
                } else if (D <= float(R)) {
                    const float V = ((D - float(Rin)) * 255) / float(R - Rin);
                    N = ((255 - V) * M + (M * 0.5f) * V) / 255;
                } else {
                    N = M * 0.5f;
                }
            }
            if (N > 240) N = 240; else if (N < 16) N = 16;
            luma = uint8_t(N);
        }
    }
    const int32_t F = int32_t((uint32_t(length) * uint32_t(s.percent)) / 100u) / 2;
    const int32_t S = position < F ? position * 255 / F : length - position < F ? (length - position) * 255 / F : 255;
    for (size_t k = 0; k < lit.size(); ++k) lit[k] = uint8_t((lit[k] * S + in.pixels[k] * (255 - S)) / 255);
    return lit;
}


// Content that does not change with the position, so that renders at
// different positions see the same pixels.
uint32_t stillNoise(int32_t, int32_t, int32_t x, int32_t y) { return noiseContent(0, 0, x, y); }

class LimelightTest : public EffectTest {
protected:
    LimelightTest() : EffectTest("Limelight") {}

    void apply(const Settings& s) {
        op.slider(1)->value = s.size;
        op.slider(2)->value = s.softness;
        op.point(3)->pairs[2] = PointPair{int16_t(s.x), int16_t(s.y)};
        op.slider(4)->value = s.percent;
    }
    const ImageCopy& render(const Settings& s, uint32_t length, uint32_t position) {
        apply(s);
        OperatorRequest request = makeRequest(CMD_RENDER, length, position, s.flags);
        request.pixelAspect = s.pixelAspect;
        host.clearRecords();
        EXPECT_EQ(host.call(op.action(), request), 0);
        EXPECT_TRUE(host.violations().empty()) << host.violations().front();
        return host.lastOutput();
    }
    void uniformLuma(int32_t w, int32_t h, uint8_t luma) {
        host.input(0).setSize(w, h);
        host.input(0).content = [luma](int32_t, int32_t, int32_t, int32_t) {
            return 0x00806040u | uint32_t(luma) << 24;
        };
    }
};

}  // namespace

// Initial settings, H = 288: R = 144, Rin = 129, Ry = 144; the centre row is
// row 50 (dy = 0), the centre column 100. Position 50 of 100 has S = 255.
TEST_F(LimelightTest, LitLumaAlongTheCentreRow) {
    struct Case { uint8_t m; int32_t dx; uint8_t n; };
    const Case cases[] = {{200, 0, 200},   {200, 130, 193}, {200, 136, 153}, {200, 144, 100},
                          {200, 145, 100}, {250, 0, 240},   {20, 200, 16}};
    for (const Case& c : cases) {
        uniformLuma(360, 288, c.m);
        const ImageCopy& out = render(Settings{}, 100, 50);
        EXPECT_EQ(out.byte(100 + c.dx, 50, 3), c.n) << "M " << int(c.m) << " dx " << c.dx;
        EXPECT_EQ(out.pixel(100 + c.dx, 50) & 0xFFFFFF, 0x806040u);
    }
}

TEST_F(LimelightTest, FadeBlendsTheLitLumaWithTheFieldsOwn) {
    host.input(0).setSize(121, 64);
    host.input(0).content = stillNoise;
    const Settings s{20, 30, 50, 20};
    const ImageCopy lit = render(s, 100, 50);  // S = 255
    const ImageCopy in = host.servedField(0, 0);
    struct Case { uint32_t position; uint32_t strength; };
    for (const Case c : {Case{0, 0}, {1, 10}, {5, 51}, {24, 244}, {25, 255}, {75, 255}, {76, 244}, {99, 10}}) {
        const ImageCopy& out = render(s, 100, c.position);
        for (size_t k = 0; k < in.pixels.size(); ++k) {
            const uint32_t expected = k % 4 == 3 ? (lit.pixels[k] * c.strength + in.pixels[k] * (255 - c.strength)) / 255
                                                 : in.pixels[k];
            ASSERT_EQ(out.pixels[k], expected) << "position " << c.position << " byte " << k;
        }
    }
}

TEST_F(LimelightTest, HardEdgeWithoutSoftness) {
    uniformLuma(360, 288, 200);
    Settings s;
    s.softness = 0;
    s.x = 150;
    const ImageCopy& out = render(s, 100, 50);
    EXPECT_EQ(out.byte(150 + 144, 50, 3), 200);
    EXPECT_EQ(out.byte(150 - 144, 50, 3), 200);
    EXPECT_EQ(out.byte(150 + 145, 50, 3), 100);
    EXPECT_EQ(out.byte(150 - 145, 50, 3), 100);
    EXPECT_EQ(out.byte(150, 50 + 72, 3), 200);  // dy = 144
    EXPECT_EQ(out.byte(150, 50 + 73, 3), 100);
}

// No lit pixel: every luma is halved and limited, whatever lies where.
TEST_F(LimelightTest, EmptyOrDistantBoxHalvesEveryPixel) {
    struct Case { int32_t h; Settings s; };
    const Case cases[] = {
        {64, {1, 10, 10, 10}},                     // R = 0
        {64, {50, 10, 10, 10, 50, 32767}},         // Ry = 32000 / 32767 = 0
        {64, {50, 10, 10, 10, 50, -1000}},         // Ry < 0
        {64, {50, 10, -30000, 10}},                // centre far to the left
        {64, {50, 10, 10, 32767}},                 // far below
        {64, {-70, 10, 10, 10}},                   // negative radius
    };
    for (const Case& c : cases) {
        host.input(0).setSize(33, c.h);
        host.input(0).content = stillNoise;
        const ImageCopy& out = render(c.s, 100, 50);
        const ImageCopy in = host.servedField(0, 0);
        for (size_t k = 3; k < in.pixels.size(); k += 4) {
            ASSERT_EQ(out.pixels[k], std::max(in.pixels[k] / 2, 16)) << "spotSize " << c.s.size << " pixel " << k / 4;
        }
    }
}

// With lines as tall as half a pixel width dy = (i - cy) + p, so the lower
// field shows row i + 1 of the upper one at row i.
TEST_F(LimelightTest, LowerFieldMovesTheSpotByOneLine) {
    uniformLuma(97, 60, 200);
    Settings s{40, 30, 40, 25, 50, 500};
    const ImageCopy upper = render(s, 100, 50);
    s.flags = FLAG_LOWER_FIELD;
    const ImageCopy& lower = render(s, 100, 50);
    EXPECT_NE(lower.pixels, upper.pixels);
    for (int32_t i = 0; i + 1 < 60; ++i) {
        for (int32_t j = 0; j < 97; ++j) ASSERT_EQ(lower.byte(j, i, 3), upper.byte(j, i + 1, 3)) << j << "," << i;
    }
}

TEST_F(LimelightTest, MatchesThePlainFormulasAtOddSizes) {
    struct Case { int32_t w, h, left, top; Settings s; uint32_t position; };
    const Case cases[] = {
        {37, 23, 0, 0, {50, 10, 18, 11}, 50},
        {101, 57, 3, 2, {99, 50, 40, 30, 50, 900, FLAG_LOWER_FIELD}, 50},
        {101, 57, 0, 0, {30, 0, 90, 50, 50, 1100}, 13},
        {63, 41, 5, 1, {75, 25, -10, -5, 40, 1000, FLAG_LOWER_FIELD}, 97},
        {721, 288, 0, 0, {50, 10, 100, 50}, 50},
        {53, 31, 0, 0, {60, 100, -8, 12}, 50},                         // Rin = 0, centre off the left
        {53, 31, 0, 0, {60, -20, 26, 15}, 50},                         // Rin > R
        {53, 31, 0, 0, {60, 20, 60, 40}, 50},                          // centre off the corner
        {53, 31, 0, 0, {300, 35, 26, 15, 50, 1500, FLAG_LOWER_FIELD}, 50},  // R > H
        {45, 33, 0, 0, {50, 10, 22, 16, 50, 1}, 50},                   // very flat lines
        {45, 33, 0, 0, {50, 10, 22, 16, 50, -900}, 50},                // negative aspect: no box
    };
    for (const Case& c : cases) {
        host.input(0).setSize(c.w, c.h);
        host.input(0).setRegion(c.left, c.top, -1, -1);
        host.input(0).content = noiseContent;
        const ImageCopy& out = render(c.s, 100, c.position);
        const std::vector<uint8_t> expected = plainLimelight(host.servedField(0, c.position), c.s, 100, c.position);
        ASSERT_EQ(out.pixels.size(), expected.size());
        EXPECT_EQ(std::memcmp(out.pixels.data(), expected.data(), expected.size()), 0) << c.w << "x" << c.h;
    }
}

// Set FIELDFX_PRINT_GOLDEN=1 to print the checksums after a deliberate change.
TEST_F(LimelightTest, GoldenChecksums) {
    struct Case { Settings s; uint32_t position; uint64_t checksum; };
    const Case cases[] = {
        {{}, 50, 0x8cb138d1eac13c2bull},
        {{}, 10, 0xa59ee5fa73605e31ull},
        {{80, 40, 300, 100, 50, 1094, FLAG_LOWER_FIELD}, 60, 0x1f812a8cef5a39cfull},
    };
    host.input(0).setSize(720, 288);
    for (const Case& c : cases) expectGolden(fnv1a(render(c.s, 100, c.position).pixels), c.checksum, c.position);
}

// The field is released and the scratch image handed back; each failure
// names its own line.
TEST_F(LimelightTest, RenderCallsAndFailurePaths) {
    host.input(0).setSize(8, 4);
    render(Settings{}, 10, 3);
    expectFieldAndScratchCalls(true);
    expectFailurePaths(0x0B7E0000u, 10, 3);
}

// Requests and settings outside the contract: no crash, no overflow, nothing
// outside the image touched (checked by the sanitizer build), and one image
// handed back. A pixel aspect of 0 is taken as square pixels.
TEST_F(LimelightTest, HazardousRequestsStaySafe) {
    host.input(0).setSize(45, 30);
    host.input(0).content = stillNoise;
    Settings square;
    const std::vector<uint8_t> squareOut = render(square, 100, 50).pixels;
    Settings zeroAspect;
    zeroAspect.pixelAspect = 0;
    EXPECT_EQ(render(zeroAspect, 100, 50).pixels, squareOut);

    const Settings settings[] = {
        {INT32_MAX, INT32_MIN, 32767, 32767, 100},   {INT32_MAX, INT32_MAX, -32768, -32768, 100},
        {INT32_MIN, -1000000000, 0, 0, -7},           {1000000, 100, 20, 20, 1000, -32768},
        {99, 150, 20, 20, 0, 1},                      {99, -300, 20, 20, 50, 32767, FLAG_LOWER_FIELD},
    };
    for (const Settings& s : settings) {
        for (uint32_t position : {0u, 99u, 100u, 250u, 0x80000000u}) {
            EXPECT_EQ(render(s, 100, position).pixels.size(), 45u * 30 * 4);
        }
    }
    for (auto [l, t, w, h] : {std::array{-20, -20, 100, 100}, {40, 25, 100, 100}, {200, 5, 3, 3}}) {
        host.input(0).setRegion(l, t, w, h);
        render(Settings{}, 100, 50);
    }
    expectEmptyFieldsHandedBack([&] {
        apply(Settings{});
        return host.render(op.action(), 100, 50);
    });
}
