// Underwater: the strength course, the source columns and rows of the two
// waves, the reduced size, and that nothing outside the valid region moves.
#include <gtest/gtest.h>

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
    int32_t count = 5, amplitude = 10, speed = 15, percent = 25;
    uint8_t flags = 0;
    int16_t scaleNum = 1, scaleDen = 1;
};

// Both passes pixel by pixel, every offset worked out afresh for every pixel
// straight from the formulas, with the strength S given.
std::vector<uint8_t> plainUnderwater(const ImageCopy& in, const Settings& s, uint32_t position, int32_t S) {
    const int32_t Wr = in.regionWidth, Hr = in.regionHeight;
    const double n = s.count;
    double A = s.amplitude, v = s.speed * 0.25;
    if (s.flags & 1) {
        v = v * 0.5;
        A = double(s.scaleNum * s.amplitude) / s.scaleDen;
    }
    const double t = position;
    auto at = [&](std::vector<uint8_t>& img, int32_t r, int32_t c) {
        return &img[((size_t(in.regionTop) + r) * in.width + in.regionLeft + c) * 4];
    };
    std::vector<uint8_t> field = in.pixels, scratch(in.pixels.size());
    for (int32_t r = 0; r < Hr; ++r) {
        for (int32_t c = 0; c < Wr; ++c) {
            const double phi = ((t * v + c) * 3.141592654 * n) / Wr;
            int32_t sc = c + int32_t(std::sin(phi) * A * 2 * S / 1024);
            sc = sc < 0 ? 0 : sc >= Wr ? Wr - 1 : sc;
            std::memcpy(at(scratch, r, c), at(field, r, sc), 4);
        }
    }
    for (int32_t r = 0; r < Hr; ++r) {
        for (int32_t c = 0; c < Wr; ++c) {
            const double psi = ((t * v + r) * 1.570796327 * n) / Hr;
            int32_t sr = r + int32_t(std::cos(psi) * A * S / 1024);
            sr = sr < 0 ? 0 : sr >= Hr ? Hr - 1 : sr;
            std::memcpy(at(field, r, c), at(scratch, sr, c), 4);
        }
    }
    return field;
}


// Every pixel names its own column (low half) and row (high half).
uint32_t coordinates(int32_t, int32_t, int32_t x, int32_t y) { return uint32_t(x) | uint32_t(y) << 16; }

// A field size, its region, settings, position and the strength expected there.
struct RegionCase { int32_t w, h, left, top, rw, rh; Settings s; uint32_t position; int32_t strength; };

class UnderwaterTest : public EffectTest {
protected:
    UnderwaterTest() : EffectTest("Underwater") {}

    void apply(const Settings& s) { op.setValues({s.count, s.amplitude, s.speed, s.percent}); }
    const ImageCopy& render(const Settings& s, uint32_t length, uint32_t position) {
        apply(s);
        OperatorRequest request = makeRequest(CMD_RENDER, length, position, s.flags);
        request.scaleNum = s.scaleNum;
        request.scaleDen = s.scaleDen;
        host.clearRecords();
        EXPECT_EQ(host.call(op.action(), request), 0);
        EXPECT_TRUE(host.violations().empty()) << host.violations().front();
        return host.lastOutput();
    }

    // Renders a field of c.w x c.h with the given region and compares every
    // byte with the plain two-pass version; returns the field served.
    ImageCopy rendersAsPlain(const RegionCase& c) {
        host.input(0).setSize(c.w, c.h);
        host.input(0).setRegion(c.left, c.top, c.rw, c.rh);
        const ImageCopy& out = render(c.s, 100, c.position);
        ImageCopy in = host.servedField(0, c.position);
        const std::vector<uint8_t> expected = plainUnderwater(in, c.s, c.position, c.strength);
        EXPECT_EQ(out.pixels.size(), expected.size());
        if (out.pixels.size() == expected.size()) {
            EXPECT_EQ(std::memcmp(out.pixels.data(), expected.data(), expected.size()), 0)
                << c.w << "x" << c.h << " position " << c.position;
        }
        return in;
    }
};

}  // namespace

// Initial settings, length 100: F = 12.
TEST_F(UnderwaterTest, StrengthFollowsTheFadeCourse) {
    host.input(0).setSize(97, 41);
    struct Case { uint32_t position; int32_t strength; };
    for (const Case c : {Case{0, 0}, {1, 85}, {11, 938}, {12, 1024}, {50, 1024}, {88, 1024}, {89, 938}, {99, 85}}) {
        const ImageCopy& out = render(Settings{}, 100, c.position);
        const ImageCopy in = host.servedField(0, c.position);
        EXPECT_EQ(out.pixels, plainUnderwater(in, Settings{}, c.position, c.strength)) << "position " << c.position;
        if (c.strength == 0) {
            EXPECT_EQ(out.pixels, in.pixels);
        }
    }
}

