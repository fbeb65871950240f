// Rotate: output against a plain per-pixel version, the trail weights, the
// fixed cases at the ends of the run, the order of host calls, both failure
// paths and requests outside the contract.
#include <gtest/gtest.h>

#include <climits>
#include <vector>

#include "transition_fixture.h"
#include "transition_reference.h"

using namespace fxtest;

namespace {

// Input 1 rules the geometry; mode 0 grows input 1 in over input 0.
class RotateTest : public TransitionTest<fxref::RotateSettings> {
protected:
    RotateTest() : TransitionTest("Rotate", fxref::rotate, 1) {}
};

uint32_t constant(uint32_t word) { return word; }

}  // namespace

// Odd sizes, a region smaller than the field, both modes, both senses of
// turn and several trail lengths over a whole run.
TEST_F(RotateTest, MatchesThePlainVersionByteForByte) {
    expectPlainVersionAtOddSizes({{4, 3, 1}, {4, 3, 0}, {-9, 9, 0}, {1, 0, 1}, {0, 2, 1}, {7, 5, 0}, {-2, 1, 2}},
                                 {0u, 1u, 2u, 7u, 10u, 19u, 20u});
}

TEST_F(RotateTest, GrowInAtTheStartReturnsTheOutgoingFieldUnchanged) {
    set({4, 3, 0});
    setSize(25, 13);
    EXPECT_EQ(render(30, 0).pixels, host.servedField(0, 0).pixels);
}

// Constant fields, no turn, mode 1 on a 40 x 40 field with length 20 at
// position 15: the copy at distance d covers columns and rows 20 - d to
// 19 + d. Row 20 crosses rings covered by the trail copies k = 3 only, by
// k = 3 and 2, by all three, and the final picture.
TEST_F(RotateTest, TrailCopiesBlendWithWeights64And128And192) {
    const uint32_t target = 0x30C81E64u, sample = 0xA01478DCu;  // bytes 0 differ too
    host.input(1).content = [=](int32_t, int32_t, int32_t, int32_t) { return constant(target); };
    host.input(0).content = [=](int32_t, int32_t, int32_t, int32_t) { return constant(sample); };
    setSize(40, 40);
    set({0, 3, 1});
    auto mix = [](uint32_t t, uint32_t s, uint32_t weight) {
        uint32_t out = t & 0xFF;
        for (int shift = 8; shift < 32; shift += 8) {
            const uint32_t tb = t >> shift & 0xFF, sb = s >> shift & 0xFF;
            out |= ((tb * (255 - weight) + sb * weight) / 255) << shift;
        }
        return out;
    };
    const uint32_t once = mix(target, sample, 64);
    const uint32_t twice = mix(once, sample, 128);
    const uint32_t thrice = mix(twice, sample, 192);
    struct Case {
        int32_t x;
        uint32_t expected;
    };
    const Case cases[] = {{11, target}, {12, once}, {13, twice}, {14, thrice}, {15, sample},
                          {24, sample}, {25, thrice}, {26, twice}, {27, once}, {28, target}};
    const ImageCopy out = render(20, 15);
    for (const Case& c : cases) {
        EXPECT_EQ(out.pixel(c.x, 20), c.expected) << "column " << c.x;
        EXPECT_EQ(out.pixel(20, c.x), c.expected) << "row " << c.x;
    }
}

// Fetch order, one opChkAbort per row and pass, the moving field freed
// before the target is put.
TEST_F(RotateTest, CallSequence) {
    struct Case {
        int32_t mode, trailCount;
        uint32_t position;
        size_t passes;
    };
    const Case cases[] = {{1, 3, 10, 4}, {0, 3, 10, 4}, {1, 3, 2, 2}, {1, 3, 1, 1},
                          {0, 0, 10, 1}, {1, 9, 0, 1},  {7, 2, 20, 3}};
    setSize(7, 5);
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "mode " << c.mode << " position " << c.position);
        set({4, c.trailCount, c.mode});
        render(20, c.position);
        expectCallSequence(c.position, 5 * c.passes, c.mode == 0 ? 1 : 0);
    }
}

TEST_F(RotateTest, AbortRequestsDoNotStopTheRender) {
    setSize(9, 6);
    set({4, 3, 1});
    host.setAbortResult(1);
    const ImageCopy out = render(20, 8);
    EXPECT_EQ(out.pixels, expected(20, 8, {4, 3, 1}));
    EXPECT_EQ(count(CallKind::ChkAbort), 6u * 4);
}

// A failed fetch, or two fields that cannot be combined: one failure
// record, -1, and nothing drawn or handed back.
TEST_F(RotateTest, FailuresWriteOneRecordAndDrawNothing) {
    expectFailuresWriteOneRecord(0x0B800000u, {{1, 10, 6, 2}, {2, 10, 6, 3}, {0, 11, 6, 3}, {0, 10, 5, 3}, {0, 0, 0, 3}});
}

