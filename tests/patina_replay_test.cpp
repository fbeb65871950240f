// Patina's OperatorReplay: a run started at any call through the replay gives
// from there on exactly the fields of the run rendered in order from position
// 0, for every film age, film condition, region, scale, field rate and call
// pattern; the replay touches no image and says which calls to render; its
// failure and empty cases.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "PatinaFixture.h"

using namespace fxtest;

namespace {

// The render calls of a run: positions 0, 1, 2, … for interlaced material,
// 0, 0, 2, 2, 4, 4, … (both fields of a frame at one position) for
// progressive material.
std::vector<uint32_t> callPositions(uint32_t calls, bool progressive) {
    std::vector<uint32_t> positions(calls);
    for (uint32_t i = 0; i < calls; ++i) positions[i] = progressive ? (i & ~1u) : i;
    return positions;
}

// The schedule of updates as documented for a run from position 0: a call
// is an update when position * rate is at least the pictures made so far.
// The last update among calls 0..t is where a run started at t must render
// from.
uint32_t lastUpdateUpTo(const std::vector<uint32_t>& positions, uint32_t t, int32_t age, uint8_t flags) {
    static const double kRate[3][2] = {{0.32, 0.26666666666666666}, {0.48, 0.4}, {0.48, 0.4}};
    const double rate = kRate[age][(flags & FLAG_SIXTY_FIELDS) != 0 ? 1 : 0];
    uint32_t last = 0;
    int32_t count = 0;
    for (uint32_t i = 0; i <= t; ++i) {
        if (double(positions[i]) * rate >= double(count)) {
            last = i;
            ++count;
        }
    }
    return last;
}

struct Geometry {
    int32_t width, height;
    int32_t regionLeft, regionTop, regionWidth, regionHeight;  // -1: to the edge
};

constexpr Geometry kWhole{48, 20, 0, 0, -1, -1};
constexpr Geometry kInset{52, 24, 3, 2, 44, 19};
constexpr Geometry kNarrow{24, 12, 5, 1, 2, 9};       // a two-column region
constexpr Geometry kOverhang{40, 16, 30, 10, 30, 20}; // region cut by the image
constexpr Geometry kEmpty{32, 12, 4, 4, 0, 5};        // no region pixel at all

struct ReplayCase {
    const char* name;
    int32_t age;
    int32_t condition;
    uint8_t flags;
    int16_t scaleNum, scaleDen;
    Geometry geometry;
    bool progressive;
    uint32_t calls;   // length of the reference run, in render calls
    uint32_t every;   // start a replayed run at every `every`-th call, and around updates
};

void PrintTo(const ReplayCase& c, std::ostream* out) { *out << c.name; }

constexpr uint8_t kSixty = FLAG_SIXTY_FIELDS;
constexpr uint8_t kReduced = FLAG_REDUCED_SIZE;

const ReplayCase kCases[] = {
    {"Age0Condition50", 0, 50, 0, 1, 1, kWhole, false, 160, 1},
    {"Age1Condition1", 1, 1, 0, 1, 1, kWhole, false, 160, 1},
    {"Age2Condition20", 2, 20, 0, 1, 1, kWhole, false, 160, 1},
    {"Age0Condition99Sixty", 0, 99, kSixty, 1, 1, kWhole, false, 160, 1},
    {"Age1Condition100Sixty", 1, 100, kSixty, 1, 1, kInset, false, 160, 1},
    {"Age2Condition1Sixty", 2, 1, kSixty, 1, 1, kInset, false, 160, 1},
    {"ReducedHalfCondition1", 1, 1, kReduced, 1, 2, kWhole, false, 160, 1},
    {"ReducedDoubleCondition50Sixty", 0, 50, kReduced | kSixty, 2, 1, kInset, false, 160, 1},
    {"NarrowRegion", 1, 20, 0, 1, 1, kNarrow, false, 120, 1},
    {"RegionCutByTheImage", 0, 1, kSixty, 1, 1, kOverhang, false, 120, 1},
    {"EmptyRegion", 1, 1, 0, 1, 1, kEmpty, false, 80, 1},
    {"ProgressiveAge0", 0, 50, 0, 1, 1, kWhole, true, 160, 1},
    {"ProgressiveAge1Condition1Sixty", 1, 1, kSixty, 1, 1, kInset, true, 160, 1},
    {"ProgressiveReduced", 2, 20, kReduced, 1, 2, kWhole, true, 120, 1},
    // Long enough for scratch lines to die and be reborn (life 25..300).
    {"LongRunCondition1", 1, 1, 0, 1, 1, kInset, false, 1400, 23},
    {"LongRunSixtyReduced", 0, 20, kSixty | kReduced, 1, 2, kWhole, false, 1400, 29},
    {"LongProgressive", 2, 1, 0, 1, 1, kWhole, true, 1400, 31},
};

class PatinaReplay : public PatinaTest, public testing::WithParamInterface<ReplayCase> {
protected:
    // The case's settings and field, and its whole run rendered in order
    // from the start.
    void SetUp() override {
        if (patina.replay() == nullptr) GTEST_FAIL() << "libPatina exports no OperatorReplay";
        const ReplayCase& c = GetParam();
        set(c.age, 25, 60, c.condition);
        const Geometry& g = c.geometry;
        host.input(0).setSize(g.width, g.height);
        host.input(0).setRegion(g.regionLeft, g.regionTop, g.regionWidth, g.regionHeight);
        positions = callPositions(c.calls, c.progressive);
        whole = runCalls(positions, c.flags, c.scaleNum, c.scaleDen);
        ASSERT_EQ(whole.size(), positions.size());
    }
    static OperatorRequest renderRequest(uint8_t flags) { return makeRequest(CMD_RENDER, 1000, 0, flags); }