TEST_F(UnderwaterTest, SourceColumnsAndRowsAtPosition50) {
    host.input(0).setSize(720, 288);
    host.input(0).content = coordinates;
    const ImageCopy& out = render(Settings{}, 100, 50);
    const std::array<std::pair<int, int>, 6> columns{{{0, 0}, {100, 100}, {200, 216}, {360, 349}, {500, 513}, {719, 719}}};
    const std::array<std::pair<int, int>, 6> rows{{{0, 3}, {10, 16}, {50, 59}, {100, 100}, {144, 135}, {287, 287}}};
    for (auto [r, sr] : rows) {
        for (auto [c, sc] : columns) {
            EXPECT_EQ(out.pixel(c, r), coordinates(0, 0, sc, sr)) << "column " << c << " row " << r;
        }
    }
}

TEST_F(UnderwaterTest, MatchesThePlainFormulasOverTheRegionOnly) {
    const RegionCase cases[] = {
        {37, 23, 0, 0, -1, -1, {}, 50, 1024},
        {64, 40, 7, 5, 33, 21, {3, 20, 30, 0}, 50, 1024},
        {64, 40, 7, 5, 33, 21, {10, 20, 1, 100}, 3, 61},              // F = 50: 3 * 1024 / 50
        {101, 57, 0, 0, -1, -1, {}, 50, 1024},
        {101, 57, 0, 0, -1, -1, {5, 10, 15, 25, FLAG_REDUCED_SIZE, 1, 2}, 50, 1024},
        {101, 57, 2, 3, 90, 50, {7, 13, 9, 0, FLAG_REDUCED_SIZE, 3, 4}, 77, 1024},
        {721, 288, 0, 0, -1, -1, {}, 40, 1024},
    };
    for (const RegionCase& c : cases) {
        const ImageCopy in = rendersAsPlain(c);
        const ImageCopy& out = host.lastOutput();
        ASSERT_EQ(out.pixels.size(), in.pixels.size());
        EXPECT_NE(out.pixels, in.pixels);
        for (int32_t y = 0; y < c.h; ++y) {  // outside the region nothing moves
            for (int32_t x = 0; x < c.w; ++x) {
                const bool inside = x >= in.regionLeft && x < in.regionLeft + in.regionWidth &&
                                    y >= in.regionTop && y < in.regionTop + in.regionHeight;
                if (!inside) {
                    ASSERT_EQ(out.pixel(x, y), in.pixel(x, y)) << x << "," << y;
                }
            }
        }
    }
}

// The render gathers each row straight from the original of its source row,
// saving in the scratch image only the rows it overwrites before their last
// use. Cases where rows read from above, from below, from themselves and from
// far outside the region (clamped), at odd widths and in thin regions.
TEST_F(UnderwaterTest, OnePassMatchesBothPassesWhereverRowsComeFrom) {
    const RegionCase cases[] = {
        {33, 29, 0, 0, -1, -1, {1, 20, 0, 0}, 0, 1024},                          // every row from below
        {33, 29, 0, 0, -1, -1, {2, 20, 0, 0}, 0, 1024},                          // from below, then above
        {33, 29, 0, 0, -1, -1, {10, 20, 7, 0}, 61, 1024},                        // short waves
        {47, 31, 3, 2, 41, 27, {6, 20, 3, 0, FLAG_REDUCED_SIZE, 9, 2}, 17, 1024}, // shifts beyond the region
        {1, 19, 0, 0, -1, -1, {3, 20, 5, 0}, 11, 1024},                          // one column
        {45, 1, 0, 0, -1, -1, {3, 20, 5, 0}, 11, 1024},                          // one row
        {59, 37, 5, 4, 1, 30, {4, 20, 9, 0}, 23, 1024},                          // one-column region
        // Gentle waves whose source rows never decrease (no row saved), and
        // widths around the blocks moved by loads and permutes (four pixels
        // from within eight, eight from within sixteen), with sources close
        // together and spread wide.
        {4, 120, 0, 0, -1, -1, {1, 5, 3, 0}, 9, 1024},
        {9, 160, 0, 0, -1, -1, {5, 10, 15, 25}, 12, 1024},
        {15, 150, 1, 3, 14, 140, {1, 20, 4, 0}, 44, 1024},
        {16, 90, 0, 0, -1, -1, {10, 20, 30, 0}, 5, 1024},
        {17, 200, 0, 0, -1, -1, {2, 10, 15, 0}, 30, 1024},
        {24, 80, 0, 0, -1, -1, {1, 3, 2, 0}, 50, 1024},
        {43, 64, 0, 0, -1, -1, {10, 20, 1, 0, FLAG_REDUCED_SIZE, 9, 2}, 70, 1024},
        {31, 70, 0, 0, -1, -1, {3, 6, 5, 0}, 21, 1024},
        {32, 70, 0, 0, -1, -1, {2, 4, 5, 0}, 8, 1024},
        {65, 50, 0, 0, -1, -1, {7, 20, 9, 0}, 33, 1024},   // some blocks spread wide
        {97, 40, 1, 1, 95, 38, {1, 2, 3, 0}, 60, 1024},
    };
    for (const RegionCase& c : cases) rendersAsPlain(c);
}