// Fields without pixels, or whose valid region lies (partly) outside them:
// every row still reports to opChkAbort, nothing is read outside a field,
// and both fields leave the render.
TEST_F(RotateTest, DegenerateGeometryIsSafe) {
    struct Case {
        int32_t w, h, l, t, rw, rh;
        size_t rows;
    };
    const Case cases[] = {{0, 5, 0, 0, -1, -1, 5},      {5, 0, 0, 0, -1, -1, 0},
                          {-3, 4, 0, 0, -1, -1, 4},     {4, -3, 0, 0, -1, -1, 0},
                          {9, 7, 20, 20, 5, 5, 7},      {9, 7, -4, -4, 30, 30, 7},
                          {9, 7, 2, 2, 0, 0, 7},        {9, 7, 8, 6, -5, -5, 7}};
    set({4, 3, 1});
    for (const Case& c : cases) {
        setSize(c.w, c.h);
        host.input(1).setRegion(c.l, c.t, c.rw, c.rh);
        render(20, 10);
        EXPECT_EQ(count(CallKind::ChkAbort), c.rows * 4) << c.w << "x" << c.h;
    }
}

// Parameter values and positions outside their ranges: out-of-range modes
// act as mode 1, more than nine trail copies as nine, and nothing overflows
// or reads outside a field (checked by the sanitizer build).
TEST_F(RotateTest, OutOfRangeValuesAreSafe) {
    expectOutOfRangeModesActAsModeOne({4, 3, 1}, &fxref::RotateSettings::mode);
    set({4, 9, 1});
    const std::vector<uint8_t> nine = render(20, 15).pixels;
    for (int32_t trails : {10, 1000, INT32_MAX}) {
        set({4, trails, 1});
        EXPECT_EQ(render(20, 15).pixels, nine) << trails;
    }
    for (int32_t trails : {-1, INT32_MIN}) {
        set({4, trails, 1});
        EXPECT_EQ(render(20, 15).pixels, expected(20, 15, {4, 0, 1})) << trails;
    }
    for (const fxref::RotateSettings& s : {fxref::RotateSettings{INT32_MAX, 3, 0}, {INT32_MIN, 3, 1}, {4, 3, 0}, {4, 3, 1}}) {
        set(s);
        renderOutOfRangeRuns();
    }
}

// Golden checksums; MatchesThePlainVersionByteForByte checks the same kind
// of output against the plain version. Regenerate with
// FIELDFX_PRINT_GOLDEN=1 after a deliberate change.
TEST_F(RotateTest, GoldenChecksums) {
    expectGoldenChecksums({
        {{4, 3, 1}, 0, 0x53bb81e286997845ull},
        {{4, 3, 1}, 13, 0xdf6a0fd55f7900faull},
        {{4, 3, 1}, 25, 0x2c86cf0e39990918ull},
        {{4, 3, 1}, 50, 0x4cb1f0624d050c4cull},
        {{4, 3, 0}, 1, 0x899aa3d6c355ff8cull},
        {{4, 3, 0}, 37, 0xc3759749c9c4a7eeull},
        {{4, 3, 0}, 50, 0x25eecee5a148fabdull},
        {{-9, 9, 0}, 20, 0xaeefc4cbf45bc2b0ull},
        {{0, 0, 1}, 30, 0x7c00c210e68ea04bull},
        {{2, 5, 1}, 49, 0x81654fb6eb108d10ull},
    });
}

// At full size the turn by 4 x 6.283185308 exceeds whole turns slightly:
// about half of row 0 and of column 0 sample just outside the field and keep
// the target's pixels; every other pixel is covered. With no turn all are.
TEST_F(RotateTest, FullSizeKeepsHalfOfTheFirstRowAndColumn) {
    setSize(64, 32);
    for (int32_t turnsValue : {4, -4, 0}) {
        set({turnsValue, 0, 1});
        const ImageCopy out = render(20, 0);
        const ImageCopy target = host.servedField(1, 0);
        const ImageCopy moving = host.servedField(0, 0);
        int keptInRow0 = 0, keptInColumn0 = 0, keptElsewhere = 0;
        for (int32_t y = 0; y < 32; ++y) {
            for (int32_t x = 0; x < 64; ++x) {
                const bool kept = out.pixel(x, y) == target.pixel(x, y) && out.pixel(x, y) != moving.pixel(x, y);
                if (!kept) continue;
                if (y == 0) ++keptInRow0;
                if (x == 0) ++keptInColumn0;
                if (x > 0 && y > 0) ++keptElsewhere;
            }
        }
        const int half = turnsValue != 0 ? 1 : 0;
        EXPECT_EQ(keptInRow0, 32 * half) << "turns " << turnsValue;
        EXPECT_EQ(keptInColumn0, 16 * half) << "turns " << turnsValue;
        EXPECT_EQ(keptElsewhere, 0) << "turns " << turnsValue;
    }
}