    std::vector<uint32_t> positions;  // the render calls of the run
    std::vector<ImageCopy> whole;     // the fields of the whole run
};

constexpr uint32_t kFollowing = 4;  // calls compared after the first one shown

TEST_P(PatinaReplay, StartedAnywhereGivesTheFieldsOfTheWholeRun) {
    const ReplayCase& c = GetParam();

    // Starts: every `every`-th call, and the calls just before, at and after
    // each update and each multiple of both steady periods (in long runs, of
    // those in a window after every other sampled call).
    std::vector<uint32_t> targets;
    for (uint32_t t = 0; t < c.calls; t += c.every) targets.push_back(t);
    for (uint32_t t = 1; t < c.calls; ++t) {
        const bool update = lastUpdateUpTo(positions, t, c.age, c.flags) == t;
        const bool periodic = positions[t] % 25 == 0 || positions[t] % 30 == 0;
        const bool sampled = c.every == 1 || t % (2 * c.every) < 8;
        if ((update || periodic) && sampled) {
            for (uint32_t n : {t - 1, t, t + 1}) {
                if (n < c.calls) targets.push_back(n);
            }
        }
    }
    std::sort(targets.begin(), targets.end());
    targets.erase(std::unique(targets.begin(), targets.end()), targets.end());

    for (uint32_t t : targets) {
        SCOPED_TRACE("replayed run shown from call " + std::to_string(t) + " (position " +
                     std::to_string(positions[t]) + ")");
        host.clearRecords();
        ASSERT_EQ(start(c.flags, c.scaleNum, c.scaleDen), 0);
        host.clearRecords();
        OperatorRequest request = renderRequest(c.flags);
        const int32_t k = patina.replay()(&request, positions.data(), t + 1);
        ASSERT_EQ(k, int32_t(lastUpdateUpTo(positions, t, c.age, c.flags)));
        EXPECT_TRUE(host.calls().empty()) << "the replay called the host";

        const uint32_t end = std::min<uint32_t>(c.calls, t + 1 + kFollowing);
        for (uint32_t i = uint32_t(k); i < end; ++i) ASSERT_EQ(render(positions[i], c.flags), 0);
        finish();
        ASSERT_TRUE(host.violations().empty()) << host.violations().front();
        const std::vector<ImageCopy>& outputs = host.outputs();
        ASSERT_EQ(outputs.size(), end - uint32_t(k));
        for (uint32_t i = t; i < end; ++i) {
            ASSERT_EQ(outputs[i - uint32_t(k)].pixels, whole[i].pixels) << "call " << i;
        }
    }
}

// A run rendered in stretches, as a worker renders it: a few calls, then a
// skip over the calls of other workers by the replay, then the next
// stretch. Every field rendered, discarded lead-in ones included, is the
// whole run's.
TEST_P(PatinaReplay, SkipsAheadBetweenStretchesOfOneRun) {
    const ReplayCase& c = GetParam();
    host.clearRecords();
    ASSERT_EQ(start(c.flags, c.scaleNum, c.scaleDen), 0);
    std::vector<uint32_t> rendered;  // the call index of every output
    const uint32_t stretches[] = {1, 3, 2, 7, 4};
    const uint32_t gaps[] = {0, 1, 5, 2, 13, 40, 3, 26};
    uint32_t next = 0;  // the next call of the run
    for (uint32_t n = 0; next < c.calls; ++n) {
        for (uint32_t i = 0; i < stretches[n % 5] && next < c.calls; ++i, ++next) {
            ASSERT_EQ(render(positions[next], c.flags), 0);
            rendered.push_back(next);
        }
        const uint32_t shown = next + gaps[n % 8] * (c.every > 1 ? 9 : 1);  // first call of the next stretch
        if (shown >= c.calls) break;
        OperatorRequest request = renderRequest(c.flags);
        const int32_t k = patina.replay()(&request, positions.data() + next, shown - next + 1);
        uint32_t expected = shown;  // when none of the calls is an update
        for (uint32_t i = next; i <= shown; ++i) {
            if (lastUpdateUpTo(positions, i, c.age, c.flags) == i) expected = i;
        }
        ASSERT_EQ(next + uint32_t(k), expected) << "skip from call " << next << " to " << shown;
        next += uint32_t(k);
    }
    finish();
    ASSERT_TRUE(host.violations().empty()) << host.violations().front();
    ASSERT_EQ(host.outputs().size(), rendered.size());
    for (size_t i = 0; i < rendered.size(); ++i) {
        ASSERT_EQ(host.outputs()[i].pixels, whole[rendered[i]].pixels) << "call " << rendered[i];
    }
}

INSTANTIATE_TEST_SUITE_P(Runs, PatinaReplay, testing::ValuesIn(kCases),
                         [](const testing::TestParamInfo<ReplayCase>& info) { return info.param.name; });

// A far position, with scratch lines reborn many times: the replayed run
// shows the fields of the run in order. Fields are tiny so that the run in
// order stays quick.
TEST_F(PatinaTest, ReplayToAFarPositionMatchesTheRunInOrder) {
    ASSERT_NE(patina.replay(), nullptr);
    set(1, 20, 50, 1);
    host.input(0).setSize(8, 4);
    const std::vector<uint32_t> positions = callPositions(8000, false);
    const std::vector<ImageCopy> whole = runCalls(positions);

    for (uint32_t t : {7990u, 7995u, 7999u}) {
        host.clearRecords();
        ASSERT_EQ(start(), 0);
        OperatorRequest request = makeRequest(CMD_RENDER, 1000, 0, 0);
        const int32_t k = patina.replay()(&request, positions.data(), t + 1);
        ASSERT_EQ(k, int32_t(lastUpdateUpTo(positions, t, 1, 0)));
        for (uint32_t i = uint32_t(k); i < positions.size(); ++i) ASSERT_EQ(render(positions[i]), 0);
        finish();
        const auto& outputs = host.outputs();
        for (uint32_t i = t; i < positions.size(); ++i) {
            EXPECT_EQ(outputs[i - uint32_t(k)].pixels, whole[i].pixels) << "call " << i;
        }
    }
}

// No calls: nothing changes, and the run rendered afterwards is the whole run.
// No start, a null request or null positions: one failure record, -1, and
// the run state as it was.
TEST_F(PatinaTest, ReplayEmptyAndFailureCases) {
    ASSERT_NE(patina.replay(), nullptr);
    OperatorRequest request = makeRequest(CMD_RENDER, 1000, 0, 0);
    const std::vector<uint32_t> positions = callPositions(40, false);

    host.clearRecords();
    EXPECT_EQ(patina.replay()(&request, positions.data(), 5), -1) << "replay without a start";
    ASSERT_EQ(host.logs().size(), 1u);
    EXPECT_EQ(host.logs()[0].file, "src\\Patina");
    EXPECT_EQ(host.logs()[0].code, 0x0B810000u);
    EXPECT_EQ(host.logs()[0].level, 4);

    const std::vector<ImageCopy> whole = run(40);
    ASSERT_EQ(start(), 0);
    host.clearRecords();
    EXPECT_EQ(patina.replay()(&request, positions.data(), 0), 0);
    EXPECT_EQ(patina.replay()(&request, nullptr, 0), 0);
    EXPECT_EQ(patina.replay()(nullptr, positions.data(), 0), 0);
    EXPECT_EQ(patina.replay()(nullptr, positions.data(), 30), -1);
    EXPECT_EQ(patina.replay()(&request, nullptr, 30), -1);
    EXPECT_EQ(patina.replay()(&request, positions.data(), 0x80000000u), -1);  // k would not fit
    EXPECT_EQ(host.logs().size(), 3u);
    EXPECT_EQ(host.countCalls(CallKind::GetField) + host.countCalls(CallKind::AllocImage), 0u);
    for (uint32_t p = 0; p < 40; ++p) ASSERT_EQ(render(p), 0);
    finish();
    ASSERT_EQ(host.outputs().size(), whole.size());
    for (size_t i = 0; i < whole.size(); ++i) EXPECT_EQ(host.outputs()[i].pixels, whole[i].pixels) << i;
}

}  // namespace