// Set FIELDFX_PRINT_GOLDEN=1 to print the checksums after a deliberate change.
TEST_F(UnderwaterTest, GoldenChecksums) {
    struct Case { Settings s; uint32_t position; uint64_t checksum; };
    const Case cases[] = {
        {{}, 50, 0xacedf470da6e7ecaull},
        {{}, 93, 0x4e3a49a3014b4bb2ull},
        {{9, 17, 29, 0, FLAG_REDUCED_SIZE, 2, 3}, 1234, 0x8809a8dd83f90bc1ull},
    };
    host.input(0).setSize(720, 288);
    host.input(0).setRegion(4, 2, 710, 284);
    for (const Case& c : cases) expectGolden(fnv1a(render(c.s, 100, c.position).pixels), c.checksum, c.position);
}

// The scratch image is released and the field itself handed back; each
// failure names its own line.
TEST_F(UnderwaterTest, RenderCallsAndFailurePaths) {
    host.input(0).setSize(8, 4);
    render(Settings{}, 10, 3);
    expectFieldAndScratchCalls(false);
    expectFailurePaths(0x0B7F0000u, 10, 3);
}

// Requests and settings outside the contract: no division by zero, no
// conversion of an out-of-range value to an integer, nothing outside the
// image touched (checked by the sanitizer build). A scale with denominator 0
// leaves the amplitude unscaled; an empty region leaves the field as it is.
TEST_F(UnderwaterTest, HazardousRequestsStaySafe) {
    host.input(0).setSize(45, 30);
    Settings unscaled{5, 10, 15, 0, FLAG_REDUCED_SIZE, 1, 1};
    const std::vector<uint8_t> unscaledOut = render(unscaled, 100, 40).pixels;
    Settings zeroDen = unscaled;
    zeroDen.scaleNum = 7;
    zeroDen.scaleDen = 0;
    EXPECT_EQ(render(zeroDen, 100, 40).pixels, unscaledOut);

    // Offsets far beyond the region (up to 2e8) take the source to an edge
    // exactly as the plain formulas do.
    const Settings wide{5, 100000000, 15, 0};
    EXPECT_EQ(render(wide, 100, 40).pixels, plainUnderwater(host.servedField(0, 40), wide, 40, 1024));

    const Settings settings[] = {
        {INT32_MAX, INT32_MIN, INT32_MAX, 100}, {INT32_MIN, INT32_MAX, INT32_MIN, -7},
        {0, 0, 0, 0},                           {-3, 20, 30, 1000, FLAG_REDUCED_SIZE, -32768, 1},
        {5, INT32_MAX, 15, 0, FLAG_REDUCED_SIZE, 32767, -1},
    };
    for (const Settings& s : settings) {
        for (uint32_t position : {0u, 99u, 100u, 250u, 0x80000000u, 0xFFFFFFFFu}) render(s, 100, position);
    }
    host.input(0).content = noiseContent;
    for (auto [l, t, w, h] : {std::array{-20, -20, 100, 100}, {40, 25, 100, 100}, {10, 5, 20, 10}}) {
        host.input(0).setRegion(l, t, w, h);
        render(Settings{}, 100, 50);
    }
    for (auto [l, t, w, h] : {std::array{200, 5, 3, 3}, {5, 5, 0, 10}, {5, 5, 10, -4}, {-50, 0, 20, 10}}) {
        host.input(0).setRegion(l, t, w, h);
        EXPECT_EQ(render(Settings{}, 100, 50).pixels, host.servedField(0, 50).pixels);
    }
    host.input(0).setRegion(0, 0, -1, -1);
    expectEmptyFieldsHandedBack([&] {
        apply(Settings{});
        return host.render(op.action(), 100, 50);
    });
}
