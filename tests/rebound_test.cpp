// Rebound: output against a plain per-pixel version, the fixed cases at the
// ends of the run and at the pivot, the order of host calls, both failure
// paths and requests outside the contract.
#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <vector>

#include "transition_fixture.h"
#include "transition_reference.h"

using namespace fxtest;

namespace {

// Input 0 rules the geometry; mode 0 swings input 1 in over input 0.
class ReboundTest : public TransitionTest<fxref::ReboundSettings> {
protected:
    ReboundTest() : TransitionTest("Rebound", fxref::rebound, 0) {}
};

}  // namespace

TEST_F(ReboundTest, CornerChoiceListsPlainNumbers) {
    const ChoiceParam* corner = op.choice(1);
    EXPECT_EQ(corner->head.style, 1u);
    const std::vector<uint32_t> entries(corner->entries, corner->entries + 5);
    EXPECT_EQ(entries, (std::vector<uint32_t>{2, 4, 6, 8, 0}));
    EXPECT_EQ(corner->value, 0);
}

// Odd sizes, a region smaller than the field, every corner (and one outside
// 0..3), both modes and several rebound counts over a whole run.
TEST_F(ReboundTest, MatchesThePlainVersionByteForByte) {
    std::vector<fxref::ReboundSettings> settings;
    for (int32_t corner : {0, 1, 2, 3, 4}) {
        for (int32_t mode : {0, 1}) {
            for (int32_t rebounds : {1, 3, 9}) settings.push_back({corner, mode, rebounds});
        }
    }
    expectPlainVersionAtOddSizes(settings, {0u, 1u, 4u, 9u, 13u, 19u, 20u});
}

// At the ends of the run the picture is wholly in place or wholly outside:
// the output is one input unchanged, except that with corner 3 (and any
// corner outside 0..3) the pixel at (0, 0) lies on the pivot and always
// takes the moving picture's pixel (0, 0).
TEST_F(ReboundTest, EndsOfTheRunShowOneInput) {
    struct Case {
        int32_t mode;
        uint32_t position;
        int32_t shown;   // the input whose pixels the output shows
        int32_t moving;  // the input that swings
    };
    const Case cases[] = {{0, 30, 1, 1}, {0, 0, 0, 1}, {1, 30, 1, 0}};
    setSize(29, 15);
    for (const Case& c : cases) {
        for (int32_t corner : {0, 1, 2, 3, 5, -2}) {
            set({corner, c.mode, 3});
            const ImageCopy out = render(30, c.position);
            const bool unmoved = corner < 0 || corner > 3;
            ImageCopy want = host.servedField(unmoved ? c.moving : c.shown, c.position);
            if (corner == 3) std::memcpy(want.pixels.data(), host.servedField(c.moving, c.position).pixels.data(), 4);
            EXPECT_EQ(out.pixels, want.pixels) << "mode " << c.mode << " position " << c.position
                                               << " corner " << corner;
        }
    }
}

TEST_F(ReboundTest, PivotPixelOfCornerThreeAlwaysTakesTheMovingPicture) {
    setSize(17, 9);
    for (int32_t mode : {0, 1}) {
        set({3, mode, 3});
        for (uint32_t position = 0; position <= 24; position += 3) {
            const ImageCopy out = render(24, position);
            EXPECT_EQ(out.pixel(0, 0), host.servedField(mode == 0 ? 1 : 0, position).pixel(0, 0))
                << "mode " << mode << " position " << position;
        }
    }
}

// Fetch order, one opChkAbort per row, the swung field freed before the
// target is put.
TEST_F(ReboundTest, CallSequence) {
    for (int32_t mode : {0, 1, 6}) {
        for (auto [w, h] : {std::pair{11, 7}, {0, 4}, {-2, 3}, {5, 0}, {5, -1}}) {
            SCOPED_TRACE(testing::Message() << "mode " << mode << ", " << w << "x" << h);
            set({1, mode, 3});
            setSize(w, h);
            render(20, 6);
            expectCallSequence(6, h > 0 ? size_t(h) : 0, mode == 0 ? 1 : 0);
        }
    }
}

TEST_F(ReboundTest, FailuresWriteOneRecordAndDrawNothing) {
    expectFailuresWriteOneRecord(0x0B7B0000u, {{1, 10, 6, 2}, {2, 10, 6, 3}, {0, 9, 6, 3}, {0, 10, 7, 3}, {0, -10, 6, 3}});
}

// Valid regions partly or wholly outside the field, parameter values outside
// their ranges and positions beyond the run: out-of-range modes act as
// mode 1, nothing overflows or reads outside a field (checked by the
// sanitizer build), and both fields leave the render.
TEST_F(ReboundTest, OutOfRangeRequestsAreSafe) {
    expectOutOfRangeModesActAsModeOne({2, 1, 3}, &fxref::ReboundSettings::mode);
    struct Region {
        int32_t l, t, w, h;
    };
    const Region regions[] = {{0, 0, -1, -1}, {20, 20, 5, 5}, {-4, -4, 30, 30}, {3, 3, 0, 0}};
    for (const Region& r : regions) {
        host.input(0).setRegion(r.l, r.t, r.w, r.h);
        for (int32_t corner : {0, 3, INT32_MIN}) {
            for (int32_t rebounds : {INT32_MAX, INT32_MIN, 0}) {
                set({corner, 0, rebounds});
                renderOutOfRangeRuns();
            }
        }
    }
}

// Golden checksums. Regenerate with FIELDFX_PRINT_GOLDEN=1 after a
// deliberate change.
TEST_F(ReboundTest, GoldenChecksums) {
    expectGoldenChecksums({
        {{0, 1, 3}, 0, 0x4f0ee8663c9aa98cull},
        {{0, 1, 3}, 17, 0x5817b01f765e860aull},
        {{0, 1, 3}, 50, 0x60202965600da109ull},
        {{1, 0, 3}, 5, 0x68e0e103d7d9d6bbull},
        {{1, 0, 3}, 33, 0x47ddf77f29f2fae6ull},
        {{2, 0, 1}, 21, 0x62763e1f9dd13093ull},
        {{3, 1, 9}, 44, 0x9db1511c1f848e8dull},
        {{3, 0, 2}, 12, 0x0acdc5374d19eef5ull},
        {{2, 1, 5}, 29, 0x239ba5760c85e76dull},
        {{1, 1, 7}, 48, 0x335e7b1f682a70daull},
    });
}
